// The receiver on a pty: from lrzsz's sb byte-exact, and against a sender the
// test plays byte by byte, with hostile block 0s, full disks and endings.

#include "peers.h"
#include "scriptedymodem.h"

namespace {

QByteArray frame(uint8_t number, const QByteArray &payload)
{
    return toQByteArray(makeFrame(number, Bytes(payload.begin(), payload.end())));
}

// Block 0 as raw bytes: name, 0x00, size field, 0x00 (when it fits).
QByteArray blockZero(const QByteArray &name, const QByteArray &sizeField)
{
    return (name + '\0' + sizeField + '\0').leftJustified(128, '\0', true);
}

// Our receiver, storing into target, and the sender the test plays.
struct Scripted
{
    explicit Scripted(const QString &target) { receiver.setFilePath(target), receiver.setPortName(peer.path); }
    PtyPeer peer;
    YmodemFileReceive receiver;
    WorkerLog log{&receiver, peer.path, 1};

    void playSender(const QByteArray &zero, const QList<QByteArray> &blocks)
    {
        QCOMPARE(peer.take(1), QByteArray("C"));
        peer.send(frame(0, zero));
        QCOMPARE(peer.take(2), QByteArray("\x06" "C"));
        for (int i = 0; i < blocks.size(); ++i) {
            peer.send(frame(uint8_t(i + 1), blocks[i]));
            QCOMPARE(peer.take(1), QByteArray("\x06"));
        }
        peer.send("\x04");
        QCOMPARE(peer.take(1), QByteArray("\x15"));
        peer.send("\x04");
        QCOMPARE(peer.take(2), QByteArray("\x06" "C"));
        peer.send(toQByteArray(closingBlock()));
        QCOMPARE(peer.take(1), QByteArray("\x06"));
    }
};

} // namespace

class tst_YmodemFileReceive : public QObject
{
    Q_OBJECT

private slots:
    void fromLrzsz_data();
    void fromLrzsz();
    void stores_data();
    void stores();
    void emptyPathMeansWorkingDirectory();
    void endsEarly_data();
    void endsEarly();
    void portWillNotOpen();
};

void tst_YmodemFileReceive::fromLrzsz_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("kilo");
    for (bool kilo : {true, false})
        for (int size : {0, 1, 128, 129, 1100, 300 * 1024 + 5})
            QTest::addRow("%s %d bytes", kilo ? "sb -k" : "sb", size) << size << kilo;
}

void tst_YmodemFileReceive::fromLrzsz()
{
    QFETCH(int, size);
    QFETCH(bool, kilo);
    QTemporaryDir src, dst, links;
    const QByteArray data = randomBytes(size, quint32(size) * 3 + kilo);
    QVERIFY(writeFile(src.filePath("dev.bin"), data));
    Socat line(links.filePath("p"), QString("EXEC:sb --ymodem %1 dev.bin,pipes").arg(kilo ? "-k" : ""), src.path());
    YmodemFileReceive receiver;
    WorkerLog got(&receiver, links.filePath("p"), 0);
    receiver.setFilePath(dst.path());
    receiver.setPortName(links.filePath("p"));
    QVERIFY(receiver.startReceive());

    QTRY_VERIFY_WITH_TIMEOUT(got.ended(), 90000);
    QCOMPARE(got.finalStatus, Finish);
    QVERIFY(got.portClosedAtFinal);
    QCOMPARE(line.exitCode(10000), 0);
    QCOMPARE(QDir(dst.path()).entryList(QDir::Files), QStringList{"dev.bin"});
    QCOMPARE(readFile(dst.filePath("dev.bin")), data);
    // One progress and one StatusTransmit per block, rising to 100.
    QCOMPARE(got.statuses.first(), Establish);
    QCOMPARE(got.statuses.count(Transmit), got.progress.size());
    QVERIFY(std::is_sorted(got.progress.begin(), got.progress.end()));
    QCOMPARE(got.progress.value(got.progress.size() - 1, 100), 100);
}

void tst_YmodemFileReceive::stores_data()
{
    QTest::addColumn<QByteArray>("zero");
    QTest::addColumn<QList<QByteArray>>("blocks");
    QTest::addColumn<QString>("existing"); // what stands as fw.bin in the target folder beforehand
    QTest::addColumn<QString>("name");     // what is stored; empty: refused at block 0
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<int>("status");

    const QByteArray data = randomBytes(1100, 5);
    const QList<QByteArray> b1100{data.left(1024), data.mid(1024).leftJustified(128, '\0')};
    const QList<QByteArray> abc{"abc"};
    const QList<int> none;
    QTest::newRow("1024 then 128") << blockZero("fw.bin", "1100") << b1100 << "" << "fw.bin" << data << QList<int>{93, 100} << Finish;
    QTest::newRow("date and mode after the size") << blockZero("dev fw.bin", "1100 14712303402 100644 0 1 1100")
                                                  << b1100 << "" << "dev fw.bin" << data << QList<int>{93, 100} << Finish;
    QTest::newRow("size 128, one 1024 block") << blockZero("s.bin", "128") << QList<QByteArray>{data.left(1024)} << ""
                                     << "s.bin" << data.left(128) << QList<int>{100} << Finish;
    QTest::newRow("blocks beyond the size") << blockZero("s.bin", "200") << QList<QByteArray>{data.left(1024), abc[0], abc[0]}
                                   << "" << "s.bin" << data.left(200) << QList<int>{100, 100, 100} << Finish;
    QTest::newRow("size 0") << blockZero("e.bin", "0") << abc << "" << "e.bin" << QByteArray() << QList<int>{100} << Finish;
    // Without a size every byte is kept, the last block's padding too.
    QTest::newRow("size not a number") << blockZero("n.bin", "12ab") << abc << "" << "n.bin"
                              << QByteArray("abc").leftJustified(128, '\0') << QList<int>{0} << Finish;
    QTest::newRow("no size field") << blockZero("n.bin", "") << b1100 << "" << "n.bin" << b1100[0] + b1100[1]
                          << QList<int>{0, 0} << Finish;
    // A name that fills the block leaves no room for a terminator or a size.
    QTest::newRow("name fills block 0") << QByteArray(128, 'x') << QList<QByteArray>{} << "" << QString(128, 'x')
                               << QByteArray() << none << Finish;
    // Line noise can end a batch early; what arrived stays, but it is no success.
    QTest::newRow("batch ends short of the size") << blockZero("fw.bin", "3000") << QList<QByteArray>{data.left(1024)} << ""
                                         << "fw.bin" << data.left(1024) << QList<int>{34} << Error;
    // Untrusted names: only the last component, inside the folder.
    const char *kept[][2] = {{"../evil.bin", "evil.bin"}, {"/tmp/abs.bin", "abs.bin"}, {"sub/dir/x.bin", "x.bin"},
                             {"C:\\fw\\w.bin", "w.bin"}};
    for (auto &k : kept)
        QTest::newRow(k[0]) << blockZero(k[0], "3") << abc << "" << k[1] << QByteArray("abc") << QList<int>{100} << Finish;
    const char *refused[][2] = {{"dot dot", ".."}, {"ends in a slash", "dir/"}, {"control character", "a\x01" "b.bin"},
                                {"escape sequence", "\x1b[2Jx.bin"}, {"empty", ""}};
    for (auto &r : refused)
        QTest::newRow(r[0]) << blockZero(r[1], "3") << abc << "" << "" << QByteArray() << none << Error;
    QTest::newRow("existing file overwritten") << blockZero("fw.bin", "4") << QList<QByteArray>{"new!"} << "file" << "fw.bin"
                                      << QByteArray("new!") << QList<int>{100} << Finish;
    // A link under the received name is never followed.
    QTest::newRow("link to a file outside") << blockZero("fw.bin", "4") << abc << "link" << "" << QByteArray() << none << Error;
    QTest::newRow("dangling link") << blockZero("fw.bin", "4") << abc << "dangling" << "" << QByteArray() << none << Error;
}

void tst_YmodemFileReceive::stores()
{
    QFETCH(QByteArray, zero);
    QFETCH(QList<QByteArray>, blocks);
    QFETCH(QString, existing);
    QFETCH(QString, name);
    QFETCH(QByteArray, stored);
    QFETCH(QList<int>, progress);
    QFETCH(int, status);
    QTemporaryDir base, outside;
    QVERIFY(QDir(base.path()).mkdir("in"));
    const QString target = base.filePath("in"), victim = outside.filePath("victim.bin");
    QVERIFY(writeFile(existing == "file" ? target + "/fw.bin" : victim, "old"));
    if (existing == "link" || existing == "dangling")
        QVERIFY(QFile::link(existing == "link" ? victim : outside.filePath("none.bin"), target + "/fw.bin"));
    Scripted link(target);
    QVERIFY(link.receiver.startReceive());

    if (name.isEmpty()) {
        QCOMPARE(link.peer.take(1), QByteArray("C"));
        link.peer.send(frame(0, zero));
        QCOMPARE(link.peer.take(5), kCancel);
        QTRY_COMPARE(link.log.statuses, QList<int>{Error});
        const QStringList left = QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
        QCOMPARE(left, existing.isEmpty() ? QStringList() : QStringList{"fw.bin"});
    } else {
        link.playSender(zero, blocks);
        QTRY_VERIFY(link.log.ended());
        QCOMPARE(link.log.statuses.size(), blocks.size() + 2);
        QCOMPARE(link.log.finalStatus, status);
        QCOMPARE(QDir(target).entryList(QDir::Files), QStringList{name});
        QCOMPARE(readFile(target + "/" + name), stored);
        QCOMPARE(link.log.progress, progress);
    }
    QCOMPARE(readFile(victim), existing == "file" ? QByteArray("<missing>") : QByteArray("old"));
    QCOMPARE(QDir(base.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"in"});
    QVERIFY(!QFile::exists("/tmp/abs.bin"));
}

void tst_YmodemFileReceive::emptyPathMeansWorkingDirectory()
{
    QTemporaryDir work;
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(work.path()));
    {
        Scripted link{QString("")};
        QVERIFY(link.receiver.startReceive());
        link.playSender(blockZero("here.bin", "3"), {"xyz"});
        QTRY_COMPARE(link.log.finalStatus, Finish);
    }
    QDir::setCurrent(before);
    QCOMPARE(readFile(work.filePath("here.bin")), QByteArray("xyz"));
    QVERIFY(!QFile::exists("/here.bin"));
}

void tst_YmodemFileReceive::endsEarly_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("blocks"); // data blocks sent; -1: not even block 0
    QTest::addColumn<QString>("then");
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<QByteArray>("tail"); // all the receiver sent after block 0's ACK and 'C'

    QTest::newRow("sender never starts") << "" << -1 << "silence" << QList<int>{Timeout} << "CC" + kCancel;
    QTest::newRow("sender falls silent") << "" << 0 << "silence" << QList<int>{Establish, Error}
                                         << "\x15\x15" + kCancel;
    // The cancel is the last thing a stopped receiver sends, and what arrived stays.
    QTest::newRow("stopped") << "" << 1 << "stop" << QList<int>{Establish, Transmit, Abort} << "\x06" + kCancel;
    QTest::newRow("port vanishes") << "" << 0 << "cut" << QList<int>{Establish, Error} << QByteArray();
    QTest::newRow("disk refuses the write") << "/dev" << 1 << "silence" << QList<int>{Establish, Error} << kCancel;
}

void tst_YmodemFileReceive::endsEarly()
{
    QFETCH(QString, target);
    QFETCH(int, blocks);
    QFETCH(QString, then);
    QFETCH(QList<int>, statuses);
    QFETCH(QByteArray, tail);
    if (!target.isEmpty() && !QFileInfo("/dev/full").isWritable())
        QSKIP("needs a writable /dev/full");
    QTemporaryDir dst;
    Scripted link(target.isEmpty() ? dst.path() : target);
    if (then == "silence") { // a vanished port must not wait out the usual 30 s of silence
        link.receiver.setTimeDivide(4);
        link.receiver.setTimeMax(2);
    }
    QVERIFY(link.receiver.startReceive());
    const QByteArray data = randomBytes(1024, 4);

    QCOMPARE(link.peer.take(1), QByteArray("C"));
    if (blocks >= 0) {
        link.peer.send(frame(0, blockZero(target.isEmpty() ? "fw.bin" : "full", "5000")));
        QCOMPARE(link.peer.take(2), QByteArray("\x06" "C"));
    }
    for (int i = 1; i <= blocks; ++i)
        link.peer.send(frame(uint8_t(i), data));
    if (then == "stop") {
        QTRY_VERIFY(!link.log.progress.isEmpty());
        link.receiver.stopReceive();
        link.log.restartClock();
    } else if (then == "cut") {
        link.peer.cut();
    }
    QTRY_VERIFY_WITH_TIMEOUT(link.log.ended(), 3000);
    QCOMPARE(link.log.statuses, statuses);
    if (then == "cut")
        return;
    QTest::qWait(50); // a stopped receiver would have stepped again by now
    QCOMPARE(link.peer.take(), tail);
    QVERIFY(link.log.portClosedAtFinal);
    if (then == "stop") {
        QVERIFY2(link.log.finalAfterMs >= 90, qPrintable(QString::number(link.log.finalAfterMs)));
        QCOMPARE(readFile(dst.filePath("fw.bin")), data);
    }
}

void tst_YmodemFileReceive::portWillNotOpen()
{
    YmodemFileReceive receiver;
    WorkerLog got(&receiver, "/dev/null", 0);
    receiver.setPortName("/dev/qivo-no-such-port");
    QVERIFY(!receiver.startReceive());
    QTest::qWait(150); // long enough for either timer to have fired
    QVERIFY(got.statuses.isEmpty());
}

QTEST_GUILESS_MAIN(tst_YmodemFileReceive)
#include "tst_ymodemfilereceive.moc"
