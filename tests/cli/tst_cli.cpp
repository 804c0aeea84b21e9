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

// Every stdout line is a JSON object: progress at most once per tenth, then
// one result per port. Returns the results by port.
QMap<QString, QJsonObject> results(const Peer &cli)
{
    QMap<QString, QJsonObject> byPort;
    QMap<QString, int> tenth;
    for (const Peer::Line &line : cli.lines) {
        const QJsonObject object = QJsonDocument::fromJson(line.text).object();
        const QString port = object.value("port").toString(), event = object.value("event").toString();
        const int now = object.value("percent").toInt(-1) / 10;
        if (byPort.contains(port) || (event == "progress" ? now <= std::exchange(tenth[port], now) : event != "result"))
            QTest::qFail(("out of place: " + line.text).constData(), __FILE__, __LINE__);
        else if (event == "result")
            byPort[port] = object;
    }
    return byPort;
}

// Devices made with simArgs, the flasher's arguments, the file ("fw" or
// "empty") and the outcome on every port. The device `killed` is killed once
// it reports `killOn`; `change` is done to the file once the first device
// reports `changeOn`: "rename" puts another image over it, "truncate" cuts
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
    std::unique_ptr<Run> slow[2];
    std::unique_ptr<Sim> noBoot; // a unit that never enters its boot loader, on a station that retries once
    std::unique_ptr<Peer> retrying;

private slots:
    void initTestCase()
    {
        firmwareBytes = randomBytes(20000, 8);
        QVERIFY(writeFile(firmware = work.filePath("fw.bin"), firmwareBytes));
        // Runs that wait out the sender's 30 s timeout start now and are judged last. 0: a device whose file
        // is rewritten in place by block 0 (other bytes, same size), one that never answers, no port at all.
        // 1: one that finishes, one that never boots, one that cancels.
        const QString changed = work.filePath("changed.bin");
        QVERIFY(writeFile(changed, firmwareBytes));
        slow[0].reset(new Run({{}, {"--silent"}}, {"--json", changed}, {"/dev/qivo-no-such-port"}));
        slow[1].reset(new Run({{}, {"--no-boot"}, {"--cancel-after", "1"}}, {"--json", firmware}));
        QFile rewrite(changed);
        QVERIFY(!slow[0]->sims[0]->line("line at+version").isEmpty() && rewrite.open(QFile::ReadWrite));
        QVERIFY(rewrite.write(randomBytes(firmwareBytes.size(), 12)) == firmwareBytes.size());
        rewrite.close();
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

        const QString slot = work.filePath("noboot");
        retrying.reset(new Peer(QIVO_CLI, {"--watch", "--retries", "1", "--record", slot + ".jsonl", "-p", slot, firmware}));
        noBoot.reset(new Sim({"--no-boot", "--link", slot}));
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
        QTest::qWait(200); // a line the flasher did write would reach the device's report by now
        QCOMPARE(deaf->arrival("line "), -1);
    }

    void flash_data()
    {
        QTest::addColumn<Flash>("flash");
        const QStringList none, at9600{"-b", "9600"}, sim9600{"--baud", "9600"};
        // A device wants its first lines at its --baud; where the rates differ the check must fail.
        QTest::newRow("first lines at 9600, at+update at 115200") << Flash{sim9600, 1, at9600, "fw", "success"};
        QTest::newRow("device expects another rate") << Flash{none, 1, at9600, "fw", "success"};
        // A device gone mid-transfer or while it restarts hangs its line up: that port fails at once, the
        // others carry on.
        QTest::newRow("three ports, one device killed, quiet") << Flash{{"--pace"}, 3, {"-q"}, "fw", "success", 1};
        QTest::newRow("two ports, one device killed in the preamble")
            << Flash{{"--pace"}, 2, {"-q"}, "fw", "success", 0, "line at+version"};
        // What goes out is the image opened at the start, or nothing: never another file's bytes.
        QTest::newRow("image renamed over in the preamble")
            << Flash{none, 1, none, "fw", "success", -1, {}, "rename", "line at+version"};
        QTest::newRow("image truncated while sending")
            << Flash{{"--pace"}, 1, none, "fw", "failed", -1, {}, "truncate", "{\"event\":\"progress\""};
        // A record that cannot take the attempt's line fails the run, and keeps no part of the line.
        QTest::newRow("record full") << Flash{none, 1, {"--record", work.filePath("full.jsonl")}, "fw", "success",
                                              -1, {}, {}, {}, 100};
        QTest::newRow("paced noisy line") << Flash{QStringList{"--pace", "--noise", "1e-5", "--seed", "3"}, 1, none, "fw", "success"};
        QTest::newRow("first EOT acknowledged") << Flash{QStringList{"--eot-ack-first"}, 1, none, "fw", "success"};
        QTest::newRow("empty file") << Flash{none, 1, none, "empty", "success"};
        QTest::newRow("device cancels, recorded")
            << Flash{QStringList{"--cancel-after", "3"}, 1, {"--record", work.filePath("once.jsonl")}, "fw", "cancelled"};
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
            QVERIFY(change == "rename" ? ::rename(QFile::encodeName(other), QFile::encodeName(path)) == 0
                                       : ::truncate(QFile::encodeName(path), 1000) == 0);
        }
        const bool success = outcome == "success", rateError = simArgs.contains("9600") != cliArgs.contains("9600");
        QCOMPARE(run.cli->exitCode(30000), killed >= 0 || recordRoom >= 0 ? 1
                                                                          : QStringList({"success", "failed", "cancelled"}).indexOf(outcome));
        const QMap<QString, QJsonObject> byPort = results(*run.cli);
        QCOMPARE(run.cli->lines.size() > sims, !cliArgs.contains("-q") && file == "fw"); // progress lines
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

    // A station on three path slots and one that is a folder. Units come and go on one slot, each plugged in
    // a tenth of a second after the last left, on the same pty, and each is flashed once, byte-exact; one left
    // plugged in is not flashed again; the folder is reported once and is no unit; a changed image is
    // refused; killed mid-transfer, the station leaves a record of whole lines holding every finished attempt.
    void station()
    {
        QTemporaryDir dir;
        const QByteArray image = randomBytes(100000, 11);
        const QString file = dir.filePath("station.bin"), record = dir.filePath("record.jsonl");
        const QString s0 = dir.filePath("s0"), s1 = dir.filePath("s1"), s2 = dir.filePath("s2");
        const QString folder = dir.filePath("folder");
        QVERIFY(writeFile(file, image) && QDir(dir.path()).mkdir("folder"));
        Peer station(QIVO_CLI, {"--watch", "--json", "--record", record, "-p", s0, "-p", s1, "-p", s2, "-p", folder, file});
        const auto events = [&station](const QString &event) {
            QList<QJsonObject> found;
            for (const Peer::Line &line : station.lines)
                if (QJsonDocument::fromJson(line.text).object().value("event") == event)
                    found << QJsonDocument::fromJson(line.text).object();
            return found;
        };
        const auto results = [&events] { return events("result"); };
        const QByteArray stored = "stored station.bin 100000 " + sha256(image);
        Sim stays({"--link", s1});
        for (int unit = 0; unit < 3; ++unit) {
            QTest::qWait(100);
            Sim passing({"--once", "--link", s0});
            QCOMPARE(passing.exitCode(20000), 0);
            QVERIFY(!passing.line(stored, 0).isEmpty());
        }
        QVERIFY(!stays.line(stored, 0).isEmpty());
        const auto received = [](const Peer &unit) { return std::count_if(unit.lines.begin(), unit.lines.end(),
            [](const Peer::Line &line) { return SimReport::parse(line.text).kind == SimReport::Kind::Receiving; }); };
        QCOMPARE(received(stays), 1);

        Sim running({"--pace", "--link", s2});
        QVERIFY(!running.line("receiving ", 10000).isEmpty());
        QVERIFY(writeFile(file, image + "x"));
        Sim refused({"--once", "--link", s0});
        QTRY_COMPARE(results().size(), 5);
        QVERIFY(results().last().value("error").toString().contains("changed on disk"));
        QCOMPARE(events("left").size(), 3);
        QCOMPARE(events("misconfigured").size(), 1);
        QCOMPARE(events("misconfigured").first().value("error").toString(), folder + " is a folder, not a serial device");
        station.process.kill();
        QVERIFY(running.line("stored ", 0).isEmpty() && received(refused) == 0 && received(stays) == 1);
        const QList<QByteArray> lines = readFile(record).split('\n');
        QCOMPARE(lines.size(), 6); // five lines, each ended
        for (int i = 0; i < 5; ++i) {
            const QJsonObject object = QJsonDocument::fromJson(lines[i]).object();
            QCOMPARE(object.value("outcome"), results()[i].value("outcome"));
            QCOMPARE(object.value("image_sha256").toString().toUtf8(), sha256(image));
        }
        QVERIFY(lines.last().isEmpty());
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

    // With several ports the worst outcome gives the exit code.
    void worstOutcomeDecides()
    {
        for (int run : {0, 1}) {
            QStringList got{QString::number(slow[run]->cli->exitCode(60000))}; // then the outcomes in port order
            const QMap<QString, QJsonObject> byPort = results(*slow[run]->cli);
            for (const QString &port : slow[run]->ports)
                got << byPort.value(port).value("outcome").toString();
            QCOMPARE(got.join(' '), run ? "3 success timeout cancelled" : "1 failed timeout port-error");
        }
        // The station tried the unit twice, recorded both, and counts it failed once stopped.
        const auto timeouts = [this] {
            QByteArrayList found;
            for (const Peer::Line &line : retrying->lines)
                if (line.text.contains(": timeout, "))
                    found << line.text.mid(line.text.lastIndexOf('('));
            return found;
        };
        QTRY_VERIFY_WITH_TIMEOUT(timeouts().size() == 2, 60000);
        ::kill(pid_t(retrying->process.processId()), SIGINT);
        QCOMPARE(retrying->exitCode(5000), 3);
        QCOMPARE(timeouts(), (QByteArrayList{"(attempt 1)", "(attempt 2)"}));
        QVERIFY(retrying->lines.last().text.startsWith("summary: units seen 1, succeeded first time 0, after retries 0, failed 1,"));
        QByteArrayList recorded;
        for (const QByteArray &line : readFile(work.filePath("noboot.jsonl")).split('\n'))
            if (!line.isEmpty())
                recorded << QJsonDocument::fromJson(line).object().value("outcome").toString().toUtf8();
        QCOMPARE(recorded, (QByteArrayList{"timeout", "timeout"}));
    }
};

QTEST_GUILESS_MAIN(TstCli)
#include "tst_cli.moc"
