#include "rawport.h"
#include "scriptedymodem.h"
#include "testline.h"
#include "workerlog.h"

#include <QtTest>

namespace {

const QByteArray kCancel(5, '\x18');

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray b(size, Qt::Uninitialized);
    std::mt19937 rng(seed);
    for (char &c : b)
        c = char(rng());
    return b;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QFile::WriteOnly) && f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QFile::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// The percentages a sender reports: one per block of 1024 bytes, or of 128
// when at most 128 bytes remain.
QList<int> expectedProgress(qint64 size)
{
    QList<int> p;
    for (qint64 count = 0; count < size;) {
        count += qMin<qint64>(size - count, size - count <= 128 ? 128 : 1024);
        p << int(count * 100 / size);
    }
    return p;
}

QList<int> repeated(int value, int times)
{
    QList<int> l;
    for (int i = 0; i < times; ++i)
        l << value;
    return l;
}

const int Establish = Ymodem::StatusEstablish, Transmit = Ymodem::StatusTransmit, Finish = Ymodem::StatusFinish,
          Abort = Ymodem::StatusAbort, Timeout = Ymodem::StatusTimeout, Error = Ymodem::StatusError;

} // namespace

class tst_YmodemFileTransmit : public QObject
{
    Q_OBJECT

private slots:
    void toOwnReceiver_data();
    void toOwnReceiver();
    void toLrzsz_data();
    void toLrzsz();
    void blockZeroName_data();
    void blockZeroName();
    void cancel();
    void receiverNeverAsks();
    void receiverFallsSilent();
    void unreadableFile_data();
    void unreadableFile();
    void portWillNotOpen();
    void portVanishes();
    void fileChangesAfterBlockZero_data();
    void fileChangesAfterBlockZero();
};

void tst_YmodemFileTransmit::toOwnReceiver_data()
{
    QTest::addColumn<int>("size");
    for (int size : {0, 1, 128, 129, 1100, 2048, 300 * 1024 + 5})
        QTest::addRow("%d bytes", size) << size;
}

void tst_YmodemFileTransmit::toOwnReceiver()
{
    QFETCH(int, size);
    QTemporaryDir src, dst;
    const QByteArray data = randomBytes(size, quint32(size) + 1);
    QVERIFY(writeFile(src.filePath("fw.bin"), data));

    TestLine line;
    const QString txPort = line.addPty(), rxPort = line.addPty();
    line.start();
    YmodemFileTransmit sender;
    YmodemFileReceive receiver;
    WorkerLog sent(&sender, txPort), got(&receiver, rxPort);
    sender.setFileName(src.filePath("fw.bin"));
    sender.setPortName(txPort);
    receiver.setFilePath(dst.path());
    receiver.setPortName(rxPort);
    QVERIFY(sender.startTransmit());
    QVERIFY(receiver.startReceive());

    QTRY_VERIFY_WITH_TIMEOUT(sent.ended() && got.ended(), 60000);
    QCOMPARE(readFile(dst.filePath("fw.bin")), data);

    const QList<int> progress = expectedProgress(size);
    QCOMPARE(sent.progress, progress);
    QCOMPARE(got.progress, progress);
    QCOMPARE(sent.statuses, QList<int>{Establish} + repeated(Transmit, progress.size() + 1) + QList<int>{Finish});
    QCOMPARE(got.statuses, QList<int>{Establish} + repeated(Transmit, progress.size()) + QList<int>{Finish});
    QVERIFY(sent.portClosedAtFinal);
    QVERIFY(got.portClosedAtFinal);
    QCOMPARE(sender.getTransmitProgress(), size ? 100 : 0);
    QCOMPARE(int(sender.getTransmitStatus()), Finish);
}

void tst_YmodemFileTransmit::toLrzsz_data()
{
    toOwnReceiver_data();
}

void tst_YmodemFileTransmit::toLrzsz()
{
    QFETCH(int, size);
    QTemporaryDir src, dst;
    const QByteArray data = randomBytes(size, quint32(size) + 7);
    QVERIFY(writeFile(src.filePath("image.bin"), data));

    TestLine line;
    const QString txPort = line.addPty();
    QVERIFY(line.addProcess({"rb", "--ymodem"}, dst.path()));
    line.start();
    YmodemFileTransmit sender;
    WorkerLog sent(&sender, txPort);
    sender.setFileName(src.filePath("image.bin"));
    sender.setPortName(txPort);
    QVERIFY(sender.startTransmit());

    QTRY_VERIFY_WITH_TIMEOUT(sent.ended(), 60000);
    QCOMPARE(sent.finalStatus, Finish);
    QCOMPARE(line.waitForProcess(10000), 0);
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

    TestLine line;
    const QString txPort = line.addPty(), peerPort = line.addPty();
    line.start();
    RawPort peer(peerPort);
    YmodemFileTransmit sender;
    WorkerLog sent(&sender, txPort);
    sender.setFileName(src.filePath(name));
    sender.setPortName(txPort);
    QVERIFY(sender.startTransmit());
    peer.send("C");

    if (fits) {
        QTRY_COMPARE(peer.received().size(), 133);
        const QByteArray encoded = name.toLocal8Bit();
        Bytes payload(encoded.begin(), encoded.end());
        payload.push_back(0);
        payload.push_back('5');
        QCOMPARE(peer.take(), toQByteArray(makeFrame(0, payload)));
        peer.send("\x18\x18\x18\x18\x18");
        QTRY_VERIFY(sent.ended());
        QCOMPARE(sent.finalStatus, Abort);
    } else {
        QTRY_VERIFY(sent.ended());
        QCOMPARE(sent.finalStatus, Error);
        QCOMPARE(peer.received(), kCancel);
        QVERIFY(!sent.statuses.contains(Establish));
    }
}

void tst_YmodemFileTransmit::cancel()
{
    QTemporaryDir src, dst;
    QVERIFY(writeFile(src.filePath("big.bin"), randomBytes(300 * 1024, 3)));
    TestLine line;
    const QString txPort = line.addPty(), rxPort = line.addPty();
    line.start();
    YmodemFileTransmit sender;
    YmodemFileReceive receiver;
    WorkerLog sent(&sender, txPort), got(&receiver, rxPort);
    sender.setFileName(src.filePath("big.bin"));
    sender.setPortName(txPort);
    receiver.setFilePath(dst.path());
    receiver.setPortName(rxPort);
    QVERIFY(sender.startTransmit());
    QVERIFY(receiver.startReceive());

    QTRY_VERIFY_WITH_TIMEOUT(!sent.progress.isEmpty() && sent.progress.last() >= 5, 20000);
    sender.stopTransmit();
    sent.restartClock();
    QCOMPARE(int(sender.getTransmitStatus()), Abort);

    QTRY_VERIFY(sent.ended());
    QCOMPARE(sent.finalStatus, Abort);
    QCOMPARE(sent.finals, 1);
    QVERIFY2(sent.finalAfterMs >= 90, qPrintable(QString::number(sent.finalAfterMs)));
    QVERIFY(sent.portClosedAtFinal);
    QTRY_VERIFY(line.sentBy(0).endsWith(kCancel));
    QTRY_VERIFY(got.ended());
    QCOMPARE(got.finalStatus, Abort);
    QVERIFY(sent.progress.last() < 100);
}

void tst_YmodemFileTransmit::receiverNeverAsks()
{
    QTemporaryDir src;
    QVERIFY(writeFile(src.filePath("fw.bin"), "abc"));
    TestLine line;
    const QString txPort = line.addPty(), peerPort = line.addPty();
    line.start();
    RawPort peer(peerPort);
    YmodemFileTransmit sender;
    sender.setTimeDivide(4);
    sender.setTimeMax(2);
    WorkerLog sent(&sender, txPort);
    sender.setFileName(src.filePath("fw.bin"));
    sender.setPortName(txPort);
    QVERIFY(sender.startTransmit());
    peer.send("\x15"); // a checksum-mode receiver's NAK is not an answer

    QTRY_VERIFY(sent.ended());
    QCOMPARE(sent.statuses, QList<int>{Timeout});
    QVERIFY(sent.portClosedAtFinal);
    QTRY_COMPARE(peer.received(), kCancel);
}

void tst_YmodemFileTransmit::receiverFallsSilent()
{
    QTemporaryDir src;
    QVERIFY(writeFile(src.filePath("fw.bin"), randomBytes(5000, 1)));
    TestLine line;
    const QString txPort = line.addPty(), peerPort = line.addPty();
    line.start();
    RawPort peer(peerPort);
    YmodemFileTransmit sender;
    sender.setTimeDivide(4);
    sender.setTimeMax(2);
    WorkerLog sent(&sender, txPort);
    sender.setFileName(src.filePath("fw.bin"));
    sender.setPortName(txPort);
    QVERIFY(sender.startTransmit());
    peer.send("C");
    QTRY_COMPARE(peer.received().size(), 133);
    peer.send("\x06");

    QTRY_VERIFY(sent.ended());
    QCOMPARE(sent.finalStatus, Error);
    QVERIFY(sent.portClosedAtFinal);
    // Block 0, then block 1 sent twice by the periodic retry, then the cancel.
    QTRY_COMPARE(peer.received().size(), 133 + 2 * 1029 + 5);
    QVERIFY(peer.received().endsWith(kCancel));
}

void tst_YmodemFileTransmit::unreadableFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("missing") << "/nonexistent/fw.bin";
    QTest::newRow("no name set") << QString();
    QTest::newRow("a directory") << "/";
}

void tst_YmodemFileTransmit::unreadableFile()
{
    QFETCH(QString, name);
    TestLine line;
    const QString txPort = line.addPty(), peerPort = line.addPty();
    line.start();
    RawPort peer(peerPort);
    YmodemFileTransmit sender;
    WorkerLog sent(&sender, txPort);
    if (!name.isNull())
        sender.setFileName(name);
    sender.setPortName(txPort);
    QVERIFY(sender.startTransmit());
    peer.send("C");

    QTRY_VERIFY(sent.ended());
    QCOMPARE(sent.statuses, QList<int>{Error});
    QVERIFY(sent.portClosedAtFinal);
    QCOMPARE(peer.received(), kCancel);
}

void tst_YmodemFileTransmit::portWillNotOpen()
{
    YmodemFileTransmit sender;
    WorkerLog sent(&sender, "/dev/null");
    sender.setPortName("/dev/qivo-no-such-port");
    QVERIFY(!sender.startTransmit());
    QCOMPARE(sender.getTransmitProgress(), 0);
    QCOMPARE(int(sender.getTransmitStatus()), Establish);
    QTest::qWait(150); // long enough for either timer to have fired
    QVERIFY(sent.statuses.isEmpty());
}

void tst_YmodemFileTransmit::portVanishes()
{
    QTemporaryDir src;
    QVERIFY(writeFile(src.filePath("fw.bin"), randomBytes(50000, 2)));
    TestLine line;
    const QString txPort = line.addPty(), peerPort = line.addPty();
    line.start();
    RawPort peer(peerPort);
    YmodemFileTransmit sender;
    sender.setTimeDivide(9);
    sender.setTimeMax(2);
    WorkerLog sent(&sender, txPort);
    sender.setFileName(src.filePath("fw.bin"));
    sender.setPortName(txPort);
    QVERIFY(sender.startTransmit());
    peer.send("C");
    QTRY_COMPARE(peer.received().size(), 133);
    peer.send("\x06\x43");
    QTRY_COMPARE(peer.received().size(), 133 + 1029);

    line.cut(0);
    QTRY_VERIFY_WITH_TIMEOUT(sent.ended(), 10000);
    QCOMPARE(sent.finalStatus, Error);
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
    const int size = 5000;
    QTemporaryDir src, dst;
    const QString path = src.filePath("fw.bin");
    const QByteArray data = randomBytes(size, 11);
    QVERIFY(writeFile(path, data));

    TestLine line;
    const QString txPort = line.addPty(), rxPort = line.addPty();
    line.start();
    YmodemFileTransmit sender;
    YmodemFileReceive receiver;
    WorkerLog sent(&sender, txPort), got(&receiver, rxPort);
    QObject::connect(&sender, &YmodemFileTransmit::transmitStatus, [&](Ymodem::Status s) {
        if (s == Ymodem::StatusEstablish)
            QFile::resize(path, newSize);
    });
    sender.setFileName(path);
    sender.setPortName(txPort);
    receiver.setFilePath(dst.path());
    receiver.setPortName(rxPort);
    QVERIFY(sender.startTransmit());
    QVERIFY(receiver.startReceive());

    QTRY_VERIFY_WITH_TIMEOUT(sent.ended() && got.ended(), 20000);
    const QByteArray received = readFile(dst.filePath("fw.bin"));
    if (newSize < size) {
        QCOMPARE(sent.finalStatus, Error);
        QVERIFY(got.finalStatus != Finish);
        QCOMPARE(received, data.left(received.size()));
    } else {
        // Only the announced bytes go out, and the transfer is whole.
        QCOMPARE(sent.finalStatus, Finish);
        QCOMPARE(got.finalStatus, Finish);
        QCOMPARE(received, data);
    }
    QVERIFY(sent.progress.isEmpty() || sent.progress.last() <= 100);
}

QTEST_GUILESS_MAIN(tst_YmodemFileTransmit)
#include "tst_ymodemfiletransmit.moc"
