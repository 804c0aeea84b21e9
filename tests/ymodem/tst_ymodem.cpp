// The engine against a scripted peer, one driver call per table step.

#include "scriptedymodem.h"

#include <QtTest>

namespace {

using Stage = Ymodem::Stage;
using Status = Ymodem::Status;
const Stage None = Ymodem::StageNone, Establishing = Ymodem::StageEstablishing,
            Established = Ymodem::StageEstablished, Transmitting = Ymodem::StageTransmitting,
            Finishing = Ymodem::StageFinishing, Finished = Ymodem::StageFinished;
const Status NoOutcome = Ymodem::StatusEstablish;

// The file's length (a receiver is fed dataBlocks(size)), the limits, and
// the owner's refusal as in ScriptedYmodem.
struct Setup { bool sending = true; size_t size = 1100; unsigned int timeDivide = 499, timeMax = 5, errorMax = 999;
               int refuseAt = -1; Ymodem::Code refuseWith = Ymodem::CodeCan; unsigned int lengthOverride = 0; };

// One driver call: the bytes the peer sends before it, the stage after it and
// everything the engine writes during it. errorMax >= 0 sets that limit first;
// abort makes the call the owner's abort() instead.
struct Step { Bytes in; Stage after; Bytes out; int errorMax = -1; bool abort = false; };
using Steps = std::vector<Step>;

const Bytes kC{0x43}, kAck{0x06}, kNak{0x15}, kEot{0x04}, kAckC{0x06, 0x43}, kCancel(5, 0x18);

Bytes hex(const QByteArray &text) { const QByteArray raw = QByteArray::fromHex(text); return Bytes(raw.begin(), raw.end()); }

Bytes pattern(size_t size)
{
    Bytes b(size);
    uint32_t seed = 1;
    for (auto &v : b)
        v = uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
    return b;
}

Bytes cat(Bytes a, const Bytes &b) { a.insert(a.end(), b.begin(), b.end()); return a; }

// The blocks a sender cuts each file size used here into (1024 bytes while
// more than 128 remain, then 128): the bytes of the file each carries, and
// the 0x00 bytes that fill it up.
struct Block { size_t data, padding; };
std::vector<Block> layout(size_t size)
{
    if (size == 0)
        return {};
    if (size == 100)
        return {{100, 28}};
    if (size == 1100)
        return {{1024, 0}, {76, 52}};
    if (size != 299 * 1024 + 128)
        qFatal("no blocks written out for %zu bytes", size);
    std::vector<Block> blocks(299, {1024, 0}); // the numbers wrap; exactly 128 bytes are left
    blocks.push_back({128, 0});
    return blocks;
}

// The payloads of those blocks for the file pattern(size).
std::vector<Bytes> dataBlocks(size_t size)
{
    const Bytes file = pattern(size);
    std::vector<Bytes> blocks;
    size_t offset = 0;
    for (const Block &b : layout(size)) {
        blocks.push_back(cat(Bytes(file.begin() + offset, file.begin() + offset + b.data), Bytes(b.padding, 0x00)));
        offset += b.data;
    }
    return blocks;
}

QByteArray show(const Bytes &b) { return QByteArray(reinterpret_cast<const char *>(b.data()), int(b.size())).toHex(' '); }

// Against a receiver that ACKs the first EOT, or NAKs it first.
Steps sendAll(size_t size, bool nakFirst = true)
{
    const std::vector<Bytes> blocks = dataBlocks(size);
    Steps s{{{}, Establishing, {}},
            {kC, Established, makeFrame(0, blockZeroPayload("fw.bin", size))},
            {kAck, Established, {}}}; // block 1, or the EOT, waits for the 'C'
    for (size_t i = 0; i < blocks.size(); ++i)
        s.push_back({i ? kAck : kC, Transmitting, makeFrame(uint8_t(i + 1), blocks[i])});
    s.push_back({blocks.empty() ? kC : kAck, Finishing, kEot});
    if (nakFirst)
        s.push_back({kNak, Finishing, kEot});
    s.insert(s.end(), {{kAck, Finishing, {}}, {kC, Finished, closingBlock()}, {kAck, None, {}}});
    return s;
}

Steps receiveAll(size_t size)
{
    Steps s{{{}, Establishing, kC}, {makeFrame(0, blockZeroPayload("fw.bin", size)), Established, kAckC}};
    const std::vector<Bytes> blocks = dataBlocks(size);
    for (size_t i = 0; i < blocks.size(); ++i)
        s.push_back({makeFrame(uint8_t(i + 1), blocks[i]), Transmitting, kAck});
    s.insert(s.end(), {{kEot, Finishing, kNak}, {kEot, Finished, kAckC}, {closingBlock(), None, kAck}});
    return s;
}

// A 1100-byte transfer up to the first arrival in the stage. The sender's
// leaves out the ACK of the second EOT, so that it holds no idle call.
Steps upTo(bool sending, Stage stage)
{
    Steps s = sending ? sendAll(1100) : receiveAll(1100);
    if (sending)
        s.erase(s.begin() + 7);
    s.erase(std::find_if(s.begin(), s.end(), [&](const Step &step) { return step.after == stage; }) + 1, s.end());
    return s;
}

// Idle limits and what they make of silence: the periodic write on every
// `every`-th call, the cancel on call `cancelAt`.
struct Idle { unsigned int timeDivide, timeMax, every, cancelAt; };
const Idle kIdle0x3{0, 3, 1, 4}, // a write on calls 1 to 3, the cancel on the 4th
           kIdle4x0{4, 0, 5, 5}, // the cancel on the 5th, before any periodic write
           kIdle2x2{2, 2, 3, 9}, // writes on calls 3 and 6, the cancel on the 9th
           kIdle1x2{1, 2, 2, 6}; // writes on calls 2 and 4, the cancel on the 6th

// Silence, or bytes the stage ignores, under those limits.
void addIdle(bool sending, Stage stage, const Idle &idle, const Bytes &ignored = {})
{
    Steps s = upTo(sending, stage);
    const bool first = stage == Establishing;
    const Bytes periodic = sending ? (first ? Bytes() : s.back().out) : first ? kC : kNak;
    for (unsigned int call = 1; call < idle.cancelAt; ++call)
        s.push_back({ignored, stage, call % idle.every ? Bytes() : periodic});
    s.push_back({ignored, None, kCancel});
    QTest::addRow("idle: %s stage %d, timeDivide %u, timeMax %u, ignoring %s", sending ? "send" : "recv", stage,
                  idle.timeDivide, idle.timeMax, show(ignored).constData())
        << Setup{sending, 1100, idle.timeDivide, idle.timeMax} << s << (first ? Ymodem::StatusTimeout : Ymodem::StatusError);
}

// errorMax bad inputs answered with the retry (empty: the last write again),
// then the cancel on one more; `expected` more come first that the protocol
// asks for and that are not counted. A receiver's request for a frame (NAK,
// 'C') waits for the line to be quiet. Each is followed by silence for the
// rest of a period: acting on it restarts the idle count, so no periodic
// write comes.
void addErrors(bool sending, Stage stage, const Bytes &bad, Bytes retry, const char *what, int expected = 0)
{
    for (int errorMax : {0, 3}) {
        Steps s = upTo(sending, stage);
        if (retry.empty())
            retry = s.back().out;
        const bool quiet = !sending && (retry == kNak || retry == kC);
        for (int e = -expected; e < errorMax; ++e)
            s.insert(s.end(), {{bad, stage, quiet ? Bytes() : retry, e == -expected ? errorMax : -1},
                               {{}, stage, quiet ? retry : Bytes()}, {{}, stage, {}}});
        s.push_back({bad, None, kCancel, errorMax || expected ? -1 : 0});
        QTest::addRow("errors: %s stage %d, %s, errorMax %d", sending ? "send" : "recv", stage, what, errorMax)
            << Setup{sending, 1100, 2} << s << Ymodem::StatusError;
    }
}

} // namespace

Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(Steps)
Q_DECLARE_METATYPE(Ymodem::Status)

class tst_Ymodem : public QObject
{
    Q_OBJECT

private slots:
    // The test's own CRC, which frames what the scripted peer sends and
    // expects, and the engine's, against known-good values: the catalogue's
    // check value for CRC-16/XMODEM and others from Python's binascii.crc_hqx.
    void crc_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("crc");
        QTest::newRow("check value") << QByteArray("123456789") << 0x31C3;
        QTest::newRow("empty") << QByteArray() << 0x0000;
        QTest::newRow("one byte") << QByteArray("A") << 0x58E5;
        QTest::newRow("high bits set") << QByteArray("\xff\xff") << 0x1D0F;
    }

    void crc()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, crc);
        QCOMPARE(int(crcXmodem(reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()))), crc);
        QCOMPARE(int(ScriptedYmodem::crc16(reinterpret_cast<unsigned char *>(data.data()), unsigned(data.size()))), crc);
    }

    void exchange_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<Status>("final");

        // Known-good: SOH 00 FF "fw.bin" 00 "1100" 00..., CRC 25 94.
        const Bytes block0 = hex("0100ff66772e62696e0031313030" + QByteArray(117 * 2, '0') + "2594");
        const Bytes closing = closingBlock();
        const std::vector<Bytes> data = dataBlocks(1100);
        const Bytes stxZero = makeFrame(0, Bytes(1024, 0x00));
        // Block 2 damaged: its header byte (0x01 to 0x41, so that block number 02 follows an abort byte), or its
        // length (SOH for STX: the 896 bytes left, an EOT and 'A's, must not be read as EOT or cancel).
        Bytes garbled = makeFrame(2, data[1]), cut = makeFrame(2, Bytes(1024, 'A'));
        garbled[0] = 'A';
        cut[0] = 0x01;
        cut[3 + 130] = 0x04;

        QTest::newRow("send 1100 bytes") << Setup{} << Steps{
            {{}, Establishing, {}}, {kC, Established, block0}, {kC, Established, block0}, // an early 'C': again
            {kAck, Established, {}},
            {kAckC, Established, {}}, // a repeated ACK of block 0, read alone, is idle
            {{}, Transmitting, makeFrame(1, data[0])},
            {{0x02}, Transmitting, {}}, // a flipped ACK: one stray byte, not a frame
            {kAck, Transmitting, makeFrame(2, data[1])}, {kAck, Finishing, kEot}, {kNak, Finishing, kEot},
            {kAck, Finishing, {}}, {kC, Finished, closing}, {kAck, None, {}}} << Ymodem::StatusFinish;
        // A boot loader's banner before its first 'C' is text, its 'a's too.
        const QByteArray banner = "QIVO boot loader 2.1, waiting for file\r\n";
        Steps afterBanner = sendAll(1100);
        afterBanner.insert(afterBanner.begin() + 1, size_t(banner.size()), {{}, Establishing, {}});
        afterBanner[1].in = Bytes(banner.begin(), banner.end());
        QTest::newRow("send after a banner") << Setup{} << afterBanner << Ymodem::StatusFinish;
        QTest::newRow("receive 1100 bytes") << Setup{false} << Steps{
            {{}, Establishing, kC}, {stxZero, Establishing, {}}, // block 0 is never STX: an idle call
            {block0, Established, kAckC}, {stxZero, Established, {}}, {{}, Established, kNak}, // NAKed once quiet
            {makeFrame(1, data[0]), Transmitting, kAck}, {garbled, Transmitting, {}}, {{}, Transmitting, {}},
            {{}, Transmitting, {}}, {{}, Transmitting, kNak}, {cut, Transmitting, {}}, {{}, Transmitting, {}},
            {{}, Transmitting, kNak}, {makeFrame(2, data[1]), Transmitting, kAck},
            {kEot, Finishing, kNak}, {kEot, Finished, kAckC}, {closing, None, kAck}} << Ymodem::StatusFinish;

        // Frames that arrive in parts, each part with the first byte of what follows: assembled whole, the rest
        // left for the next call; block 1 comes twice.
        const Bytes f1 = makeFrame(1, data[0]), f2 = cat(makeFrame(2, data[1]), kEot);
        const auto part = [](const Bytes &b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); };
        QTest::newRow("receive frames in parts") << Setup{false} << Steps{
            {{}, Establishing, kC}, {part(block0, 0, 51), Establishing, {}}, {part(block0, 51, 91), Establishing, {}},
            {cat(part(block0, 91, 133), {f1[0]}), Established, kAckC}, {part(f1, 1, 600), Established, {}},
            {cat(part(f1, 600, 1029), {f1[0]}), Transmitting, kAck}, {part(f1, 1, 500), Transmitting, {}},
            {cat(part(f1, 500, 1029), {f2[0]}), Transmitting, kAck}, {part(f2, 1, f2.size()), Transmitting, kAck},
            {{}, Finishing, kNak}, {kEot, Finished, kAckC}, {closing, None, kAck}} << Ymodem::StatusFinish;

        // Empty files, and 300 blocks whose numbers wrap, the last exactly 128 bytes.
        for (size_t size : {size_t(0), size_t(299 * 1024 + 128)}) {
            QTest::addRow("send %zu, EOT ACKed", size) << Setup{true, size} << sendAll(size, false) << Ymodem::StatusFinish;
            QTest::addRow("send %zu, EOT NAKed", size) << Setup{true, size} << sendAll(size) << Ymodem::StatusFinish;
            QTest::addRow("receive %zu", size) << Setup{false, size} << receiveAll(size) << Ymodem::StatusFinish;
        }

        // The 'C' after block 0 is lost: block 1 goes out on the periodic resend,
        // and the ACK after it acknowledges it. Neither the 'C' for block 1 nor
        // the first NAK of the EOT is an error.
        const Steps s = sendAll(100);
        QTest::newRow("send, 'C' after block 0 lost") << Setup{true, 100, 1, 5, 0} << Steps{
            s[0], s[1], s[2], {{}, Established, {}}, {{}, Established, s[3].out}, {kAck, Finishing, kEot},
            s[5], s[6], s[7], s[8]} << Ymodem::StatusFinish;
        QTest::newRow("send, errorMax 0") << Setup{true, 1100, 499, 5, 0} << sendAll(1100) << Ymodem::StatusFinish;
        // An empty file's EOT is built on the ACK of block 0; more ACKs ask for nothing.
        const Steps empty = sendAll(0);
        Steps acks(empty.begin(), empty.begin() + 3);
        for (unsigned int call = 1; call < kIdle1x2.cancelAt; ++call)
            acks.push_back({kAck, Established, call % kIdle1x2.every ? Bytes() : kEot});
        acks.push_back({kAck, None, kCancel});
        QTest::newRow("idle: send stage 2, empty file, ACKs for ever")
            << Setup{true, 0, kIdle1x2.timeDivide, kIdle1x2.timeMax} << acks << Ymodem::StatusError;
        QTest::newRow("largest timeDivide: the period is never zero")
            << Setup{true, 1100, 0xFFFFFFFFu, 0, 0} << Steps(10, {{}, Establishing, {}}) << NoOutcome;

        for (bool sending : {true, false}) {
            for (int st = Establishing; st <= int(Finished); ++st) {
                // One abort byte is a stray byte, which a receiver answers once the line is quiet; two in a row
                // cancel, though before the first 'C' letters are a boot loader's text.
                for (uint8_t byte : {uint8_t(0x18), uint8_t('A'), uint8_t('a')}) {
                    const bool text = sending && st == Establishing && byte != 0x18;
                    const Bytes ask = sending ? Bytes() : st == Establishing ? kC : kNak;
                    Steps steps = upTo(sending, Stage(st));
                    steps.insert(steps.end(), {{{byte}, Stage(st), {}}, {{}, Stage(st), ask}, {{byte, byte}, Stage(st), {}},
                                               {{}, text ? Stage(st) : None, {}}});
                    QTest::addRow("%s stage %d, the peer sends %02x, then two", sending ? "send" : "recv", st, byte)
                        << Setup{sending} << steps << (text ? NoOutcome : Ymodem::StatusAbort);
                }
                for (const Idle &idle : {kIdle0x3, kIdle4x0, kIdle2x2})
                    addIdle(sending, Stage(st), idle);
            }
            Steps steps = upTo(sending, Transmitting);
            steps.push_back({{}, None, kCancel, -1, true});
            QTest::addRow("%s, the owner aborts", sending ? "send" : "recv") << Setup{sending} << steps << NoOutcome;
        }
        addIdle(true, Establishing, kIdle0x3, kNak); // CRC mode only
        addIdle(true, Transmitting, kIdle1x2, {0x00});
        addIdle(true, Finishing, kIdle0x3, kAck);
        addIdle(false, Finishing, kIdle0x3, makeFrame(3, pattern(128)));
        addIdle(false, Finished, kIdle1x2, stxZero);
        addIdle(false, Transmitting, kIdle1x2, {0x55, 0x04, 0x41}); // noise: dropped, never quiet

        Bytes badCrc = makeFrame(1, data[0]), badComplement = makeFrame(2, data[1]), badZero = closing;
        badCrc[500] ^= 0x01;
        badComplement[2] = 0x00;
        badZero[131] = 0x12;
        for (Stage stage : {Established, Transmitting, Finished})
            addErrors(true, stage, kNak, {}, "NAK");
        addErrors(true, Finished, kC, {}, "C");
        addErrors(true, Established, kC, {}, "C for block 0");
        addErrors(true, Finishing, kNak, kEot, "NAK after the first", 1);
        addErrors(true, Transmitting, kC, {}, "C for block 1");
        addErrors(false, Establishing, makeFrame(1, pattern(128)), kC, "block 1");
        addErrors(false, Establishing, badZero, kC, "bad CRC");
        addErrors(false, Established, block0, kAckC, "block 0 again");
        addErrors(false, Established, badCrc, kNak, "bad CRC");
        addErrors(false, Established, makeFrame(2, data[1]), kNak, "block 2");
        addErrors(false, Transmitting, makeFrame(1, data[0]), kAck, "block 1 again");
        addErrors(false, Transmitting, badComplement, kNak, "bad complement");
        addErrors(false, Finished, badZero, kNak, "bad block 0");
        addErrors(false, Finished, kEot, kAckC, "EOT again");

        // The owner refuses a payload, or reports a length that does not fit; step
        // is the step of the whole exchange that asks for the payload.
        const struct { bool sending; int at; Ymodem::Code with; unsigned int length; size_t step; } refusals[] = {
            {true, 0, Ymodem::CodeCan, 0, 1}, {true, 0, Ymodem::CodeEot, 0, 1}, {true, 1, Ymodem::CodeNak, 0, 2},
            {true, 2, Ymodem::CodeNone, 0, 4}, {true, -1, Ymodem::CodeAck, 1025, 1},
            {true, -1, Ymodem::CodeAck, 0xFFFFFFF0u, 1}, {false, 0, Ymodem::CodeCan, 0, 1},
            {false, 1, Ymodem::CodeEot, 0, 2}, {false, 2, Ymodem::CodeNak, 0, 3}};
        for (const auto &r : refusals) {
            Steps steps = r.sending ? sendAll(1100) : receiveAll(1100);
            steps.resize(r.step + 1);
            steps.back() = {steps.back().in, None, kCancel};
            QTest::addRow("%s refuses payload %d with %02x, length %u", r.sending ? "send" : "recv", r.at, r.with, r.length)
                << Setup{r.sending, 1100, 499, 5, 999, r.at, r.with, r.length} << steps << NoOutcome;
        }
    }

    void exchange()
    {
        QFETCH(Setup, setup);
        QFETCH(Steps, steps);
        QFETCH(Status, final);
        ScriptedYmodem y(setup.timeDivide, setup.timeMax, setup.errorMax);
        y.sending = setup.sending;
        y.fileData = pattern(setup.size);
        y.refuseAt = setup.refuseAt;
        y.refuseWith = setup.refuseWith;
        y.lengthOverride = setup.lengthOverride;

        for (size_t i = 0; i < steps.size(); ++i) {
            if (steps[i].errorMax >= 0)
                y.setErrorMax(unsigned(steps[i].errorMax));
            const size_t mark = y.writes.size();
            y.feed(steps[i].in);
            if (steps[i].abort)
                y.abort();
            else
                setup.sending ? y.transmit() : y.receive();
            Bytes out;
            for (size_t w = mark; w < y.writes.size(); ++w)
                out = cat(out, y.writes[w]);
            const QByteArray where = "step " + QByteArray::number(int(i));
            QVERIFY2(y.stage == steps[i].after, (where + ": stage " + QByteArray::number(y.stage)).constData());
            QVERIFY2(out == steps[i].out, (where + ": wrote " + show(out) + "\n expected " + show(steps[i].out)).constData());
            QVERIFY2(y.finals.size() == size_t(i + 1 == steps.size() && final != NoOutcome), where.constData());
        }
        QCOMPARE(y.finals, final == NoOutcome ? std::vector<Status>() : std::vector<Status>{final});
        QCOMPARE(y.writesAtFinal, final == NoOutcome ? 0 : y.writes.size()); // the outcome comes after the last write
        if (setup.sending) { // replies are read one byte at a time
            QCOMPARE(y.readRequests, std::vector<unsigned int>(y.readRequests.size(), 1));
        } else { // every block delivered is the next block of data, delivered once
            std::vector<Bytes> blocks = dataBlocks(setup.size);
            if (final != Ymodem::StatusFinish)
                blocks.resize(std::min(blocks.size(), y.delivered.size()));
            QCOMPARE(y.delivered, blocks);
            if (!y.receivedBlockZero.empty())
                QCOMPARE(y.receivedBlockZero, blockZeroPayload("fw.bin", setup.size));
        }
    }
};

QTEST_APPLESS_MAIN(tst_Ymodem)
#include "tst_ymodem.moc"
