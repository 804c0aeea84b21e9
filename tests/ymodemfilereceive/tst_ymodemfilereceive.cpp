#include "scriptedymodem.h"
#include "workerlinks.h"

#include <QtTest>

namespace {

Bytes toBytes(const QByteArray &b)
{
    return Bytes(b.begin(), b.end());
}

QByteArray frame(uint8_t number, const QByteArray &payload)
{
    return toQByteArray(makeFrame(number, toBytes(payload)));
}

// Block 0 as raw bytes: name, 0x00, size field, 0x00 (when it fits).
QByteArray blockZero(const QByteArray &name, const QByteArray &sizeField)
{
    QByteArray b = name + '\0' + sizeField + '\0';
    b.truncate(128);
    b.append(QByteArray(128 - b.size(), '\0'));
    return b;
}

// Waits until the peer has received at least as many bytes as expected,
// then takes them all.
QByteArray await(RawPort &peer, int count, int timeoutMs = 5000)
{
    QElapsedTimer t;
    t.start();
    while (peer.received().size() < count && t.elapsed() < timeoutMs)
        QTest::qWait(2);
    return peer.take();
}

// A YMODEM sender played by the test, one step at a time.
void playSender(RawPort &peer, const QByteArray &zero, const QList<QByteArray> &blocks)
{
    QCOMPARE(await(peer, 1), QByteArray("C"));
    peer.send(frame(0, zero));
    QCOMPARE(await(peer, 2), QByteArray("\x06" "C"));
    for (int i = 0; i < blocks.size(); ++i) {
        peer.send(frame(uint8_t(i + 1), blocks[i]));
        QCOMPARE(await(peer, 1), QByteArray("\x06"));
    }
    peer.send("\x04");
    QCOMPARE(await(peer, 1), QByteArray("\x15"));
    peer.send("\x04");
    QCOMPARE(await(peer, 2), QByteArray("\x06" "C"));
    peer.send(toQByteArray(closingBlock()));
    QCOMPARE(await(peer, 1), QByteArray("\x06"));
}

// Our receiver on one pty end, the test's raw peer on the other.
struct ScriptedLink : PeerLink<YmodemFileReceive>
{
    YmodemFileReceive &receiver = worker;

    explicit ScriptedLink(const QString &target) { receiver.setFilePath(target); }
};

} // namespace

class tst_YmodemFileReceive : public QObject
{
    Q_OBJECT

private slots:
    void fromLrzsz_data();
    void fromLrzsz();
    void blockZeroAndSize_data();
    void blockZeroAndSize();
    void untrustedName_data();
    void untrustedName();
    void emptyPathMeansWorkingDirectory();
    void existingEntry_data();
    void existingEntry();
    void endsShortOfAnnouncedSize();
    void diskRefusesWrite();
    void cancel();
    void senderSilent_data();
    void senderSilent();
    void portWillNotOpen();
    void portVanishes();
    void noisyLine();
};

void tst_YmodemFileReceive::fromLrzsz_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("kilo");
    for (bool kilo : {true, false})
        for (int size : {0, 1, 128, 129, 1100, 2048, 300 * 1024 + 5})
            QTest::addRow("%s %d bytes", kilo ? "sb -k" : "sb", size) << size << kilo;
}

void tst_YmodemFileReceive::fromLrzsz()
{
    QFETCH(int, size);
    QFETCH(bool, kilo);
    QTemporaryDir src, dst;
    const QByteArray data = randomBytes(size, quint32(size) * 3 + kilo);
    QVERIFY(writeFile(src.filePath("dev fw.bin"), data));

    TestLine line;
    const QString port = line.addPty();
    QStringList sb{"sb", "--ymodem"};
    if (kilo)
        sb << "-k";
    QVERIFY(line.addProcess(sb << src.filePath("dev fw.bin"), src.path()));
    line.start();
    YmodemFileReceive receiver;
    WorkerLog got(&receiver, port);
    receiver.setFilePath(dst.path());
    receiver.setPortName(port);
    QVERIFY(receiver.startReceive());

    QTRY_VERIFY_WITH_TIMEOUT(got.ended(), 90000);
    QCOMPARE(got.finalStatus, Finish);
    QVERIFY(got.portClosedAtFinal);
    QCOMPARE(line.waitForProcess(10000), 0);
    QCOMPARE(QDir(dst.path()).entryList(QDir::Files), QStringList{"dev fw.bin"});
    QCOMPARE(readFile(dst.filePath("dev fw.bin")), data);

    // One progress and one StatusTransmit per block, rising to 100.
    QCOMPARE(got.statuses.first(), Establish);
    QCOMPARE(got.statuses.count(Transmit), got.progress.size());
    QVERIFY(std::is_sorted(got.progress.begin(), got.progress.end()));
    if (size > 0)
        QCOMPARE(got.progress.last(), 100);
}

void tst_YmodemFileReceive::blockZeroAndSize_data()
{
    QTest::addColumn<QByteArray>("zero");
    QTest::addColumn<QList<QByteArray>>("blocks");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QList<int>>("progress");

    const QByteArray data = randomBytes(1100, 5);
    const QList<QByteArray> blocks1100{data.left(1024), data.mid(1024).leftJustified(128, '\0')};
    QTest::newRow("1024 then 128") << blockZero("fw.bin", "1100") << blocks1100 << "fw.bin" << data
                                   << QList<int>{93, 100};
    QTest::newRow("date and mode after the size")
        << blockZero("fw.bin", "1100 14712303402 100644 0 1 1100") << blocks1100 << "fw.bin" << data
        << QList<int>{93, 100};
    QTest::newRow("size 128, one 1024 block") << blockZero("s.bin", "128") << QList<QByteArray>{data.left(1024)}
                                              << "s.bin" << data.left(128) << QList<int>{100};
    QTest::newRow("blocks beyond the size") << blockZero("s.bin", "200")
                                            << QList<QByteArray>{data.left(1024), data.left(128), data.left(128)}
                                            << "s.bin" << data.left(200) << QList<int>{100, 100, 100};
    QTest::newRow("size 0") << blockZero("e.bin", "0") << QList<QByteArray>{data.left(128)} << "e.bin"
                            << QByteArray() << QList<int>{100};
    // Without a size every byte is kept, the last block's padding too.
    QTest::newRow("size not a number") << blockZero("n.bin", "12ab") << QList<QByteArray>{data.left(128)}
                                       << "n.bin" << data.left(128) << QList<int>{0};
    QTest::newRow("no size field") << blockZero("n.bin", "") << blocks1100 << "n.bin"
                                   << blocks1100[0] + blocks1100[1] << QList<int>{0, 0};
    // A name that fills the block leaves no room for a terminator or a size.
    QTest::newRow("name fills block 0") << QByteArray(128, 'x') << QList<QByteArray>{} << QString(128, 'x')
                                        << QByteArray() << QList<int>{};
}

void tst_YmodemFileReceive::blockZeroAndSize()
{
    QFETCH(QByteArray, zero);
    QFETCH(QList<QByteArray>, blocks);
    QFETCH(QString, name);
    QFETCH(QByteArray, stored);
    QFETCH(QList<int>, progress);
    QTemporaryDir dst;
    ScriptedLink link(dst.path());
    QVERIFY(link.receiver.startReceive());

    playSender(link.peer, zero, blocks);
    QTRY_VERIFY(link.log.ended());
    QCOMPARE(link.log.finalStatus, Finish);
    QCOMPARE(QDir(dst.path()).entryList(QDir::Files), QStringList{name});
    QCOMPARE(readFile(dst.filePath(name)), stored);
    QCOMPARE(link.log.progress, progress);
    QCOMPARE(link.log.statuses.size(), blocks.size() + 2);
}

void tst_YmodemFileReceive::untrustedName_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("stored"); // empty: refused
    QTest::newRow("parent directory") << QByteArray("../evil.bin") << "evil.bin";
    QTest::newRow("absolute path") << QByteArray("/tmp/abs.bin") << "abs.bin";
    QTest::newRow("sub folders") << QByteArray("sub/dir/x.bin") << "x.bin";
    QTest::newRow("backslashes") << QByteArray("C:\\fw\\w.bin") << "w.bin";
    QTest::newRow("dot dot alone") << QByteArray("..") << QString();
    QTest::newRow("ends in a slash") << QByteArray("dir/") << QString();
    QTest::newRow("control character") << QByteArray("a\x01" "b.bin") << QString();
    QTest::newRow("escape sequence") << QByteArray("\x1b[2Jx.bin") << QString();
    QTest::newRow("empty") << QByteArray() << QString();
}

void tst_YmodemFileReceive::untrustedName()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, stored);
    QTemporaryDir base;
    QVERIFY(QDir(base.path()).mkdir("in"));
    const QString target = base.filePath("in");
    ScriptedLink link(target);
    QVERIFY(link.receiver.startReceive());

    QCOMPARE(await(link.peer, 1), QByteArray("C"));
    link.peer.send(frame(0, blockZero(name, "3")));
    if (stored.isEmpty()) {
        QCOMPARE(await(link.peer, 5), kCancel);
        QTRY_VERIFY(link.log.ended());
        QCOMPARE(link.log.statuses, QList<int>{Error});
        QVERIFY(QDir(target).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden));
    } else {
        QCOMPARE(await(link.peer, 2), QByteArray("\x06" "C"));
        link.peer.send(frame(1, "abc"));
        QCOMPARE(await(link.peer, 1), QByteArray("\x06"));
        link.receiver.stopReceive();
        QTRY_VERIFY(link.log.ended());
        QCOMPARE(QDir(target).entryList(QDir::Files), QStringList{stored});
        QCOMPARE(readFile(QDir(target).filePath(stored)), QByteArray("abc"));
    }
    QCOMPARE(QDir(base.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"in"});
    QVERIFY(!QFile::exists("/tmp/abs.bin"));
}

void tst_YmodemFileReceive::emptyPathMeansWorkingDirectory()
{
    QTemporaryDir work;
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(work.path()));
    {
        ScriptedLink link{QString("")};
        QVERIFY(link.receiver.startReceive());
        playSender(link.peer, blockZero("here.bin", "3"), {"xyz"});
        QTRY_VERIFY(link.log.ended());
        QCOMPARE(link.log.finalStatus, Finish);
    }
    QDir::setCurrent(before);
    QCOMPARE(readFile(QDir(work.path()).filePath("here.bin")), QByteArray("xyz"));
    QVERIFY(!QFile::exists("/here.bin"));
}

void tst_YmodemFileReceive::existingEntry_data()
{
    QTest::addColumn<QString>("entry"); // what stands in the target folder under the received name
    QTest::newRow("file: overwritten") << "file";
    QTest::newRow("link to a file outside: refused") << "link";
    QTest::newRow("dangling link: refused") << "dangling";
}

void tst_YmodemFileReceive::existingEntry()
{
    QFETCH(QString, entry);
    QTemporaryDir dst, outside;
    const QString target = dst.filePath("fw.bin"), victim = outside.filePath("victim.bin");
    QVERIFY(writeFile(entry == "file" ? target : victim, "old"));
    if (entry != "file")
        QVERIFY(QFile::link(entry == "link" ? victim : outside.filePath("none.bin"), target));
    ScriptedLink link(dst.path());
    QVERIFY(link.receiver.startReceive());

    if (entry == "file") {
        playSender(link.peer, blockZero("fw.bin", "4"), {"new!"});
        QTRY_VERIFY(link.log.ended());
        QCOMPARE(readFile(target), QByteArray("new!"));
        return;
    }
    QCOMPARE(await(link.peer, 1), QByteArray("C"));
    link.peer.send(frame(0, blockZero("fw.bin", "4")));
    QCOMPARE(await(link.peer, 5), kCancel);
    QTRY_COMPARE(link.log.statuses, QList<int>{Error});
    QVERIFY(QFileInfo(target).isSymLink());
    QCOMPARE(readFile(victim), QByteArray("old"));
    QCOMPARE(QDir(outside.path()).entryList(QDir::Files), QStringList{"victim.bin"});
}

void tst_YmodemFileReceive::endsShortOfAnnouncedSize()
{
    // A batch that ends early (line noise can do this) is not a success,
    // and what arrived stays on disk.
    QTemporaryDir dst;
    const QByteArray data = randomBytes(1024, 9);
    ScriptedLink link(dst.path());
    QVERIFY(link.receiver.startReceive());
    playSender(link.peer, blockZero("fw.bin", "3000"), {data});
    QTRY_VERIFY(link.log.ended());
    QCOMPARE(link.log.finalStatus, Error);
    QCOMPARE(link.log.progress, QList<int>{34});
    QCOMPARE(readFile(dst.filePath("fw.bin")), data);
}

void tst_YmodemFileReceive::diskRefusesWrite()
{
    if (!QFileInfo("/dev/full").isWritable())
        QSKIP("needs a writable /dev/full");
    ScriptedLink link("/dev");
    QVERIFY(link.receiver.startReceive());
    QCOMPARE(await(link.peer, 1), QByteArray("C"));
    link.peer.send(frame(0, blockZero("full", "1024")));
    QCOMPARE(await(link.peer, 2), QByteArray("\x06" "C"));
    link.peer.send(frame(1, randomBytes(1024, 4)));
    QCOMPARE(await(link.peer, 5), kCancel);
    QTRY_VERIFY(link.log.ended());
    QCOMPARE(link.log.finalStatus, Error);
    QVERIFY(link.log.progress.isEmpty());
}

void tst_YmodemFileReceive::cancel()
{
    QTemporaryDir src, dst;
    const QByteArray data = randomBytes(300 * 1024, 8);
    QVERIFY(writeFile(src.filePath("big.bin"), data));
    WorkerPair pair;
    QVERIFY(pair.start(src.filePath("big.bin"), dst.path()));
    WorkerLog &got = pair.got;

    QTRY_VERIFY_WITH_TIMEOUT(!got.progress.isEmpty() && got.progress.last() >= 5, 20000);
    pair.receiver.stopReceive();
    got.restartClock();
    const QByteArray partial = readFile(dst.filePath("big.bin"));
    QVERIFY(!partial.isEmpty());
    QCOMPARE(partial, data.left(partial.size()));

    QTRY_VERIFY(got.ended());
    QCOMPARE(got.finalStatus, Abort);
    QVERIFY2(got.finalAfterMs >= 90, qPrintable(QString::number(got.finalAfterMs)));
    QVERIFY(got.portClosedAtFinal);
    // The cancel sequence is the last thing a stopped receiver sends.
    QVERIFY(pair.line.sentBy(1).endsWith(kCancel));
    QTRY_VERIFY(pair.sent.ended());
    QCOMPARE(pair.sent.finalStatus, Abort);
    QCOMPARE(readFile(dst.filePath("big.bin")), partial);
}

void tst_YmodemFileReceive::senderSilent_data()
{
    QTest::addColumn<bool>("afterBlockZero");
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<QByteArray>("sent"); // after the first 'C'
    QTest::newRow("never starts") << false << QList<int>{Timeout} << "CC" + kCancel;
    QTest::newRow("falls silent after block 0") << true << QList<int>{Establish, Error}
                                                << "\x06" "C" "\x15\x15" + kCancel;
}

void tst_YmodemFileReceive::senderSilent()
{
    QFETCH(bool, afterBlockZero);
    QFETCH(QList<int>, statuses);
    QFETCH(QByteArray, sent);
    QTemporaryDir dst;
    ScriptedLink link(dst.path());
    link.receiver.setTimeDivide(4);
    link.receiver.setTimeMax(2);
    QVERIFY(link.receiver.startReceive());
    QCOMPARE(await(link.peer, 1), QByteArray("C"));
    if (afterBlockZero)
        link.peer.send(frame(0, blockZero("fw.bin", "5000")));
    QTRY_VERIFY(link.log.ended());
    QCOMPARE(link.log.statuses, statuses);
    QVERIFY(link.log.portClosedAtFinal);
    QCOMPARE(link.peer.take(), sent);
    QCOMPARE(QFile::exists(dst.filePath("fw.bin")), afterBlockZero);
}

void tst_YmodemFileReceive::portWillNotOpen()
{
    YmodemFileReceive receiver;
    WorkerLog got(&receiver, "/dev/null");
    receiver.setPortName("/dev/qivo-no-such-port");
    QVERIFY(!receiver.startReceive());
    QCOMPARE(receiver.getReceiveProgress(), 0);
    QCOMPARE(int(receiver.getReceiveStatus()), Establish);
    QTest::qWait(150); // long enough for either timer to have fired
    QVERIFY(got.statuses.isEmpty());
}

void tst_YmodemFileReceive::portVanishes()
{
    // With the usual limits silence would take 30 s to end the transfer.
    QTemporaryDir dst;
    ScriptedLink link(dst.path());
    QVERIFY(link.receiver.startReceive());
    QCOMPARE(await(link.peer, 1), QByteArray("C"));
    link.peer.send(frame(0, blockZero("fw.bin", "5000")));
    QCOMPARE(await(link.peer, 2), QByteArray("\x06" "C"));
    link.line.cut(0);
    QTRY_VERIFY_WITH_TIMEOUT(link.log.ended(), 3000);
    QCOMPARE(link.log.statuses, (QList<int>{Establish, Error}));
}

void tst_YmodemFileReceive::noisyLine()
{
    // Both workers over a line that corrupts about one byte in 10,000 and
    // loses a few: the receiver must end with the whole file or a failure.
    int exact = 0, failed = 0, senderFinishedOverBadFile = 0;
    const int runs = 24;
    for (int run = 0; run < runs; ++run) {
        QTemporaryDir src, dst;
        const QByteArray data = randomBytes(24 * 1024 + run * 37, quint32(run));
        QVERIFY(writeFile(src.filePath("fw.bin"), data));
        TestLine::Options noise;
        noise.flipRate = 1.0 / 10000;
        noise.dropRate = 1.0 / 40000;
        noise.seed = quint32(1000 + run);
        WorkerPair pair(noise);
        for (Ymodem *engine : {static_cast<Ymodem *>(&pair.sender), static_cast<Ymodem *>(&pair.receiver)}) {
            engine->setTimeDivide(29);
            engine->setTimeMax(2);
        }
        QVERIFY(pair.start(src.filePath("fw.bin"), dst.path()));
        QTRY_VERIFY_WITH_TIMEOUT(pair.ended(), 60000);
        const WorkerLog &sent = pair.sent, &got = pair.got;

        const bool intact = readFile(dst.filePath("fw.bin")) == data;
        if (got.finalStatus == Finish)
            QVERIFY2(intact, qPrintable(QString("run %1 finished over a bad file").arg(run)));
        exact += got.finalStatus == Finish;
        failed += got.finalStatus != Finish;
        senderFinishedOverBadFile += sent.finalStatus == Finish && !(got.finalStatus == Finish && intact);
    }
    qInfo("%d noisy transfers: %d byte-exact, %d ended in a failure status", runs, exact, failed);
    qInfo("sender reported success over a bad file: %d", senderFinishedOverBadFile);
}

QTEST_GUILESS_MAIN(tst_YmodemFileReceive)
#include "tst_ymodemfilereceive.moc"
