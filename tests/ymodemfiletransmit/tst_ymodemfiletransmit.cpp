#include "scriptedymodem.h"
#include "workerlinks.h"

#include <QtTest>

namespace {

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
    void cancel_data();
    void cancel();
    void endsWithoutSuccess_data();
    void endsWithoutSuccess();
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

    WorkerPair pair;
    QVERIFY(pair.start(src.filePath("fw.bin"), dst.path()));

    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), 60000);
    QCOMPARE(readFile(dst.filePath("fw.bin")), data);

    const QList<int> progress = expectedProgress(size);
    QCOMPARE(pair.sent.progress, progress);
    QCOMPARE(pair.got.progress, progress);
    QCOMPARE(pair.sent.statuses, QList<int>{Establish} + repeated(Transmit, progress.size() + 1) + QList<int>{Finish});
    QCOMPARE(pair.got.statuses, QList<int>{Establish} + repeated(Transmit, progress.size()) + QList<int>{Finish});
    QVERIFY(pair.sent.portClosedAtFinal);
    QVERIFY(pair.got.portClosedAtFinal);
    QCOMPARE(pair.sender.getTransmitProgress(), size ? 100 : 0);
    QCOMPARE(int(pair.sender.getTransmitStatus()), Finish);
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
    PeerLink<YmodemFileTransmit> link;
    link.worker.setFileName(src.filePath(name));
    QVERIFY(link.worker.startTransmit());
    link.peer.send("C");

    if (fits) {
        QTRY_COMPARE(link.peer.received().size(), 133);
        const QByteArray encoded = name.toLocal8Bit() + '\0' + '5';
        QCOMPARE(link.peer.take(), toQByteArray(makeFrame(0, Bytes(encoded.begin(), encoded.end()))));
        link.peer.send(kCancel);
        QTRY_VERIFY(link.log.ended());
        QCOMPARE(link.log.finalStatus, Abort);
    } else {
        QTRY_VERIFY(link.log.ended());
        QCOMPARE(link.log.statuses, QList<int>{Error});
        QCOMPARE(link.peer.received(), kCancel);
    }
}

void tst_YmodemFileTransmit::cancel_data()
{
    QTest::addColumn<bool>("late");
    QTest::newRow("mid-transfer") << false;
    QTest::newRow("after the last ACK, before the final status") << true;
}

void tst_YmodemFileTransmit::cancel()
{
    QFETCH(bool, late);
    QTemporaryDir src, dst;
    QVERIFY(writeFile(src.filePath("big.bin"), randomBytes(late ? 3000 : 300 * 1024, 3)));
    WorkerPair pair;
    QVERIFY(pair.start(src.filePath("big.bin"), dst.path()));

    if (late) {
        // The outcome is known as soon as the last ACK is read; it is emitted 100 ms later.
        QElapsedTimer clock;
        clock.start();
        while (pair.sender.getTransmitStatus() != Ymodem::StatusFinish && clock.elapsed() < 20000)
            QTest::qWait(1);
        QVERIFY(!pair.sent.ended());
        pair.sender.stopTransmit();
        QTRY_VERIFY(pair.ended());
        QCOMPARE(pair.sent.statuses.last(), Finish);
        QCOMPARE(pair.got.finalStatus, Finish);
        QVERIFY(!pair.line.sentBy(0).contains(kCancel));
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(!pair.sent.progress.isEmpty() && pair.sent.progress.last() >= 5, 20000);
    pair.sender.stopTransmit();
    pair.sent.restartClock();
    QCOMPARE(int(pair.sender.getTransmitStatus()), Abort);

    QTRY_VERIFY(pair.sent.ended());
    QCOMPARE(pair.sent.finalStatus, Abort);
    QCOMPARE(pair.sent.finals, 1);
    QVERIFY2(pair.sent.finalAfterMs >= 90, qPrintable(QString::number(pair.sent.finalAfterMs)));
    QVERIFY(pair.sent.portClosedAtFinal);
    QTRY_VERIFY(pair.line.sentBy(0).endsWith(kCancel));
    QTRY_VERIFY(pair.got.ended());
    QCOMPARE(pair.got.finalStatus, Abort);
    QVERIFY(pair.sent.progress.last() < 100);
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
    PeerLink<YmodemFileTransmit> link;
    link.worker.setTimeDivide(4);
    link.worker.setTimeMax(2);
    if (!file.isNull())
        link.worker.setFileName(file);
    QVERIFY(link.worker.startTransmit());
    link.peer.send(replies);

    QTRY_VERIFY(link.log.ended());
    QCOMPARE(link.log.statuses, statuses);
    QVERIFY(link.log.portClosedAtFinal);
    QTRY_COMPARE(link.peer.received().size(), sentBytes);
    QVERIFY(link.peer.received().endsWith(kCancel));
}

void tst_YmodemFileTransmit::portVanishes()
{
    QTemporaryDir src;
    QVERIFY(writeFile(src.filePath("fw.bin"), randomBytes(50000, 2)));
    PeerLink<YmodemFileTransmit> link;
    link.worker.setFileName(src.filePath("fw.bin"));
    QVERIFY(link.worker.startTransmit());
    link.peer.send("C");
    QTRY_COMPARE(link.peer.received().size(), 133);
    link.peer.send("\x06\x43");
    QTRY_COMPARE(link.peer.received().size(), 133 + 1029);

    // With the usual limits silence would take 30 s to end the transfer.
    link.line.cut(0);
    QTRY_VERIFY_WITH_TIMEOUT(link.log.ended(), 3000);
    QCOMPARE(link.log.finalStatus, Error);
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
    WorkerPair pair;
    QObject::connect(&pair.sender, &YmodemFileTransmit::transmitStatus, [&](Ymodem::Status s) {
        if (s == Ymodem::StatusEstablish)
            QFile::resize(path, newSize);
    });
    QVERIFY(pair.start(path, dst.path()));

    QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), 20000);
    const QByteArray received = readFile(dst.filePath("fw.bin"));
    if (newSize < size) {
        // No padding is passed off as data, and the sender does not succeed.
        QCOMPARE(pair.sent.finalStatus, Error);
        QVERIFY(pair.got.finalStatus != Finish);
        QCOMPARE(received, data.left(received.size()));
    } else {
        // Only the announced bytes go out, and the transfer is whole.
        QCOMPARE(pair.sent.finalStatus, Finish);
        QCOMPARE(pair.got.finalStatus, Finish);
        QCOMPARE(received, data);
    }
}

QTEST_GUILESS_MAIN(tst_YmodemFileTransmit)
#include "tst_ymodemfiletransmit.moc"
