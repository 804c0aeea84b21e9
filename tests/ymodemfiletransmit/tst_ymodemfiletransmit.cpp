// The sender on a pty: to our receiver and to lrzsz's rb byte-exact, and
// against a receiver the test plays byte by byte.

#include "peers.h"

namespace {

// Our sender, and our receiver or rb on a pty that socat joins to the sender's.
struct Pair
{
    explicit Pair(bool rb = false)
        : line(links.filePath("tx"), rb ? "EXEC:rb --ymodem,pipes" : "PTY,raw,echo=0,link=" + links.filePath("rx"),
               dst.path())
    {
    }
    QTemporaryDir links, src, dst;
    Socat line;
    YmodemFileTransmit sender;
    YmodemFileReceive receiver;
    WorkerLog sent{&sender, links.filePath("tx"), 0};
    WorkerLog got{&receiver, links.filePath("rx"), 0};

    bool start(const QByteArray &data, bool rb = false)
    {
        sender.setFileName(src.filePath("fw.bin"));
        sender.setPortName(links.filePath("tx"));
        receiver.setFilePath(dst.path());
        receiver.setPortName(links.filePath("rx"));
        return writeFile(src.filePath("fw.bin"), data) && sender.startTransmit() && (rb || receiver.startReceive());
    }
};

} // namespace

class tst_YmodemFileTransmit : public QObject
{
    Q_OBJECT

private slots:
    void toReceiver_data();
    void toReceiver();
    void stop_data();
    void stop();
    void fileChangesAfterBlockZero();
    void scriptedReceiver_data();
    void scriptedReceiver();
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
    Pair pair(rb);
    QVERIFY(pair.start(data, rb));
    QTRY_VERIFY_WITH_TIMEOUT(pair.sent.ended() && (rb || pair.got.ended()), 60000);
    QCOMPARE(pair.sent.finalStatus, Finish);
    QCOMPARE(QDir(pair.dst.path()).entryList(QDir::Files), QStringList{"fw.bin"});
    QCOMPARE(readFile(pair.dst.filePath("fw.bin")), data);
    if (rb) {
        QCOMPARE(pair.line.exitCode(10000), 0);
        return;
    }
    // One percentage per block of 1024 bytes, or of 128 once at most 128 remain.
    QList<int> progress;
    for (qint64 count = 0; count < size;) {
        count += qMin<qint64>(size - count, size - count <= 128 ? 128 : 1024);
        progress << int(count * 100 / size);
    }
    QCOMPARE(pair.sent.progress, progress);
    QCOMPARE(pair.got.progress, progress);
    // Establish, Transmit for each block and at the EOT, Finish; the receiver has no EOT report.
    const QList<int> transmits = QVector<int>(progress.size(), Transmit).toList();
    QCOMPARE(pair.sent.statuses, (QList<int>{Establish} + transmits + QList<int>{Transmit, Finish}));
    QCOMPARE(pair.got.statuses, QList<int>{Establish} + transmits + QList<int>{Finish});
    QVERIFY(pair.sent.portClosedAtFinal && pair.got.portClosedAtFinal);
    QCOMPARE(pair.sender.getTransmitProgress(), size ? 100 : 0);
}

void tst_YmodemFileTransmit::stop_data()
{
    QTest::addColumn<bool>("late");
    QTest::newRow("mid-transfer") << false;
    QTest::newRow("after the last ACK, before the final status") << true;
}

// A stop sends the cancel and reports the abort one write interval later;
// once the last ACK is in, it changes nothing.
void tst_YmodemFileTransmit::stop()
{
    QFETCH(bool, late);
    Pair pair;
    QVERIFY(pair.start(randomBytes(late ? 3000 : 300 * 1024, 3)));
    if (late) { // the outcome is known at the last ACK and emitted 100 ms later
        QVERIFY(QTest::qWaitFor([&] { return pair.sender.getTransmitStatus() == Ymodem::StatusFinish; }, 20000));
        QVERIFY(!pair.sent.ended());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(pair.sent.progress.value(pair.sent.progress.size() - 1) >= 5, 20000);
    }
    pair.sender.stopTransmit();
    pair.sent.clock.start();
    QTRY_VERIFY(pair.sent.ended() && pair.got.ended());
    QCOMPARE(pair.sent.finalStatus, late ? Finish : Abort);
    QCOMPARE(pair.got.finalStatus, late ? Finish : Abort); // the cancel bytes went out, or none
    QCOMPARE(pair.sent.statuses.count(pair.sent.finalStatus), 1);
    QVERIFY(pair.sent.portClosedAtFinal);
    QVERIFY2(late || pair.sent.finalAfterMs >= 90, qPrintable(QString::number(pair.sent.finalAfterMs)));
    QVERIFY(late || pair.sent.progress.last() < 100);
}

// A file that shrinks after block 0 announced its size is no success and
// passes no padding off as data; one that grows sends the announced bytes.
void tst_YmodemFileTransmit::fileChangesAfterBlockZero()
{
    for (int newSize : {1500, 8000}) {
        Pair pair;
        const QByteArray data = randomBytes(5000, 11);
        QObject::connect(&pair.sender, &YmodemFileTransmit::transmitStatus, [&](Ymodem::Status s) {
            if (s == Ymodem::StatusEstablish)
                QFile::resize(pair.src.filePath("fw.bin"), newSize);
        });
        QVERIFY(pair.start(data));
        QTRY_VERIFY_WITH_TIMEOUT(pair.sent.ended() && pair.got.ended(), 20000);
        const QByteArray received = readFile(pair.dst.filePath("fw.bin"));
        QCOMPARE(pair.sent.finalStatus, newSize < data.size() ? Error : Finish);
        QCOMPARE(pair.got.finalStatus == Finish, newSize > data.size());
        QCOMPARE(received, data.left(newSize > data.size() ? data.size() : received.size()));
    }
}

void tst_YmodemFileTransmit::scriptedReceiver_data()
{
    QTest::addColumn<QString>("file");      // made in a scratch folder with `size` bytes; absolute: as is; null: none set
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<QByteArray>("head");   // what the line starts with
    QTest::addColumn<int>("sentBytes");     // all that went out; -1: the port is cut after 133

    const auto zero = [](const QByteArray &name, int size) { return frame(0, name + '\0' + QByteArray::number(size)); };
    // Silence after a frame: two periodic resends, then the cancel.
    QTest::newRow("receiver never asks") << "fw.bin" << 3 << QByteArray("\x15") // a checksum-mode NAK is no answer
                                         << QList<int>{Timeout} << kCancel << 5;
    QTest::newRow("silent after block 0's ACK") << "fw.bin" << 5000 << QByteArray("C\x06")
        << QList<int>{Establish, Transmit, Error} << zero("fw.bin", 5000) << 133 + 2 * 1029 + 5;
    QTest::newRow("exactly 128 bytes left go in a short block") << "fw.bin" << 1152 << QByteArray("C\x06" "C\x06")
        << QList<int>{Establish, Transmit, Transmit, Error} << zero("fw.bin", 1152) << 133 + 1029 + 3 * 133 + 5;
    // name, 0x00, the digit of a 5-byte size, 0x00: 125 + 3 bytes fill block 0.
    const QByteArray longest = QByteArray(121, 'n') + ".bin";
    QTest::newRow("name fills block 0") << QString(longest) << 5 << QByteArray("C") << QList<int>{Establish, Error}
                                        << zero(longest, 5) << 3 * 133 + 5;
    QTest::newRow("non-ASCII name") << QString::fromUtf8("pr\xc3\xbc" "fung.bin") << 5 << QByteArray("C")
        << QList<int>{Establish, Error} << zero("pr\xc3\xbc" "fung.bin", 5) << 3 * 133 + 5;
    QTest::newRow("name one byte too long") << "n" + QString(longest) << 5 << QByteArray("C") << QList<int>{Error}
                                            << kCancel << 5;
    QTest::newRow("port vanishes") << "fw.bin" << 5000 << QByteArray("C") << QList<int>{Establish, Error} << QByteArray() << -1;
    QTest::newRow("missing file") << "/nonexistent/fw.bin" << 0 << QByteArray("C") << QList<int>{Error} << kCancel << 5;
    QTest::newRow("no name set") << QString() << 0 << QByteArray("C") << QList<int>{Error} << kCancel << 5;
    QTest::newRow("a directory") << "/" << 0 << QByteArray("C") << QList<int>{Error} << kCancel << 5;
}

void tst_YmodemFileTransmit::scriptedReceiver()
{
    QFETCH(QString, file);
    QFETCH(int, size);
    QFETCH(QByteArray, replies);
    QFETCH(QList<int>, statuses);
    QFETCH(QByteArray, head);
    QFETCH(int, sentBytes);
    QTemporaryDir src;
    if (!file.isNull() && !file.startsWith('/')) {
        QVERIFY(writeFile(src.filePath(file), randomBytes(size, 1)));
        file = src.filePath(file);
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
        QCOMPARE(peer.received().left(head.size()), head);
        QVERIFY(peer.received().endsWith(kCancel));
    }
}

QTEST_GUILESS_MAIN(tst_YmodemFileTransmit)
#include "tst_ymodemfiletransmit.moc"
