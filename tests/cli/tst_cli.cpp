// qivo-dfu-cli against qivo-device-sim and against lrzsz's rb: exit codes,
// the JSON lines, the rates the preamble goes out at, several ports at once,
// and Ctrl-C. The simulator's own report is the device's view of each run.

#include "peers.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <sys/stat.h>
#include <memory>

namespace {

// Simulated devices that leave after one upgrade; the flasher on their ports and others.
struct Run
{
    // `shell`, when given, starts the flasher as "$0 ARGS..." with its limits set first.
    Run(const QVector<QStringList> &simArgs, QStringList args, const QStringList &otherPorts = {},
        const QString &shell = QString())
    {
        for (const QStringList &simArg : simArgs) {
            sims.emplace_back(new Sim(simArg + QStringList{"--once"}));
            ports << sims.back()->port;
        }
        ports += otherPorts;
        for (const QString &port : ports)
            args << "-p" << port;
        cli.reset(shell.isEmpty() ? new Peer(QIVO_CLI, args)
                                  : new Peer("/bin/sh", QStringList{"-c", shell + "; exec \"$0\" \"$@\"", QIVO_CLI} + args));
    }
    std::vector<std::unique_ptr<Sim>> sims;
    QStringList ports;
    std::unique_ptr<Peer> cli;
};

// Every stdout line is a JSON object: the states in their order, progress
// at most once per tenth, then one result per port. Returns the results by port.
QMap<QString, QJsonObject> results(const Peer &cli)
{
    const QStringList states{"preamble", "booting", "flashing"};
    QMap<QString, QJsonObject> byPort;
    QMap<QString, int> tenth, state;
    for (const Peer::Line &line : cli.lines) {
        const QJsonObject object = QJsonDocument::fromJson(line.text).object();
        const QString port = object.value("port").toString(), event = object.value("event").toString();
        const int now = object.value("percent").toInt(-1) / 10, next = states.indexOf(object.value("state").toString());
        bool inOrder = event == "result";
        if (event == "progress")
            inOrder = now > std::exchange(tenth[port], now);
        if (event == "state") {
            inOrder = next > state.value(port, -1);
            state[port] = next;
        }
        if (byPort.contains(port) || !inOrder)
            QTest::qFail(("out of place: " + line.text).constData(), __FILE__, __LINE__);
        else if (event == "result")
            byPort[port] = object;
    }
    return byPort;
}

// Devices made with simArgs, the flasher's arguments, the file ("fw" or
// "empty") and the outcome on every port. The device `killed` is killed once
// it reports `killOn`; `change` is done to the file once the first device
// reports `changeOn`: "rename" puts another image over it, "rewrite" writes
// other bytes into it, "truncate" cuts
// it (a `changeOn` starting with '{' is the flasher's JSON line instead).
// `recordRoom` is how much the record may grow (-1: no limit).
struct Flash { QStringList simArgs; int sims; QStringList cliArgs; QString file, outcome; int killed = -1;
               QByteArray killOn = "receiving "; QString change = QString(); QByteArray changeOn = QByteArray();
               int recordRoom = -1; };

} // namespace

Q_DECLARE_METATYPE(Flash)

class TstCli : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    QString firmware;
    QByteArray firmwareBytes;
    std::unique_ptr<Sim> deaf; // must hear nothing while bad input is refused
    std::unique_ptr<Run> slow;

private slots:
    void initTestCase()
    {
        firmwareBytes = randomBytes(20000, 8);
        QVERIFY(writeFile(firmware = work.filePath("fw.bin"), firmwareBytes));
        // A run that waits out the sender's 30 s timeout starts now and is judged last: one device that
        // finishes, one that never boots, one that cancels, and no port at all.
        slow.reset(new Run({{}, {"--no-boot"}, {"--cancel-after", "1"}}, {"--json", firmware}, {"/dev/qivo-no-such-port"}));
        // The device that must hear nothing while bad input is refused, on
        // a link: a simulator's --link takes no path in use, and at exit
        // removes only its own link.
        const QString link = work.filePath("simlink");
        {
            Sim first({"--link", link});
            QVERIFY(QFile::remove(link));
            deaf.reset(new Sim({"--once", "--link", link}));
        }
        Peer refused(QIVO_SIM, {"--link", link, "--dir", work.path()});
        QVERIFY(refused.exitCode(5000) == 1 && refused.process.readAllStandardError().contains("path exists"));
        QCOMPARE(QFile::symLinkTarget(link), deaf->port);
        QVERIFY(writeFile(work.filePath("empty.bin"), {}) && writeFile(work.filePath(QString(122, 'n') + ".bin"), "x"));
        QVERIFY(::mkfifo(QFile::encodeName(work.filePath("fifo")), 0600) == 0);
        QVERIFY(writeFile(work.filePath("locked.bin"), "x")
                && QFile::setPermissions(work.filePath("locked.bin"), QFileDevice::WriteOwner));

    }

    void badInput_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("says");

        const QString empty = work.filePath("empty.bin"), fifo = work.filePath("fifo");
        const QString port = deaf->port;
        const QString longName = work.filePath(QString(122, 'n') + ".bin"); // 126 + NUL + "1" + NUL: one byte over block 0

        QTest::newRow("unknown option") << QStringList{"--frobnicate", "-p", port, firmware} << 64 << "frobnicate";
        QTest::newRow("no file") << QStringList{"-p", port} << 64 << "no FILE";
        QTest::newRow("two files") << QStringList{"-p", port, firmware, firmware} << 64 << "exactly one FILE";
        QTest::newRow("missing file") << QStringList{"-p", port, work.filePath("none.bin")} << 64 << "no such file";
        QTest::newRow("folder") << QStringList{"-p", port, work.path()} << 64 << "is a folder";
        QTest::newRow("FIFO, no writer") << QStringList{"-p", port, fifo} << 64 << "not a regular file";
        QTest::newRow("record a FIFO, no reader") << QStringList{"--record", fifo, "-p", port, firmware} << 64
                                                  << "cannot use it as the record: not a regular file";
        QTest::newRow("device") << QStringList{"-p", port, "/dev/null"} << 64 << "not a regular file";
        QTest::newRow("name too long for block 0") << QStringList{"-p", port, longName} << 64 << "too long";
        // pts/N is under /dev, ./simlink in the folder the flasher runs in.
        QTest::newRow("port twice by two names") << QStringList{"-p", port.mid(5), "-p", "./simlink", firmware} << 64 << "given twice";
        QTest::newRow("bad rate") << QStringList{"-b", "fast", "-p", port, firmware} << 64 << "bad rate";
        QTest::newRow("board address not an IP") << QStringList{"--http", "board:80", "-p", port, firmware} << 64 << "[ADDRESS:]PORT";
        QTest::newRow("no port") << QStringList{firmware} << 64 << "no port given";
        QTest::newRow("usb identity malformed") << QStringList{"-p", "usb:12", firmware} << 64 << "usb:VID:PID";
        QTest::newRow("usb identity unknown") << QStringList{"-p", "usb:f0f0:0f0f", "-p", port, firmware} << 4 << "matches no port";
        QTest::newRow("missing device") << QStringList{"-p", "qivo-no-such-tty", firmware} << 4 << "missing: no such device";
        QTest::newRow("help lists exit codes") << QStringList{"--help"} << 0 << "  64  bad usage";
        QTest::newRow("empty file warned of") << QStringList{"-p", "qivo-no-such-tty", empty} << 4 << "zero-length file";
        const QString locked = work.filePath("locked.bin"); // readable all the same to root
        if (geteuid() != 0)
            QTest::newRow("unreadable file") << QStringList{"-p", port, locked} << 64 << "cannot read";
    }

    void badInput()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, says);

        Peer cli(QIVO_CLI, args, work.path());
        QCOMPARE(cli.exitCode(30000), exitCode);
        const QByteArray err = cli.process.readAllStandardError();
        QVERIFY2(err.contains(says.toLocal8Bit()) || !cli.line(says.toLocal8Bit(), 0).isEmpty(), err); // the help is on stdout
    }

    // No line of the refused runs reached the device: one written would be
    // in its report by now.
    void badInputTouchesNoPort()
    {
        QTest::qWait(200);
        QCOMPARE(deaf->arrival("line "), -1);
    }

    void flash_data()
    {
        QTest::addColumn<Flash>("flash");
        const QStringList none, at9600{"-b", "9600"}, sim9600{"--baud", "9600"};
        // Where the AT lines are not what a row is about, the device is in its boot loader already.
        const QStringList booted{"--in-boot-loader"}, noPreamble{"--no-preamble"};
        // A device wants its first lines at its --baud; where the rates differ the check must fail.
        QTest::newRow("first lines at 9600, at+update at 115200") << Flash{sim9600, 1, at9600, "fw", "success"};
        QTest::newRow("device expects another rate") << Flash{none, 1, at9600, "fw", "success"};
        // A device gone mid-transfer or while it restarts hangs its line up: that port fails at once, the
        // others carry on.
        QTest::newRow("three ports, one device killed, quiet") << Flash{{"--pace", "--in-boot-loader"}, 3, {"--no-preamble", "-q"}, "fw", "success", 1};
        QTest::newRow("two ports, one device killed in the preamble")
            << Flash{{"--pace"}, 2, {"-q"}, "fw", "success", 0, "line at+version"};
        // What goes out is the image opened at the start, or nothing: never another file's bytes.
        QTest::newRow("image renamed over in the preamble")
            << Flash{none, 1, none, "fw", "success", -1, {}, "rename", "line at+version"};
        QTest::newRow("image rewritten in place in the preamble, same size")
            << Flash{none, 1, none, "fw", "failed", -1, {}, "rewrite", "line at+version"};
        QTest::newRow("image truncated while sending")
            << Flash{{"--pace", "--in-boot-loader"}, 1, noPreamble, "fw", "failed", -1, {}, "truncate", "{\"bytes\":1024,\"event\":\"progress\""};
        // A record that cannot take the attempt's line fails the run, and keeps no part of the line.
        QTest::newRow("record full") << Flash{booted, 1, {"--no-preamble", "--record", work.filePath("full.jsonl")}, "fw", "success",
                                              -1, {}, {}, {}, 100};
        QTest::newRow("paced noisy line") << Flash{QStringList{"--pace", "--noise", "1e-5", "--seed", "3"} + booted, 1, noPreamble, "fw", "success"};
        QTest::newRow("first EOT acknowledged") << Flash{QStringList{"--eot-ack-first"} + booted, 1, noPreamble, "fw", "success"};
        QTest::newRow("empty file") << Flash{booted, 1, noPreamble, "empty", "success"};
        QTest::newRow("device cancels, recorded")
            << Flash{QStringList{"--cancel-after", "3"} + booted, 1, {"--no-preamble", "--record", work.filePath("once.jsonl")}, "fw", "cancelled"};
    }

    void flash()
    {
        QFETCH(Flash, flash);
        const auto &[simArgs, sims, cliArgs, file, outcome, killed, killOn, change, changeOn, recordRoom] = flash;

        const QByteArray bytes = file == "empty" ? QByteArray() : firmwareBytes;
        const QString path = work.filePath(file + ".bin"), other = work.filePath("other.bin");
        QVERIFY(writeFile(path, bytes) && writeFile(other, randomBytes(30000, 9)));
        const QByteArray recordBefore = QByteArray(1000, 'x') + '\n';
        if (recordRoom >= 0)
            QVERIFY(writeFile(cliArgs.last(), recordBefore));
        // sh counts a file's size limit in blocks of 512 bytes.
        const QString limit = recordRoom < 0 ? QString()
                                             : QString("trap '' XFSZ; ulimit -f %1").arg((recordBefore.size() + recordRoom) / 512);
        Run run(QVector<QStringList>(sims, simArgs), cliArgs + QStringList{"--json", path}, {}, limit);
        if (killed >= 0) {
            // The preamble and the restart alone take 2.8 s; under load more.
            QVERIFY(!run.sims[killed]->line(killOn, 15000).isEmpty());
            run.sims[killed]->process.kill();
        }
        if (!change.isEmpty()) {
            Peer *const says = changeOn.startsWith('{') ? static_cast<Peer *>(run.cli.get()) : run.sims[0].get();
            QVERIFY(!says->line(changeOn, 10000).isEmpty());
            QFile inPlace(path);
            QVERIFY(change == "rewrite" ? inPlace.open(QFile::ReadWrite) && inPlace.write(randomBytes(bytes.size(), 12)) == bytes.size() && inPlace.flush()
                    : change == "rename" ? ::rename(QFile::encodeName(other), QFile::encodeName(path)) == 0
                                       : ::truncate(QFile::encodeName(path), 1000) == 0);
        }
        const bool success = outcome == "success", rateError = simArgs.contains("9600") != cliArgs.contains("9600");
        QCOMPARE(run.cli->exitCode(30000), killed >= 0 || recordRoom >= 0 ? 1
                                                                          : QStringList({"success", "failed", "cancelled"}).indexOf(outcome));
        const QMap<QString, QJsonObject> byPort = results(*run.cli);
        const bool progressed = std::any_of(run.cli->lines.begin(), run.cli->lines.end(),
                                            [](const Peer::Line &line) { return line.text.contains("\"event\":\"progress\""); });
        QCOMPARE(progressed, !cliArgs.contains("-q") && file == "fw");
        for (const std::unique_ptr<Sim> &sim : run.sims) {
            QJsonObject object = byPort.value(sim->port);
            const bool wasKilled = killed >= 0 && sim == run.sims[size_t(killed)];
            // An image in the device's folder is a whole one: none after a cancel, or a kill mid-transfer.
            const QStringList inFolder = QDir(sim->dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
            QCOMPARE(inFolder, success && !wasKilled ? QStringList{path.section('/', -1)} : QStringList());
            if (wasKilled) {
                QCOMPARE(object.value("outcome").toString(), "failed");
                QVERIFY(object.value("error").toString().contains("lost"));
                continue;
            }
            QVERIFY(success || change.isEmpty() || object.value("error").toString().contains("changed on disk"));
            QVERIFY(object.take("seconds").toDouble(-1) >= 0 && object.take("error").isString() != success);
            const double sent = object.take("bytes").toDouble(-1); // acknowledged, so what the device holds
            const QJsonObject expected{{"event", "result"}, {"port", sim->port}, {"file", path}, {"outcome", outcome}};
            QCOMPARE(QJsonDocument(object).toJson(), QJsonDocument(expected).toJson());
            QCOMPARE(sim->exitCode(5000), success && !rateError ? 0 : 1);
            const QByteArray err = sim->process.readAllStandardError();
            QVERIFY2(err.contains(rateError ? "at+version arrived at 9600 baud, expected 115200" : "error") == rateError, err);
            // The device's view: "stored NAME SIZE SHA256 SECONDS", or a cancel.
            const QByteArray end = success ? "stored " + path.section('/', -1).toUtf8() + ' '
                                                 + QByteArray::number(bytes.size()) + ' ' + sha256(bytes) + ' '
                                           : "ended cancelled ";
            QVERIFY2(!sim->line(end, 0).isEmpty(), end);
            QCOMPARE(sent, success ? bytes.size() : double(SimReport::parse(sim->line(end, 0)).bytes));
            if (recordRoom >= 0) { // the line that did not fit is not there, not even in part
                QCOMPARE(readFile(cliArgs.last()), recordBefore);
                QVERIFY(run.cli->process.readAllStandardError().contains("record could not be written"));
            } else if (cliArgs.contains("--record")) { // one line, as the result says
                const QJsonObject line = QJsonDocument::fromJson(readFile(cliArgs.last())).object();
                QCOMPARE(QStringList({line.value("outcome").toString(), line.value("image_sha256").toString()}),
                         QStringList({outcome, sha256(bytes)}));
                QCOMPARE(line.value("bytes").toDouble(), sent);
            }
        }
    }

    // Signals while a paced transfer runs, with a terminal on stderr: the
    // device sees a cancelled transfer, keeps nothing of it, and hears the
    // next run's first line over the cancel bytes it did not need; the
    // terminal gets its cursor back.
    void interrupt_data()
    {
        QTest::addColumn<QVector<int>>("kills");
        QTest::newRow("Ctrl-C twice") << QVector<int>{SIGINT, SIGINT};
        QTest::newRow("terminal hung up") << QVector<int>{SIGHUP};
        QTest::newRow("stdout's reader gone") << QVector<int>{SIGPIPE};
    }

    void interrupt()
    {
        QFETCH(QVector<int>, kills);
        Sim sim({"--pace"});
        const QString big = work.filePath("big.bin");
        QVERIFY(writeFile(big, firmwareBytes.repeated(5)));
        PtyPeer terminal;
        QProcess cli;
        cli.setStandardErrorFile(terminal.path);
        cli.start(QIVO_CLI, {"-p", sim.port, big});
        // Taken once: a pid of 0, as of a process that has ended, would signal this whole group.
        const pid_t pid = sim.line("receiving big.bin", 15000).isEmpty() ? 0 : pid_t(cli.processId());
        QVERIFY(pid > 0);
        for (int i = 0; i < kills.size(); ++i) {
            if (i > 0)
                QTest::qWait(20); // this one finds the first being handled
            ::kill(pid, kills[i]);
        }
        QVERIFY(cli.waitForFinished(10000));
        QCOMPARE(cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1, 2);
        QVERIFY(cli.readAllStandardOutput().contains(": cancelled, "));
        QVERIFY(!sim.line("ended cancelled big.bin", 10000).isEmpty());
        const QByteArray seen = terminal.received();
        QVERIFY2(seen.contains("\033[?25l") && seen.lastIndexOf("\033[?25h") > seen.lastIndexOf("\033[?25l"), seen);
        QCOMPARE(QDir(sim.dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
        Peer next(QIVO_CLI, {"-q", "-p", sim.port, big});
        QTRY_COMPARE(std::count_if(sim.lines.begin(), sim.lines.end(),
                                   [](const Peer::Line &line) { return line.text == "line at+version 115200"; }), 2);
    }

    // A general YMODEM receiver: lrzsz's rb storing into an empty folder; the
    // device is taken to be in its boot loader already.
    void againstRb()
    {
        QTemporaryDir target;
        const QString link = work.filePath("rbport");
        Socat rb(link, "EXEC:rb --ymodem,pipes", target.path());
        Peer cli(QIVO_CLI, {"--no-preamble", "-q", "-p", link, firmware});
        QVERIFY2(cli.exitCode(30000) == 0, cli.process.readAllStandardError());
        QCOMPARE(rb.exitCode(5000), 0);
        QCOMPARE(sha256(readFile(target.filePath("fw.bin"))), sha256(firmwareBytes));
    }

    // With several ports the worst outcome gives the exit code (the order
    // itself is tst_clicore's table).
    void worstOutcomeDecides()
    {
        QStringList got{QString::number(slow->cli->exitCode(60000))}; // then the outcomes in port order
        const QMap<QString, QJsonObject> byPort = results(*slow->cli);
        for (const QString &port : slow->ports)
            got << byPort.value(port).value("outcome").toString();
        QCOMPARE(got.join(' '), "4 success timeout cancelled port-error");
    }
};

QTEST_GUILESS_MAIN(TstCli)
#include "tst_cli.moc"
