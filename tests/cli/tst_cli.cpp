// qivo-dfu-cli against qivo-device-sim and against lrzsz's rb: exit codes,
// the JSON lines, the rates the preamble goes out at, several ports at once,
// and Ctrl-C. The simulator's own report is the device's view of each run.

#include "peers.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>

#include <csignal>
#include <memory>

namespace {

struct Result
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Result finish(QProcess &process, int ms)
{
    if (!process.waitForFinished(ms)) {
        process.kill();
        process.waitForFinished(2000);
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

void startCli(QProcess &process, const QStringList &args)
{
    process.start(QIVO_CLI, args);
    QVERIFY(process.waitForStarted());
}

Result runCli(const QStringList &args, int ms = 30000)
{
    QProcess process;
    process.start(QIVO_CLI, args);
    return finish(process, ms);
}

// Each stdout line is one JSON object; progress at most once per tenth and
// one result per port. Returns the results by port.
QMap<QString, QJsonObject> parseJson(const QByteArray &out)
{
    QMap<QString, QJsonObject> results;
    QMap<QString, int> lastTenth;
    for (const QByteArray &line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonObject object = QJsonDocument::fromJson(line, &error).object();
        if (error.error != QJsonParseError::NoError) {
            QTest::qFail(qPrintable("not JSON: " + line), __FILE__, __LINE__);
            return {};
        }
        const QString port = object.value("port").toString();
        if (object.value("event") == "progress") {
            const int tenth = object.value("percent").toInt(-1) / 10;
            if (tenth <= lastTenth.value(port, 0) || results.contains(port)) {
                QTest::qFail(qPrintable("progress out of step: " + line), __FILE__, __LINE__);
                return {};
            }
            lastTenth[port] = tenth;
        } else if (object.value("event") == "result" && !results.contains(port)) {
            results[port] = object;
        } else {
            QTest::qFail(qPrintable("unexpected line: " + line), __FILE__, __LINE__);
            return {};
        }
    }
    return results;
}

} // namespace

class TstCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void badInput_data();
    void badInput();
    void flash_data();
    void flash();
    void interrupt();
    void againstRb();
    void worstOutcomeDecides_data();
    void worstOutcomeDecides();
    void cleanupTestCase();

private:
    QString writeFile(const QString &name, const QByteArray &bytes);

    QTemporaryDir work;
    QString firmware;
    QByteArray firmwareBytes;

    // Runs that wait out the sender's 30 s timeout start at once and are
    // judged last, so they cost the suite one timeout.
    struct Slow
    {
        std::vector<std::unique_ptr<Sim>> sims;
        QStringList ports;
        std::unique_ptr<QProcess> cli;
    };
    Slow slow[2];
};

QString TstCli::writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = work.filePath(name);
    QFile file(path);
    if (!file.open(QFile::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

void TstCli::initTestCase()
{
    QVERIFY(work.isValid());
    QRandomGenerator random(8);
    for (int i = 0; i < 20000; ++i)
        firmwareBytes.append(char(random.bounded(256)));
    firmware = writeFile("fw.bin", firmwareBytes);
    QVERIFY(!firmware.isEmpty());

    // 0: a device that finishes, one that never answers, a port that is not there.
    // 1: a device that never boots, one that cancels.
    const QList<QStringList> simArgs[2] = {{{}, {"--silent"}}, {{"--no-boot"}, {"--cancel-after", "1"}}};
    for (int i = 0; i < 2; ++i) {
        for (const QStringList &args : simArgs[i]) {
            slow[i].sims.emplace_back(new Sim(args + QStringList{"--once"}));
            QVERIFY(!slow[i].sims.back()->port.isEmpty());
            slow[i].ports << "-p" << slow[i].sims.back()->port;
        }
        if (i == 0)
            slow[i].ports << "-p" << "/dev/qivo-no-such-port";
        slow[i].cli.reset(new QProcess);
        startCli(*slow[i].cli, QStringList{"--json"} + slow[i].ports + QStringList{firmware});
    }
}

void TstCli::badInput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");

    // 126 + NUL + "1" + NUL: one byte over block 0.
    const QString longName = writeFile(QString(122, 'n') + ".bin", "x");
    const QString empty = writeFile("empty.bin", QByteArray());
    QVERIFY(QFile::link("fw.bin", work.filePath("alias.bin")));

    // "PORT" stands for a device that must not hear a byte.
    QTest::newRow("unknown option") << QStringList{"--frobnicate", "-p", "PORT", firmware} << 64 << "frobnicate";
    QTest::newRow("no file") << QStringList{"-p", "PORT"} << 64 << "no FILE";
    QTest::newRow("two files") << QStringList{"-p", "PORT", firmware, firmware} << 64 << "exactly one FILE";
    QTest::newRow("missing file") << QStringList{"-p", "PORT", work.filePath("none.bin")} << 64 << "no such file";
    QTest::newRow("folder") << QStringList{"-p", "PORT", work.path()} << 64 << "is a folder";
    QTest::newRow("name too long for block 0") << QStringList{"-p", "PORT", longName} << 64 << "too long";
    QTest::newRow("port twice by two names") << QStringList{"-p", "PORT", "-p", "LINK", firmware} << 64 << "given twice";
    QTest::newRow("bad rate") << QStringList{"-b", "fast", "-p", "PORT", firmware} << 64 << "bad rate";
    QTest::newRow("no port") << QStringList{firmware} << 64 << "no port given";
    QTest::newRow("usb identity malformed") << QStringList{"-p", "usb:12", firmware} << 64 << "usb:VID:PID";
    QTest::newRow("usb identity matches nothing") << QStringList{"-p", "usb:f0f0:0f0f", "-p", "PORT", firmware} << 4 << "matches no port";
    QTest::newRow("missing device") << QStringList{"-p", "qivo-no-such-tty", firmware} << 4 << "missing: no such device";
    QTest::newRow("help lists exit codes") << QStringList{"--help"} << 0 << "64  bad usage";
    QTest::newRow("empty file is sent with a warning, but not to a missing port")
        << QStringList{"-p", "/dev/qivo-no-such-port", empty} << 4 << "zero-length file";
    if (geteuid() != 0) {
        const QString locked = writeFile("locked.bin", "x");
        QFile::setPermissions(locked, QFileDevice::WriteOwner);
        QTest::newRow("unreadable file") << QStringList{"-p", "PORT", locked} << 64 << "cannot read";
    }
}

void TstCli::badInput()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, says);

    Sim sim({"--once"});
    QVERIFY(!sim.port.isEmpty());
    const QString link = work.filePath("simlink");
    QFile::remove(link);
    QVERIFY(QFile::link(sim.port, link));
    args.replaceInStrings(QRegularExpression("^PORT$"), sim.port);
    args.replaceInStrings(QRegularExpression("^LINK$"), link);

    const Result result = runCli(args);
    QCOMPARE(result.code, exitCode);
    QVERIFY2((result.out + result.err).contains(says.toLocal8Bit()), result.out + result.err);
    QTest::qWait(100);
    QTest::qWait(100);
    QCOMPARE(sim.arrival("line "), -1);
}

void TstCli::flash_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("sims");
    QTest::addColumn<QStringList>("cliArgs");
    QTest::addColumn<QString>("file"); // "fw", "empty", or "vanishing" once the preamble runs
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QByteArray>("simEnd");
    QTest::addColumn<QByteArray>("simError"); // empty: the device saw every line at its rate

    const QByteArray stored = "stored";
    const QByteArray cancelled = "ended cancelled";
    // Without the sim's --baud 9600 the same run is a rate error: the check can fail.
    QTest::newRow("first lines at 9600, at+update at 115200")
        << QStringList{"--baud", "9600"} << 1 << QStringList{"-b", "9600"} << "fw" << 0 << "success" << stored << QByteArray();
    QTest::newRow("device expects another rate")
        << QStringList{} << 1 << QStringList{"-b", "9600"} << "fw" << 0 << "success" << stored
        << QByteArray("at+version arrived at 9600 baud, expected 115200");
    QTest::newRow("two ports at once, quiet")
        << QStringList{} << 2 << QStringList{"-q"} << "fw" << 0 << "success" << stored << QByteArray();
    QTest::newRow("paced line with bit flips")
        << QStringList{"--pace", "--noise", "0.00001", "--seed", "3"} << 1 << QStringList{} << "fw" << 0 << "success" << stored << QByteArray();
    QTest::newRow("first EOT acknowledged")
        << QStringList{"--eot-ack-first"} << 1 << QStringList{} << "fw" << 0 << "success" << stored << QByteArray();
    QTest::newRow("empty file")
        << QStringList{} << 1 << QStringList{} << "empty" << 0 << "success" << stored << QByteArray();
    QTest::newRow("device cancels")
        << QStringList{"--cancel-after", "3"} << 1 << QStringList{} << "fw" << 2 << "cancelled" << cancelled << QByteArray();
    QTest::newRow("file gone before block 0")
        << QStringList{} << 1 << QStringList{} << "vanishing" << 1 << "failed" << cancelled << QByteArray();
}

void TstCli::flash()
{
    QFETCH(QStringList, simArgs);
    QFETCH(int, sims);
    QFETCH(QStringList, cliArgs);
    QFETCH(QString, file);
    QFETCH(int, exitCode);
    QFETCH(QString, outcome);
    QFETCH(QByteArray, simEnd);
    QFETCH(QByteArray, simError);

    const QByteArray bytes = file == "empty" ? QByteArray() : firmwareBytes;
    const QString path = writeFile(file + ".bin", bytes);
    QVERIFY(!path.isEmpty());

    std::vector<std::unique_ptr<Sim>> devices;
    QStringList args = cliArgs + QStringList{"--json", path};
    for (int i = 0; i < sims; ++i) {
        devices.emplace_back(new Sim(simArgs + QStringList{"--once"}));
        QVERIFY(!devices.back()->port.isEmpty());
        args << "-p" << devices.back()->port;
    }

    QProcess cli;
    startCli(cli, args);
    if (file == "vanishing") {
        QVERIFY(!devices.front()->line("line at+version").isEmpty());
        QVERIFY(QFile::remove(path));
    }
    const Result result = finish(cli, 30000);
    QVERIFY2(result.code == exitCode, result.err);

    const QMap<QString, QJsonObject> results = parseJson(result.out);
    QCOMPARE(results.size(), sims);
    QCOMPARE(result.out.contains("\"progress\""), !cliArgs.contains("-q") && file != "empty" && exitCode != 1);
    for (const std::unique_ptr<Sim> &sim : devices) {
        const QJsonObject object = results.value(sim->port);
        QCOMPARE(object.value("outcome").toString(), outcome);
        QCOMPARE(object.value("file").toString(), path);
        QVERIFY(object.value("seconds").toDouble(-1) >= 0);
        if (outcome == "success")
            QCOMPARE(object.value("bytes").toDouble(), double(bytes.size()));

        const int code = sim->exitCode(5000);
        const QByteArray err = sim->process.readAllStandardError();
        QVERIFY(!sim->line(simEnd, 0).isEmpty());
        if (simEnd == "stored") {
            const QList<QByteArray> stored = sim->line("stored ").split(' '); // NAME SIZE SHA256 SECONDS
            QCOMPARE(stored.value(3), sha256(bytes));
            QCOMPARE(stored.value(2).toInt(), bytes.size());
        }
        if (simError.isEmpty())
            QVERIFY2(!err.contains("error"), err);
        else
            QVERIFY2(err.contains(simError), err);
        QCOMPARE(code, simEnd == "stored" && simError.isEmpty() ? 0 : 1);
    }
}

// Ctrl-C twice while a paced transfer runs, with a terminal on stderr: the
// device sees a cancelled transfer and the terminal gets its cursor back.
void TstCli::interrupt()
{
    Sim sim({"--pace", "--once"});
    QVERIFY(!sim.port.isEmpty());
    const QString big = writeFile("big.bin", firmwareBytes.repeated(5));

    int master = -1, slave = -1;
    char name[128] = {};
    QVERIFY(openpty(&master, &slave, name, nullptr, nullptr) == 0);
    fcntl(master, F_SETFL, O_NONBLOCK);

    QProcess cli;
    cli.setStandardErrorFile(QString::fromLocal8Bit(name));
    startCli(cli, {"-p", sim.port, big});
    QVERIFY(!sim.line("receiving big.bin").isEmpty());
    QTest::qWait(500);
    ::kill(pid_t(cli.processId()), SIGINT);
    QTest::qWait(20);
    ::kill(pid_t(cli.processId()), SIGINT);
    const Result result = finish(cli, 3000);
    QCOMPARE(result.code, 2);
    QVERIFY2(result.out.contains(": cancelled, "), result.out);

    QVERIFY(!sim.line("ended cancelled big.bin", 3000).isEmpty());

    QByteArray terminal;
    char buff[4096];
    for (ssize_t got; (got = ::read(master, buff, sizeof buff)) > 0;)
        terminal.append(buff, int(got));
    ::close(master);
    ::close(slave);
    QVERIFY2(terminal.contains("\033[?25l"), terminal);
    QVERIFY2(terminal.lastIndexOf("\033[?25h") > terminal.lastIndexOf("\033[?25l"), terminal);
}

// A general YMODEM receiver: lrzsz's rb on a pty made by socat, storing into
// an empty folder; the device is taken to be in its boot loader already.
void TstCli::againstRb()
{
    const QString socat = QStandardPaths::findExecutable("socat");
    if (socat.isEmpty() || QStandardPaths::findExecutable("rb").isEmpty())
        QSKIP("socat and lrzsz's rb are needed (scripts/install-deps.sh)");
    QTemporaryDir target;
    const QString link = work.filePath("rbport");
    QProcess peer;
    peer.setWorkingDirectory(target.path());
    peer.start(socat, {"PTY,raw,echo=0,link=" + link, "EXEC:rb --ymodem,pipes"});
    QTRY_VERIFY(QFile::exists(link));

    const Result result = runCli({"--no-preamble", "-q", "-p", link, firmware});
    QVERIFY2(result.code == 0, result.out + result.err);
    QCOMPARE(finish(peer, 5000).code, 0);
    QFile stored(target.filePath("fw.bin"));
    QVERIFY(stored.open(QFile::ReadOnly));
    QCOMPARE(sha256(stored.readAll()), sha256(firmwareBytes));
}

void TstCli::worstOutcomeDecides_data()
{
    QTest::addColumn<int>("run");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("outcomes"); // by port, in the order given

    QTest::newRow("port error outranks timeout")
        << 0 << 4 << QStringList{"success", "timeout", "port-error"};
    QTest::newRow("timeout outranks cancelled")
        << 1 << 3 << QStringList{"timeout", "cancelled"};
}

void TstCli::worstOutcomeDecides()
{
    QFETCH(int, run);
    QFETCH(int, exitCode);
    QFETCH(QStringList, outcomes);

    const Result result = finish(*slow[run].cli, 60000);
    QCOMPARE(result.code, exitCode);
    const QMap<QString, QJsonObject> results = parseJson(result.out);
    QCOMPARE(results.size(), outcomes.size());
    for (int i = 0; i < outcomes.size(); ++i)
        QCOMPARE(results.value(slow[run].ports.at(2 * i + 1)).value("outcome").toString(), outcomes[i]);
    if (slow[run].ports.contains("/dev/qivo-no-such-port"))
        QVERIFY(results.value("/dev/qivo-no-such-port").value("error").toString().startsWith("missing"));
}

// Left running only when a subset of the functions ran.
void TstCli::cleanupTestCase()
{
    for (Slow &run : slow)
        if (run.cli && run.cli->state() != QProcess::NotRunning)
            finish(*run.cli, 0);
}

QTEST_GUILESS_MAIN(TstCli)
#include "tst_cli.moc"
