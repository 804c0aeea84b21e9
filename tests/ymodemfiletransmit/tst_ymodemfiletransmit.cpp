// The sender on a pty: to our receiver and to lrzsz's rb byte-exact, and
// against a receiver the test plays byte by byte.

#include "peers.h"
#include "scriptedymodem.h"

namespace {

// One percentage per block of 1024 bytes, or of 128 once at most 128 remain.
QList<int> expectedProgress(qint64 size)
{
    QList<int> p;
    for (qint64 count = 0; count < size;) {
        count += qMin<qint64>(size - count, size - count <= 128 ? 128 : 1024);
        p << int(count * 100 / size);
    }
    return p;
}

// Our sender and our receiver on two ptys that socat joins.
struct Pair
{
    QTemporaryDir links, src, dst;
    Socat line{links.filePath("tx"), "PTY,raw,echo=0,link=" + links.filePath("rx")};
    YmodemFileTransmit sender;
    YmodemFileReceive receiver;
    WorkerLog sent{&sender, links.filePath("tx"), 0};
    WorkerLog got{&receiver, links.filePath("rx"), 0};

    bool start(const QByteArray &data)
    {
        sender.setFileName(src.filePath("fw.bin"));
        sender.setPortName(links.filePath("tx"));
        receiver.setFilePath(dst.path());
        receiver.setPortName(links.filePath("rx"));
        return writeFile(src.filePath("fw.bin"), data) && sender.startTransmit() && receiver.startReceive();
    }
    bool ended() const { return sent.ended() && got.ended(); }
};

} // namespace

class tst_YmodemFileTransmit : public QObject
{
    Q_OBJECT

private slots:
    void toReceiver_data();
    void toReceiver();
    void blockZeroName_data();
    void blockZeroName();
    void stop_data();
    void stop();
    void fileChangesAfterBlockZero_data();
    void fileChangesAfterBlockZero();
    void endsWithoutSuccess_data();
    void endsWithoutSuccess();
};

void tst_YmodemFileTransmit::toReceiver_data()
{
    QTest::addColumn<bool>("rb");
    QTest::addColumn<int>("size");
    for (bool rb : {false, true})
        for (int size : {0, 1, 128, 129, 1100, 300 * 1024 + 5})
            QTest::addRow("%s %d bytes", rb ? "rb" : "ours", size) << rb << size;
}

void tst_YmodemFileTransmit::toReceiver()
{
    QFETCH(bool, rb);
    QFETCH(int, size);
    const QByteArray data = randomBytes(size, quint32(size) + rb);
    if (!rb) {
        Pair pair;
        QVERIFY(pair.start(data));
        QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), 60000);
        QCOMPARE(readFile(pair.dst.filePath("fw.bin")), data);
        const QList<int> progress = expectedProgress(size);
        QCOMPARE(pair.sent.progress, progress);
        QCOMPARE(pair.got.progress, progress);
        // Establish, Transmit for each block and at the EOT, Finish; the receiver has no EOT report.
        QCOMPARE(pair.sent.statuses, QList<int>{Establish} + QVector<int>(progress.size() + 1, Transmit).toList()
                                         + QList<int>{Finish});
        QCOMPARE(pair.got.statuses, QList<int>{Establish} + QVector<int>(progress.size(), Transmit).toList()
                                        + QList<int>{Finish});
        QVERIFY(pair.sent.portClosedAtFinal && pair.got.portClosedAtFinal);
        QCOMPARE(pair.sender.getTransmitProgress(), size ? 100 : 0);
        return;
    }
    QTemporaryDir src, dst, links;
    QVERIFY(writeFile(src.filePath("image.bin"), data));
    Socat line(links.filePath("p"), "EXEC:rb --ymodem,pipes", dst.path());
    YmodemFileTransmit sender;
    WorkerLog sent(&sender, links.filePath("p"), 0);
    sender.setFileName(src.filePath("image.bin"));
    sender.setPortName(links.filePath("p"));
    QVERIFY(sender.startTransmit());
    QTRY_VERIFY_WITH_TIMEOUT(sent.ended(), 60000);
    QCOMPARE(sent.finalStatus, Finish);
    QCOMPARE(line.exitCode(10000), 0);
    QCOMPARE(QDir(dst.path()).entryList(QDir::Files), QStringList{"image.bin"});
    QCOMPARE(readFile(dst.filePath("image.bin")), data);
}

void tst_YmodemFileTransmit::blockZeroName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("fits");
    // name, 0x00, the digit of a 5-byte size, 0x00: 125 + 3 bytes fill block 0.
    QTest::newRow("fills block 0") << QString(121, 'n') + ".bin" << true;
    QTest::newRow("one byte too long") << QString(122, 'n') + ".bin" << false;
    QTest::newRow("non-ASCII name") << QString::fromUtf8("pr\xc3\xbc" "fung.bin") << true;
}

void tst_YmodemFileTransmit::blockZeroName()
{
    QFETCH(QString, name);
    QFETCH(bool, fits);
    QTemporaryDir src;
    QVERIFY(writeFile(src.filePath(name), "12345"));
    PtyPeer peer;
    YmodemFileTransmit sender;
    WorkerLog log(&sender, peer.path, 1);
    sender.setPortName(peer.path);
    sender.setFileName(src.filePath(name));
    QVERIFY(sender.startTransmit());
    peer.send("C");

    if (fits) {
        const QByteArray encoded = name.toLocal8Bit() + '\0' + '5';
        QCOMPARE(peer.take(133), toQByteArray(makeFrame(0, Bytes(encoded.begin(), encoded.end()))));
        peer.send(kCancel);
        QTRY_COMPARE(log.finalStatus, Abort);
    } else {
        QTRY_COMPARE(log.statuses, QList<int>{Error});
        QCOMPARE(peer.received(), kCancel);
    }
}

void tst_YmodemFileTransmit::stop_data()
{
    QTest::addColumn<bool>("late");
    QTest::newRow("mid-transfer") << false;
    QTest::newRow("after the last ACK, before the final status") << true;
}

void tst_YmodemFileTransmit::stop()
{
    QFETCH(bool, late);
    Pair pair;
    QVERIFY(pair.start(randomBytes(late ? 3000 : 300 * 1024, 3)));
    if (late) {
        // The outcome is known as soon as the last ACK is read; it is emitted 100 ms later.
        QElapsedTimer clock;
        clock.start();
        while (pair.sender.getTransmitStatus() != Ymodem::StatusFinish && clock.elapsed() < 20000)
            QTest::qWait(1);
        QVERIFY(!pair.sent.ended());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(pair.sent.progress.value(pair.sent.progress.size() - 1) >= 5, 20000);
    }
    pair.sender.stopTransmit();
    pair.sent.restartClock();
    QTRY_VERIFY(pair.ended());
    QCOMPARE(pair.sent.finalStatus, late ? Finish : Abort);
    QCOMPARE(pair.got.finalStatus, late ? Finish : Abort); // the cancel bytes went out, or none
    QCOMPARE(pair.sent.statuses.count(pair.sent.finalStatus), 1);
    QVERIFY(pair.sent.portClosedAtFinal);
    if (!late) {
        QVERIFY2(pair.sent.finalAfterMs >= 90, qPrintable(QString::number(pair.sent.finalAfterMs)));
        QVERIFY(pair.sent.progress.last() < 100);
    }
}

void tst_YmodemFileTransmit::fileChangesAfterBlockZero_data()
{
    QTest::addColumn<int>("newSize");
    QTest::newRow("shrinks") << 1500;
    QTest::newRow("grows") << 8000;
}

void tst_YmodemFileTransmit::fileChangesAfterBlockZero()
{
    QFETCH(int, newSize);
    Pair pair;
    const QByteArray data = randomBytes(5000, 11);
    QObject::connect(&pair.sender, &YmodemFileTransmit::transmitStatus, [&](Ymodem::Status s) {
        if (s == Ymodem::StatusEstablish)
            QFile::resize(pair.src.filePath("fw.bin"), newSize);
    });
    QVERIFY(pair.start(data));
    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), 20000);
    const QByteArray received = readFile(pair.dst.filePath("fw.bin"));
    if (newSize < data.size()) {
        // No padding is passed off as data, and the sender does not succeed.
        QCOMPARE(pair.sent.finalStatus, Error);
        QVERIFY(pair.got.finalStatus != Finish);
        QCOMPARE(received, data.left(received.size()));
    } else {
        // Only the announced bytes go out, and the transfer is whole.
        QCOMPARE(pair.sent.finalStatus, Finish);
        QCOMPARE(received, data);
    }
}

void tst_YmodemFileTransmit::endsWithoutSuccess_data()
{
    QTest::addColumn<QString>("file"); // null: no name set
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<int>("sentBytes"); // block 0, block 1 twice by the periodic retry, the cancel
    // A checksum-mode receiver's NAK is not an answer.
    QTest::newRow("receiver never asks") << "small" << QByteArray("\x15") << QList<int>{Timeout} << 5;
    QTest::newRow("receiver falls silent") << "large" << QByteArray("C\x06") << QList<int>{Establish, Transmit, Error}
                                           << 133 + 2 * 1029 + 5;
    QTest::newRow("port vanishes") << "large" << QByteArray("C") << QList<int>{Establish, Error} << -1;
    QTest::newRow("missing file") << "/nonexistent/fw.bin" << QByteArray("C") << QList<int>{Error} << 5;
    QTest::newRow("no name set") << QString() << QByteArray("C") << QList<int>{Error} << 5;
    QTest::newRow("a directory") << "/" << QByteArray("C") << QList<int>{Error} << 5;
}

void tst_YmodemFileTransmit::endsWithoutSuccess()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, replies);
    QFETCH(QList<int>, statuses);
    QFETCH(int, sentBytes);
    QTemporaryDir src;
    if (file == "small" || file == "large") {
        QVERIFY(writeFile(src.filePath("fw.bin"), randomBytes(file == "small" ? 3 : 5000, 1)));
        file = src.filePath("fw.bin");
    }
    PtyPeer peer;
    YmodemFileTransmit sender;
    WorkerLog log(&sender, peer.path, 1);
    sender.setPortName(peer.path);
    if (sentBytes > 0) { // a vanished port must not wait out the usual 30 s of silence
        sender.setTimeDivide(4);
        sender.setTimeMax(2);
    }
    if (!file.isNull())
        sender.setFileName(file);
    QVERIFY(sender.startTransmit());
    peer.send(replies);
    if (sentBytes < 0) {
        peer.take(133);
        peer.cut();
    }

    QTRY_VERIFY_WITH_TIMEOUT(log.ended(), 3000);
    QCOMPARE(log.statuses, statuses);
    if (sentBytes > 0) {
        QVERIFY(log.portClosedAtFinal);
        QTRY_COMPARE(peer.received().size(), sentBytes);
        QVERIFY(peer.received().endsWith(kCancel));
    }
}

QTEST_GUILESS_MAIN(tst_YmodemFileTransmit)
#include "tst_ymodemfiletransmit.moc"
