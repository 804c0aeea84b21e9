// The receiver on a pty: from lrzsz's sb byte-exact, and against a sender the
// test plays byte by byte, with hostile block 0s, full disks and endings.

#include "peers.h"

#include <csignal>
#include <sys/resource.h>

namespace {

// Block 0 as raw bytes: name, 0x00, size field, 0x00 (when it fits).
QByteArray blockZero(const QByteArray &name, const QByteArray &sizeField)
{
    return (name + '\0' + sizeField + '\0').leftJustified(128, '\0', true);
}

// What a sender offers and what is left: `existing` stands as fw.bin in the
// target folder first ("cwd": no folder given; "leftovers": the parts an
// older receiver left of fw.bin; "link later": a link to outside, planted
// once block 0 is taken); `name` is stored (empty: refused at block 0).
// `why`: what the receiver says of a failure.
struct Offer { QByteArray zero; QList<QByteArray> blocks; QString existing, name; QByteArray stored; QList<int> progress; int status;
               QString why = QString(); };

// Our receiver, storing into target, and the sender the test plays.
struct Scripted
{
    explicit Scripted(const QString &target) { receiver.setFilePath(target), receiver.setPortName(peer.path); }
    PtyPeer peer;
    YmodemFileReceive receiver;
    WorkerLog log{&receiver, peer.path, 1};

    // Starts the receiver; then block 0, if any, and its answer.
    void sendBlockZero(const QByteArray &zero, const QByteArray &answer)
    {
        QVERIFY(receiver.startReceive());
        QCOMPARE(peer.take(1), QByteArray("C"));
        if (zero.isNull())
            return;
        peer.send(frame(0, zero));
        QCOMPARE(peer.take(answer.size()), answer);
    }
    // Then the blocks, the EOT twice and the closing block, each with its answer.
    void playSender(const QByteArray &zero, const QList<QByteArray> &blocks)
    {
        sendBlockZero(zero, "\x06" "C");
        std::vector<std::pair<QByteArray, QByteArray>> exchange;
        for (int i = 0; i < blocks.size(); ++i)
            exchange.emplace_back(frame(uint8_t(i + 1), blocks[i]), "\x06");
        exchange.emplace_back("\x04", "\x15");
        exchange.emplace_back("\x04", "\x06" "C");
        exchange.emplace_back(frame(0, QByteArray(128, '\0')), "\x06"); // the closing block
        for (const auto &[sent, answer] : exchange) {
            peer.send(sent);
            QCOMPARE(peer.take(answer.size()), answer);
        }
    }
};

} // namespace

Q_DECLARE_METATYPE(Offer)

class tst_YmodemFileReceive : public QObject
{
    Q_OBJECT

private slots:
    void fromLrzsz_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("kilo");
        // The largest size runs the block number past 255 in either block size.
        for (bool kilo : {true, false})
            for (int size : {0, 1, 128, 129, 1100, kilo ? 300 * 1024 + 5 : 40 * 1024 + 5})
                QTest::addRow("%s %d bytes", kilo ? "sb -k" : "sb", size) << size << kilo;
    }

    void fromLrzsz()
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
    }

    void stores_data()
    {
        QTest::addColumn<Offer>("offer");
        const QByteArray data = randomBytes(1100, 5), abc = "abc";
        const QList<QByteArray> b1100{data.left(1024), data.mid(1024).leftJustified(128, '\0')};
        // Parts that killed receivers left are no reason to refuse the name.
        QTest::newRow("1024 then 128, beside leftover parts")
            << Offer{blockZero("fw.bin", "1100"), b1100, "leftovers", "fw.bin", data, {93, 100}, Finish};
        QTest::newRow("date and mode after the size") << Offer{blockZero("dev fw.bin", "1100 14712303402 100644 0 1 1100"),
                                                               b1100, "", "dev fw.bin", data, {93, 100}, Finish};
        QTest::newRow("size 128, one 1024 block")
            << Offer{blockZero("s.bin", "128"), {data.left(1024)}, "", "s.bin", data.left(128), {100}, Finish};
        QTest::newRow("blocks beyond the size")
            << Offer{blockZero("s.bin", "200"), {data.left(1024), abc, abc}, "", "s.bin", data.left(200), {100, 100, 100}, Finish};
        QTest::newRow("size 0") << Offer{blockZero("e.bin", "0"), {abc}, "", "e.bin", {}, {100}, Finish};
        // Without a size every byte is kept, the last block's padding too.
        QTest::newRow("size not a number")
            << Offer{blockZero("n.bin", "12ab"), {abc}, "", "n.bin", abc.leftJustified(128, '\0'), {0}, Finish};
        QTest::newRow("no size field") << Offer{blockZero("n.bin", ""), b1100, "", "n.bin", b1100[0] + b1100[1], {0, 0}, Finish};
        // A name that fills the block leaves no room for a terminator or a size.
        QTest::newRow("name fills block 0") << Offer{QByteArray(128, 'x'), {}, "", QString(128, 'x'), {}, {}, Finish};
        // Line noise can end a batch early: no success, and the file there before stays whole.
        QTest::newRow("batch ends short of the size")
            << Offer{blockZero("fw.bin", "3000"), {data.left(1024)}, "file", "fw.bin", "old", {34}, Error,
                     "the transfer ended after 1024 of 3000 bytes"};
        QTest::newRow("no folder given: the working directory")
            << Offer{blockZero("here.bin", "3"), {abc}, "cwd", "here.bin", abc, {100}, Finish};
        // Untrusted names: only the last component, inside the folder.
        const char *kept[][2] = {{"../evil.bin", "evil.bin"}, {"/tmp/abs.bin", "abs.bin"}, {"sub/dir/x.bin", "x.bin"},
                                 {"C:\\fw\\w.bin", "w.bin"}};
        for (auto &k : kept)
            QTest::newRow(k[0]) << Offer{blockZero(k[0], "3"), {abc}, "", k[1], abc, {100}, Finish};
        const char *refused[][2] = {{"dot dot", ".."}, {"ends in a slash", "dir/"}, {"control character", "a\x01" "b.bin"},
                                    {"escape sequence", "\x1b[2Jx.bin"}, {"empty", ""}};
        for (auto &r : refused)
            QTest::newRow(r[0]) << Offer{blockZero(r[1], "3"), {abc}, "", "", {}, {}, Error, "block 0 names no usable file"};
        QTest::newRow("existing file overwritten") << Offer{blockZero("fw.bin", "4"), {"new!"}, "file", "fw.bin", "new!", {100}, Finish};
        // A link under the received name is never followed.
        for (const char *link : {"link", "dangling"})
            QTest::newRow(link) << Offer{blockZero("fw.bin", "4"), {abc}, link, "", {}, {}, Error,
                                         "fw.bin cannot be stored in the target folder"};
        // Nor replaced when it appears mid-transfer: the file is not kept, and the link is read here.
        QTest::newRow("link after block 0") << Offer{blockZero("fw.bin", "3"), {abc}, "link later", "fw.bin", "old", {100}, Error,
                                                      "fw.bin could not be kept on disk"};
    }

    void stores()
    {
        QFETCH(Offer, offer);
        const auto &[zero, blocks, existing, name, stored, progress, status, why] = offer;
        QTemporaryDir base, outside;
        QVERIFY(QDir(base.path()).mkdir("in"));
        const QString target = base.filePath("in"), victim = outside.filePath("victim.bin"), before = QDir::currentPath();
        QVERIFY(writeFile(existing == "file" ? target + "/fw.bin" : victim, "old"));
        if (existing == "link" || existing == "dangling")
            QVERIFY(QFile::link(existing == "link" ? victim : outside.filePath("none.bin"), target + "/fw.bin"));
        QVERIFY(existing != "cwd" || QDir::setCurrent(target));
        QStringList parts;
        for (int i = 0; existing == "leftovers" && i < 100; ++i) {
            parts << QString(".fw.bin.%1.part").arg(i);
            QVERIFY(writeFile(target + "/" + parts.last(), "part"));
        }
        Scripted link(existing == "cwd" ? QString("") : target);
        QObject::connect(&link.receiver, &YmodemFileReceive::receiveStatus, [&](Ymodem::Status s) {
            if (existing == "link later" && s == Ymodem::StatusEstablish)
                QVERIFY(QFile::link(victim, target + "/fw.bin"));
        });

        if (name.isEmpty()) {
            link.sendBlockZero(zero, kCancel);
            QTRY_COMPARE(link.log.statuses, QList<int>{Error});
        } else {
            link.playSender(zero, blocks);
            link.receiver.stopReceive(); // after the last ACK: changes nothing and sends nothing
            QTRY_VERIFY(link.log.ended());
            QCOMPARE(link.peer.take(), QByteArray());
            QCOMPARE(link.log.statuses.size(), blocks.size() + 2);
            QCOMPARE(link.log.finalStatus, status);
            QCOMPARE(readFile(target + "/" + name), stored);
            QCOMPARE(link.log.progress, progress);
        }
        // What the worker says: the bytes it stored, or why it stored nothing.
        QCOMPARE(link.receiver.errorString(), why);
        if (status == Finish)
            QCOMPARE(link.receiver.storedBytes(), qint64(stored.size()));
        QDir::setCurrent(before);
        // Nothing else: no part of our own, hidden or not.
        QStringList left = QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden);
        parts << (name.isEmpty() ? (existing.isEmpty() ? QStringList() : QStringList{"fw.bin"}) : QStringList{name});
        left.sort();
        parts.sort();
        QCOMPARE(left, parts);
        QCOMPARE(readFile(victim), existing == "file" ? QByteArray("<missing>") : QByteArray("old"));
        QCOMPARE(QDir(base.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"in"});
        QVERIFY(!QFile::exists("/tmp/abs.bin") && !QFile::exists("/here.bin"));
    }

    void endsEarly_data()
    {
        QTest::addColumn<int>("blocks"); // data blocks sent; -1: not even block 0
        QTest::addColumn<QString>("then");
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<QByteArray>("tail"); // all the receiver sent after block 0's ACK and 'C'

        QTest::newRow("sender never starts") << -1 << "silence" << QList<int>{Timeout} << "CC" + kCancel;
        QTest::newRow("sender falls silent") << 0 << "silence" << QList<int>{Establish, Error} << "\x15\x15" + kCancel;
        // The cancel is the last thing a stopped receiver sends; no part of the file is left.
        QTest::newRow("stopped") << 1 << "stop" << QList<int>{Establish, Transmit, Abort} << "\x06" + kCancel;
        // The far end gone mid-transfer: every read fails at once, and the outcome must still come.
        QTest::newRow("port vanishes") << 1 << "cut" << QList<int>{Establish, Transmit, Error} << QByteArray();
        QTest::newRow("disk refuses the write") << 1 << "disk full" << QList<int>{Establish, Error} << kCancel;
        QTest::newRow("port will not open") << -1 << "no port" << QList<int>{} << QByteArray();
    }

    void endsEarly()
    {
        QFETCH(int, blocks);
        QFETCH(QString, then);
        QFETCH(QList<int>, statuses);
        QFETCH(QByteArray, tail);
        QTemporaryDir dst;
        Scripted link(dst.path());
        if (then == "no port") {
            link.receiver.setPortName("/dev/qivo-no-such-port");
            QVERIFY(!link.receiver.startReceive());
            QTest::qWait(150); // long enough for either timer to have fired
            QCOMPARE(link.log.statuses, statuses);
            return;
        }
        // Silence ends sooner than its usual 30 s; a vanished port must not wait for it.
        if (then == "silence" || then == "disk full") {
            link.receiver.setTimeDivide(4);
            link.receiver.setTimeMax(2);
        }
        const QByteArray data = randomBytes(1024, 4);
        link.sendBlockZero(blocks < 0 ? QByteArray() : blockZero("fw.bin", "5000"), "\x06" "C");
        // A file may grow no further than 512 bytes, as on a full disk.
        rlimit before{}, full{512, 512};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &before) == 0);
        if (then == "disk full") {
            std::signal(SIGXFSZ, SIG_IGN);
            QVERIFY(::setrlimit(RLIMIT_FSIZE, &full) == 0);
        }
        for (int i = 1; i <= blocks; ++i)
            link.peer.send(frame(uint8_t(i), data));
        const auto inFolder = [&dst] { return QDir(dst.path()).entryList(QDir::Files | QDir::Hidden | QDir::System); };
        if (then == "stop" || then == "cut") {
            QTRY_VERIFY(!link.log.progress.isEmpty());
            // Mid-transfer the file has no name yet, so a receiver killed now would leave nothing.
            QCOMPARE(inFolder(), QStringList());
            then == "cut" ? link.peer.cut() : link.receiver.stopReceive();
            link.log.clock.start();
        }
        QTRY_VERIFY_WITH_TIMEOUT(link.log.ended(), 3000);
        ::setrlimit(RLIMIT_FSIZE, &before);
        QCOMPARE(link.log.statuses, statuses);
        QCOMPARE(inFolder(), QStringList());
        if (then == "cut")
            return;
        QTest::qWait(50); // a stopped receiver would have stepped again by now
        QCOMPARE(link.peer.take(), tail);
        QVERIFY(link.log.portClosedAtFinal);
        if (then == "stop") {
            QVERIFY2(link.log.finalAfterMs >= 90, qPrintable(QString::number(link.log.finalAfterMs)));
        }
    }
};

QTEST_GUILESS_MAIN(tst_YmodemFileReceive)
#include "tst_ymodemfilereceive.moc"
