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

// A receiver the test plays: the file offered (made in a scratch folder with
// `size` bytes; absolute: as is; null: an empty name), the replies, then what the
// line starts with and how many bytes went out; then what the sender says:
// the bytes acknowledged and why it failed.
struct Reply { QString file; int size; QByteArray replies; QList<int> statuses; QByteArray head; int sentBytes;
               qint64 acked; QString why; };

} // namespace

Q_DECLARE_METATYPE(Reply)

class tst_YmodemFileTransmit : public QObject
{
    Q_OBJECT

private slots:
    void toReceiver_data()
    {
        QTest::addColumn<bool>("rb");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("change"); // what happens on the way
        QTest::addColumn<int>("status");     // the sender's outcome
        // Both ends' progress, one percentage per block; compared only where
        // our two ends meet and nothing happens on the way, else unchecked.
        QTest::addColumn<QList<int>>("progress");
        const QList<int> unchecked;
        // Our two ends at the block boundaries: 128 bytes or less go in one
        // 128-byte block, 129 in one of 1024, 1100 in 1024 (93 %) and 128.
        QTest::newRow("ours 0 bytes") << false << 0 << "" << Finish << QList<int>{};
        QTest::newRow("ours 1 bytes") << false << 1 << "" << Finish << QList<int>{100};
        QTest::newRow("ours 128 bytes") << false << 128 << "" << Finish << QList<int>{100};
        QTest::newRow("ours 129 bytes") << false << 129 << "" << Finish << QList<int>{100};
        QTest::newRow("ours 1100 bytes") << false << 1100 << "" << Finish << QList<int>{93, 100};
        // rb at them too and past 255 blocks (its start-up costs 3 s a run).
        for (int size : {0, 128, 129, 300 * 1024 + 5})
            QTest::addRow("rb %d bytes", size) << true << size << "" << Finish << unchecked;
        // A stop sends the cancel and reports the abort one write interval later;
        // once the last ACK is in, it changes nothing.
        QTest::newRow("stopped mid-transfer") << false << 300 * 1024 << "stop" << Abort << unchecked;
        QTest::newRow("stopped after the last ACK, before the outcome") << false << 3000 << "late stop" << Finish
                                                                        << unchecked;
        // A file that shrinks after block 0 announced its size is no success and
        // passes no padding off as data; one that grows sends the announced bytes.
        QTest::newRow("file shrinks after block 0") << false << 5000 << "1500" << Error << unchecked;
        QTest::newRow("file grows after block 0") << false << 5000 << "8000" << Finish << unchecked;
    }

    void toReceiver()
    {
        QFETCH(bool, rb);
        QFETCH(int, size);
        QFETCH(QString, change);
        QFETCH(int, status);
        QFETCH(QList<int>, progress);
        const QByteArray data = randomBytes(size, quint32(size) + rb);
        Pair pair(rb);
        QObject::connect(&pair.sender, &YmodemFileTransmit::transmitStatus, [&](Ymodem::Status s) {
            if (s == Ymodem::StatusEstablish && change.toInt() > 0)
                QFile::resize(pair.src.filePath("fw.bin"), change.toInt());
        });
        QVERIFY(pair.start(data, rb));
        if (change == "late stop") { // the outcome is known at the last ACK and emitted 100 ms later
            QVERIFY(QTest::qWaitFor([&] { return pair.sender.getTransmitStatus() == Ymodem::StatusFinish; }, 20000));
            QVERIFY(!pair.sent.ended());
        } else if (change == "stop") {
            QTRY_VERIFY_WITH_TIMEOUT(pair.sent.progress.value(pair.sent.progress.size() - 1) >= 5, 20000);
        }
        if (change.endsWith("stop")) {
            pair.sender.stopTransmit();
            pair.sent.clock.start();
        }
        QTRY_VERIFY_WITH_TIMEOUT(pair.sent.ended() && (rb || pair.got.ended()), 60000);
        QCOMPARE(pair.sent.finalStatus, status);
        QCOMPARE(pair.sent.statuses.count(status), 1);
        QVERIFY(pair.sent.portClosedAtFinal);
        // A transfer that did not finish leaves nothing behind, not even a part.
        const QStringList stored = QDir(pair.dst.path()).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(stored, status == Finish ? QStringList{"fw.bin"} : QStringList());
        QCOMPARE(readFile(pair.dst.filePath("fw.bin")), status == Finish ? data : "<missing>");
        if (rb) {
            QCOMPARE(pair.line.exitCode(10000), 0);
            return;
        }
        QCOMPARE(pair.got.finalStatus, status == Error ? Abort : status); // the cancel bytes went out, or none
        QVERIFY(pair.got.portClosedAtFinal);
        if (change == "stop") {
            QVERIFY2(pair.sent.finalAfterMs >= 90, qPrintable(QString::number(pair.sent.finalAfterMs)));
            QVERIFY(pair.sent.progress.last() < 100);
        }
        if (!change.isEmpty())
            return;
        QCOMPARE(pair.sent.progress, progress);
        QCOMPARE(pair.got.progress, progress);
        // Establish, Transmit for each block and at the EOT, Finish; the receiver has no EOT report.
        const QList<int> transmits = QVector<int>(progress.size(), Transmit).toList();
        QCOMPARE(pair.sent.statuses, (QList<int>{Establish} + transmits + QList<int>{Transmit, Finish}));
        QCOMPARE(pair.got.statuses, QList<int>{Establish} + transmits + QList<int>{Finish});
        QCOMPARE(pair.sender.getTransmitProgress(), size ? 100 : 0);
    }

    void scriptedReceiver_data()
    {
        QTest::addColumn<Reply>("reply");
        const auto zero = [](const QByteArray &name, int size) { return frame(0, name + '\0' + QByteArray::number(size)); };
        const QString kFailed = "the transfer failed (line errors, silence or a refusal)", kUnopened = "the file could not be opened";
        // Silence after a frame: two periodic resends, then the cancel. A checksum-mode NAK is no answer.
        QTest::newRow("receiver never asks") << Reply{"fw.bin", 3, "\x15", {Timeout}, kCancel, 5, 0,
                                                         "the device never asked for the file (is it in its boot loader?)"};
        QTest::newRow("silent after block 0's ACK")
            << Reply{"fw.bin", 5000, "C\x06", {Establish, Transmit, Error}, zero("fw.bin", 5000), 133 + 2 * 1029 + 5, 0, kFailed};
        QTest::newRow("exactly 128 bytes left go in a short block") << Reply{"fw.bin", 1152, "C\x06" "C\x06",
            {Establish, Transmit, Transmit, Error}, zero("fw.bin", 1152), 133 + 1029 + 3 * 133 + 5, 1024, kFailed};
        // name, 0x00, the digit of a 5-byte size, 0x00: 125 + 3 bytes fill block 0.
        const QByteArray longest = QByteArray(121, 'n') + ".bin", umlaut = "pr\xc3\xbc" "fung.bin";
        QTest::newRow("name fills block 0") << Reply{longest, 5, "C", {Establish, Error}, zero(longest, 5), 3 * 133 + 5, 0, kFailed};
        QTest::newRow("non-ASCII name")
            << Reply{QString::fromUtf8(umlaut), 5, "C", {Establish, Error}, zero(umlaut, 5), 3 * 133 + 5, 0, kFailed};
        QTest::newRow("name one byte too long") << Reply{"n" + longest, 5, "C", {Error}, kCancel, 5, 0, "the file's name is too long for block 0"};
        QTest::newRow("missing file") << Reply{"/nonexistent/fw.bin", 0, "C", {Error}, kCancel, 5, 0, kUnopened};
        QTest::newRow("empty name") << Reply{QString(), 0, "C", {Error}, kCancel, 5, 0, kUnopened};
        QTest::newRow("a directory") << Reply{"/", 0, "C", {Error}, kCancel, 5, 0, kUnopened};
    }

    void scriptedReceiver()
    {
        QFETCH(Reply, reply);
        auto [file, size, replies, statuses, head, sentBytes, acked, why] = reply;
        QTemporaryDir src;
        if (!file.isNull() && !file.startsWith('/')) {
            QVERIFY(writeFile(src.filePath(file), randomBytes(size, 1)));
            file = src.filePath(file);
        }
        PtyPeer peer;
        YmodemFileTransmit sender;
        WorkerLog log(&sender, peer.path, 1);
        sender.setPortName(peer.path);
        sender.setTimeDivide(4); // silence ends sooner than its usual 30 s
        sender.setTimeMax(2);
        sender.setFileName(file);
        QVERIFY(sender.startTransmit());
        peer.send(replies);

        QTRY_VERIFY_WITH_TIMEOUT(log.ended(), 3000);
        QCOMPARE(log.statuses, statuses);
        QVERIFY(log.portClosedAtFinal);
        QTRY_COMPARE(peer.received().size(), sentBytes);
        QCOMPARE(peer.received().left(head.size()), head);
        QVERIFY(peer.received().endsWith(kCancel));
        QCOMPARE(sender.acknowledgedBytes(), acked);
        QCOMPARE(sender.errorString(), why);
    }
};

QTEST_GUILESS_MAIN(tst_YmodemFileTransmit)
#include "tst_ymodemfiletransmit.moc"
