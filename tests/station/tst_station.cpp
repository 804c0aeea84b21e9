// qivo-dfu-cli --watch, a production-line station, against simulated
// devices plugged in and out of its slots: each unit flashed once, what is
// no unit reported, a changed image refused, failures retried, and a record
// of whole lines whatever happens to the station.

#include "peers.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <memory>

class TstStation : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    std::unique_ptr<Sim> refusing; // a unit whose flash refuses every block, on a station that retries once
    std::unique_ptr<Peer> retrying;

private slots:
    // The retrying station runs alongside the other cases.
    void initTestCase()
    {
        const QString firmware = work.filePath("fw.bin"), slot = work.filePath("refusing");
        QVERIFY(writeFile(firmware, randomBytes(20000, 8)));
        retrying.reset(new Peer(QIVO_CLI, {"--watch", "--retries", "1", "--record", slot + ".jsonl", "-p", slot, firmware}));
        refusing.reset(new Sim({"--nak-after", "1", "--link", slot}));
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

    // The station tried the unit again after it failed, recorded both
    // attempts, and counts it failed once stopped.
    void stationRetries()
    {
        const auto failures = [this] {
            QByteArrayList found;
            for (const Peer::Line &line : retrying->lines)
                if (line.text.contains(": failed, "))
                    found << line.text.mid(line.text.lastIndexOf('('));
            return found;
        };
        QTRY_VERIFY_WITH_TIMEOUT(failures().size() == 2, 60000);
        ::kill(pid_t(retrying->process.processId()), SIGINT);
        QCOMPARE(retrying->exitCode(5000), 1);
        QCOMPARE(failures(), (QByteArrayList{"(attempt 1)", "(attempt 2)"}));
        QVERIFY(retrying->lines.last().text.startsWith("summary: units seen 1, succeeded first time 0, after retries 0, failed 1,"));
        QByteArrayList recorded;
        for (const QByteArray &line : readFile(work.filePath("refusing.jsonl")).split('\n'))
            if (!line.isEmpty())
                recorded << QJsonDocument::fromJson(line).object().value("outcome").toString().toUtf8();
        QCOMPARE(recorded, (QByteArrayList{"failed", "failed"}));
    }
};

QTEST_GUILESS_MAIN(TstStation)
#include "tst_station.moc"
