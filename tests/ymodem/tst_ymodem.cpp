#include "scriptedymodem.h"

#include <QtTest>

Q_DECLARE_METATYPE(Bytes)
Q_DECLARE_METATYPE(Ymodem::Stage)
Q_DECLARE_METATYPE(Ymodem::Status)

namespace {

const Bytes kC{0x43};
const Bytes kAck{0x06};
const Bytes kNak{0x15};
const Bytes kEot{0x04};
const Bytes kAckC{0x06, 0x43};
const Bytes kCancel(5, 0x18);

Bytes hex(const QByteArray &text)
{
    const QByteArray raw = QByteArray::fromHex(text);
    return Bytes(raw.begin(), raw.end());
}

Bytes pattern(size_t size, uint32_t seed = 1)
{
    Bytes b(size);
    for (auto &v : b) {
        seed = seed * 1103515245u + 12345u;
        v = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

QByteArray show(const Bytes &b)
{
    return QByteArray(reinterpret_cast<const char *>(b.data()), int(b.size())).toHex(' ');
}

// Compares byte sequences and prints them as hex when they differ.
#define COMPARE_BYTES(actual, expected) QCOMPARE(show(actual), show(expected))

// Feeds a sender one reply per driver call.
void answer(ScriptedYmodem &s, std::initializer_list<Bytes> replies)
{
    for (const Bytes &r : replies) {
        s.feed(r);
        s.transmit();
    }
}

void step(ScriptedYmodem &y, bool sending)
{
    if (sending)
        y.transmit();
    else
        y.receive();
}

// Brings a sender of a 2000-byte file (two data blocks) to the given stage
// through the exchange a well-behaved receiver produces.
void senderTo(ScriptedYmodem &s, Ymodem::Stage target)
{
    s.fileData = pattern(2000);
    s.transmit();
    const Bytes script[] = {kC, kAck, kC, kAck, kAck, kNak, kC};
    const Ymodem::Stage after[] = {Ymodem::StageEstablished, Ymodem::StageEstablished,
                                   Ymodem::StageTransmitting, Ymodem::StageTransmitting,
                                   Ymodem::StageFinishing, Ymodem::StageFinishing,
                                   Ymodem::StageFinished};
    for (size_t i = 0; s.stage != target && i < 7; ++i) {
        s.feed(script[i]);
        s.transmit();
        QCOMPARE(s.stage, after[i]);
    }
    QCOMPARE(s.stage, target);
}

// Brings a receiver to the given stage, with blocks 0 and 1 accepted on the way.
void receiverTo(ScriptedYmodem &r, Ymodem::Stage target)
{
    r.sending = false;
    r.receive();
    const Bytes script[] = {makeFrame(0, blockZeroPayload("a.bin", 2000)), makeFrame(1, pattern(1024)),
                            kEot, kEot};
    for (size_t i = 0; r.stage != target && i < 4; ++i) {
        r.feed(script[i]);
        r.receive();
    }
    QCOMPARE(r.stage, target);
}

} // namespace

class tst_Ymodem : public QObject
{
    Q_OBJECT

private slots:
    void crc16_data();
    void crc16();

    void frameReaderSplitFrame();
    void frameReaderWholeFrameLeavesRest();
    void frameReaderNullAndOtherBytes();
    void frameReaderCanInsidePendingFrame();

    void senderCompleteTable();
    void senderAckAndCInOneChunk();
    void senderEmptyFile_data();
    void senderEmptyFile();
    void senderBlockNumbersWrap();
    void senderAckBeforeCWithBlockOneBuilt();
    void senderAckAfterBlockOneResent();
    void senderEarlyCResendsBlockZero();
    void senderFinishingNakHasNoLimit();
    void senderOversizedLength_data();
    void senderOversizedLength();

    void receiverCompleteTable();
    void receiverEmptyFile();
    void receiverBlockNumbersWrap();
    void receiverDuplicateDeliveredOnce();
    void receiverStxBlockZero();

    void idleAccounting_data();
    void idleAccounting();
    void errorAccounting_data();
    void errorAccounting();
    void peerAbort_data();
    void peerAbort();
    void refusal_data();
    void refusal();
    void ownerAbort();
    void stageAboveFinishedActsAsFinished();
    void largestTimeDivide();
    void engineServesTransfersInARow();
};

void tst_Ymodem::crc16_data()
{
    QTest::addColumn<Bytes>("data");
    QTest::addColumn<int>("crc");
    QTest::newRow("check value") << Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'} << 0x31C3;
    QTest::newRow("empty") << Bytes{} << 0x0000;
    QTest::newRow("128 zeros") << Bytes(128, 0) << 0x0000;
    QTest::newRow("one byte A") << Bytes{'A'} << 0x58E5;
    const Bytes block = pattern(1024, 7);
    QTest::newRow("1024 bytes vs table") << block << int(referenceCrc16(block.data(), block.size()));
}

void tst_Ymodem::crc16()
{
    QFETCH(Bytes, data);
    QFETCH(int, crc);
    QCOMPARE(int(ScriptedYmodem::crc16(data.data(), unsigned(data.size()))), crc);
}

void tst_Ymodem::frameReaderSplitFrame()
{
    ScriptedYmodem y;
    const Bytes frame = makeFrame(1, pattern(128));

    y.feed(Bytes(frame.begin(), frame.begin() + 51));
    QCOMPARE(y.receivePacket(), Ymodem::CodeNone);
    QCOMPARE(y.receiveLength, 51u);
    QCOMPARE(y.packetState, Ymodem::CodeSoh);

    y.feed(Bytes(frame.begin() + 51, frame.begin() + 91));
    QCOMPARE(y.receivePacket(), Ymodem::CodeNone);
    QCOMPARE(y.receiveLength, 91u);

    y.feed(Bytes(frame.begin() + 91, frame.end()));
    y.feed(0x06); // must stay unread
    QCOMPARE(y.receivePacket(), Ymodem::CodeSoh);
    QCOMPARE(y.packetState, Ymodem::CodeNone);
    QCOMPARE(y.readRequests, (std::vector<unsigned int>{1, 132, 82, 42}));
    QCOMPARE(y.input.size(), size_t(1));
}

void tst_Ymodem::frameReaderWholeFrameLeavesRest()
{
    ScriptedYmodem y;
    y.feed(makeFrame(7, pattern(1024)));
    y.feed(Bytes{0x04, 0x18});
    QCOMPARE(y.receivePacket(), Ymodem::CodeStx);
    QCOMPARE(y.readRequests, (std::vector<unsigned int>{1, 1028}));
    QCOMPARE(y.input.size(), size_t(2));
    QCOMPARE(y.receivePacket(), Ymodem::CodeEot);
    QCOMPARE(y.receivePacket(), Ymodem::CodeCan);
    QCOMPARE(y.receivePacket(), Ymodem::CodeNone);
}

void tst_Ymodem::frameReaderNullAndOtherBytes()
{
    ScriptedYmodem y;
    QCOMPARE(y.receivePacket(), Ymodem::CodeNone);
    y.feed(Bytes{0x00, 0x7E});
    QCOMPARE(y.receivePacket(), Ymodem::CodeNone);
    QCOMPARE(int(y.receivePacket()), 0x7E);

    // A 0x00 is as good as silence for a stage: it counts as an idle call.
    ScriptedYmodem s(499, 5, 999);
    senderTo(s, Ymodem::StageTransmitting);
    s.feed(0x00);
    s.transmit();
    s.transmit();
    QCOMPARE(s.timeCount, 2u);
}

void tst_Ymodem::frameReaderCanInsidePendingFrame()
{
    ScriptedYmodem r;
    receiverTo(r, Ymodem::StageTransmitting);
    Bytes payload(128, 0x18);
    payload[0] = 'A';
    const Bytes frame = makeFrame(2, payload);
    const size_t mark = r.writes.size();

    r.feed(Bytes(frame.begin(), frame.begin() + 2));
    r.receive();
    r.feed(Bytes(frame.begin() + 2, frame.end()));
    r.receive();

    QVERIFY(r.finals.empty());
    QCOMPARE(r.stage, Ymodem::StageTransmitting);
    QCOMPARE(r.delivered.size(), size_t(2));
    COMPARE_BYTES(r.delivered.back(), payload);
    QCOMPARE(r.writesSince(mark), size_t(1));
    COMPARE_BYTES(r.lastWrite(), kAck);
}

void tst_Ymodem::senderCompleteTable()
{
    ScriptedYmodem s;
    s.fileName = "fw.bin";
    s.fileData = pattern(1100);
    const Bytes block0 = makeFrame(0, blockZeroPayload("fw.bin", 1100));

    // Known-good block 0 head: SOH 00 FF "fw.bin" 00 "1100" 00...
    COMPARE_BYTES(Bytes(block0.begin(), block0.begin() + 16),
                  hex("0100ff66772e62696e00313130300000"));

    struct Row { Bytes in; Ymodem::Stage after; std::vector<Bytes> out; };
    const std::vector<Row> table = {
        {{}, Ymodem::StageEstablishing, {}},
        {kC, Ymodem::StageEstablished, {block0}},
        {kAck, Ymodem::StageEstablished, {}},
        {kC, Ymodem::StageTransmitting, {makeFrame(1, Bytes(s.fileData.begin(), s.fileData.begin() + 1024))}},
        {{0x02}, Ymodem::StageTransmitting, {}}, // an ACK with a bit flipped: one stray byte, not a frame
        {kAck, Ymodem::StageTransmitting, {makeFrame(2, Bytes(s.fileData.begin() + 1024, s.fileData.end()))}},
        {kAck, Ymodem::StageFinishing, {kEot}},
        {kNak, Ymodem::StageFinishing, {kEot}},
        {kAck, Ymodem::StageFinishing, {}},
        {kC, Ymodem::StageFinished, {closingBlock()}},
        {kAck, Ymodem::StageNone, {}},
    };
    COMPARE_BYTES(closingBlock(), hex(QByteArray("0100ff" + QByteArray(256, '0') + "0000")));

    for (size_t i = 0; i < table.size(); ++i) {
        const size_t mark = s.writes.size();
        s.feed(table[i].in);
        s.transmit();
        QCOMPARE(s.stage, table[i].after);
        QCOMPARE(s.writesSince(mark), table[i].out.size());
        for (size_t w = 0; w < table[i].out.size(); ++w)
            COMPARE_BYTES(s.writes[mark + w], table[i].out[w]);
        QCOMPARE(s.finals.size(), size_t(i + 1 == table.size() ? 1 : 0));
    }
    QCOMPARE(s.finals.front(), Ymodem::StatusFinish);
    QCOMPARE(s.events.back().kind, ScriptedYmodem::Kind::Final);
    QCOMPARE(s.payloadCalls, 4); // block 0, two data blocks, the end of data
}

void tst_Ymodem::senderAckAndCInOneChunk()
{
    ScriptedYmodem s;
    s.fileData = pattern(300);
    s.transmit();
    answer(s, {kC, kAckC});
    QCOMPARE(s.stage, Ymodem::StageEstablished);
    QCOMPARE(s.writes.size(), size_t(1));
    s.transmit();
    QCOMPARE(s.stage, Ymodem::StageTransmitting);
    COMPARE_BYTES(s.lastWrite(), makeFrame(1, Bytes(s.fileData.begin(), s.fileData.end())));
    QCOMPARE(s.readRequests, (std::vector<unsigned int>{1, 1, 1}));
}

void tst_Ymodem::senderEmptyFile_data()
{
    QTest::addColumn<bool>("ackFirst");
    QTest::newRow("receiver ACKs the first EOT") << true;
    QTest::newRow("receiver NAKs the first EOT") << false;
}

void tst_Ymodem::senderEmptyFile()
{
    QFETCH(bool, ackFirst);
    ScriptedYmodem s;
    s.transmit();
    answer(s, {kC});
    COMPARE_BYTES(s.lastWrite(), makeFrame(0, blockZeroPayload("image.bin", 0)));

    // The ACK of block 0 finds no data: the EOT is held back until 'C'.
    answer(s, {kAck});
    QCOMPARE(s.writes.size(), size_t(1));
    QCOMPARE(s.stage, Ymodem::StageEstablished);

    answer(s, {kC});
    QCOMPARE(s.stage, Ymodem::StageFinishing);
    COMPARE_BYTES(s.lastWrite(), kEot);

    if (ackFirst) {
        answer(s, {kAck});
        QCOMPARE(s.writes.size(), size_t(2));
    } else {
        answer(s, {kNak});
        COMPARE_BYTES(s.lastWrite(), kEot);
        answer(s, {kAck});
        QCOMPARE(s.writes.size(), size_t(3));
    }
    answer(s, {kC});
    COMPARE_BYTES(s.lastWrite(), closingBlock());
    QVERIFY(s.finals.empty());
    answer(s, {kAck});
    QCOMPARE(s.finals, std::vector<Ymodem::Status>{Ymodem::StatusFinish});
}

void tst_Ymodem::senderBlockNumbersWrap()
{
    ScriptedYmodem s;
    s.fileData = pattern(300 * 1024);
    const std::vector<Bytes> blocks = dataBlocks(s.fileData);
    s.transmit();
    answer(s, {kC, kAck});
    s.feed(kC);
    for (size_t i = 0; i < blocks.size(); ++i) {
        s.transmit();
        const Bytes &w = s.lastWrite();
        QCOMPARE(w.size(), size_t(1029));
        QCOMPARE(int(w[1]), int((i + 1) % 256));
        QCOMPARE(int(w[2]), 255 - int((i + 1) % 256));
        if (i == 255) // the 256th block is a plain frame numbered 0x00
            COMPARE_BYTES(w, makeFrame(0, blocks[i]));
        s.feed(kAck);
    }
    s.transmit();
    COMPARE_BYTES(s.lastWrite(), kEot);
    QCOMPARE(s.writes.size(), size_t(1 + 300 + 1));
}

void tst_Ymodem::senderAckBeforeCWithBlockOneBuilt()
{
    // A repeated ACK of block 0 while block 1 has not been on the line is idle.
    ScriptedYmodem s;
    s.fileData = pattern(3000);
    s.transmit();
    answer(s, {kC, kAck, kAck});
    QCOMPARE(s.stage, Ymodem::StageEstablished);
    QCOMPARE(s.blockNumber, uint8_t(1));
    QCOMPARE(s.writes.size(), size_t(1));
    QCOMPARE(s.payloadCalls, 2);
    QCOMPARE(s.timeCount, 1u);

    answer(s, {kC});
    QCOMPARE(s.stage, Ymodem::StageTransmitting);
    COMPARE_BYTES(s.lastWrite(), makeFrame(1, Bytes(s.fileData.begin(), s.fileData.begin() + 1024)));
}

void tst_Ymodem::senderAckAfterBlockOneResent()
{
    // The 'C' after the ACK of block 0 was lost; the periodic resend puts
    // block 1 on the line, and the ACK that follows acknowledges it.
    ScriptedYmodem s(1, 5, 999);
    s.fileData = pattern(3000);
    s.transmit();
    answer(s, {kC, kAck});
    s.transmit();
    s.transmit(); // idle call 2: periodic resend
    const Bytes block1 = makeFrame(1, Bytes(s.fileData.begin(), s.fileData.begin() + 1024));
    COMPARE_BYTES(s.lastWrite(), block1);
    QCOMPARE(s.stage, Ymodem::StageEstablished);

    answer(s, {kAck});
    QCOMPARE(s.stage, Ymodem::StageTransmitting);
    QCOMPARE(s.blockNumber, uint8_t(2));
    COMPARE_BYTES(s.lastWrite(), makeFrame(2, Bytes(s.fileData.begin() + 1024, s.fileData.begin() + 2048)));

    // Each data block number carries one payload only.
    int block1Writes = 0;
    for (const Bytes &w : s.writes)
        block1Writes += w.size() > 2 && w[1] == 1;
    QCOMPARE(block1Writes, 1);
}

void tst_Ymodem::senderEarlyCResendsBlockZero()
{
    ScriptedYmodem s;
    s.transmit();
    answer(s, {kC});
    const Bytes block0 = s.lastWrite();
    answer(s, {kC});
    QCOMPARE(s.stage, Ymodem::StageEstablished);
    COMPARE_BYTES(s.lastWrite(), block0);
    QCOMPARE(s.writes.size(), size_t(2));
}

void tst_Ymodem::senderFinishingNakHasNoLimit()
{
    ScriptedYmodem s(499, 5, 0);
    s.fileData = pattern(100);
    s.transmit();
    answer(s, {kC, kAck});
    s.setErrorMax(999); // the 'C' that follows is counted as an error
    answer(s, {kC, kAck});
    QCOMPARE(s.stage, Ymodem::StageFinishing);
    s.setErrorMax(0);
    const size_t mark = s.writes.size();
    for (int i = 0; i < 2000; ++i) {
        answer(s, {kNak});
    }
    QCOMPARE(s.stage, Ymodem::StageFinishing);
    QCOMPARE(s.writesSince(mark), size_t(2000));
    COMPARE_BYTES(s.lastWrite(), kEot);
    QVERIFY(s.finals.empty());
}

void tst_Ymodem::senderOversizedLength_data()
{
    QTest::addColumn<unsigned int>("length");
    QTest::addColumn<bool>("sent");
    QTest::newRow("1024 fits") << 1024u << true;
    QTest::newRow("1025 refused") << 1025u << false;
    QTest::newRow("huge refused") << 0xFFFFFFF0u << false;
}

void tst_Ymodem::senderOversizedLength()
{
    QFETCH(unsigned int, length);
    QFETCH(bool, sent);
    ScriptedYmodem s;
    s.fileData = pattern(5000);
    s.transmit();
    answer(s, {kC});
    s.feed(kAck);
    s.lengthOverride = length;
    s.transmit();
    if (sent) {
        answer(s, {kC});
        QCOMPARE(s.lastWrite().size(), size_t(1029));
        QCOMPARE(s.stage, Ymodem::StageTransmitting);
    } else {
        QCOMPARE(s.writes, (std::vector<Bytes>{s.writes.front(), kCancel}));
        QCOMPARE(s.stage, Ymodem::StageNone);
        QVERIFY(s.finals.empty());
    }
}

void tst_Ymodem::receiverCompleteTable()
{
    ScriptedYmodem r;
    r.sending = false;
    const Bytes data = pattern(1100);
    const std::vector<Bytes> blocks = dataBlocks(data);
    const Bytes zero = blockZeroPayload("fw.bin", 1100);

    struct Row { Bytes in; Ymodem::Stage after; Bytes out; };
    const std::vector<Row> table = {
        {{}, Ymodem::StageEstablishing, kC},
        {makeFrame(0, zero), Ymodem::StageEstablished, kAckC},
        {makeFrame(1, blocks[0]), Ymodem::StageTransmitting, kAck},
        {makeFrame(2, blocks[1]), Ymodem::StageTransmitting, kAck},
        {kEot, Ymodem::StageFinishing, kNak},
        {kEot, Ymodem::StageFinished, kAckC},
        {closingBlock(), Ymodem::StageNone, kAck},
    };
    for (size_t i = 0; i < table.size(); ++i) {
        const size_t mark = r.writes.size();
        r.feed(table[i].in);
        r.receive();
        QCOMPARE(r.stage, table[i].after);
        QCOMPARE(r.writesSince(mark), size_t(1));
        COMPARE_BYTES(r.lastWrite(), table[i].out);
    }
    COMPARE_BYTES(r.receivedBlockZero, zero);
    QCOMPARE(r.delivered, blocks);
    QCOMPARE(r.deliveredLengths, (std::vector<unsigned int>{1024, 128}));
    QCOMPARE(r.finals, std::vector<Ymodem::Status>{Ymodem::StatusFinish});
    // The closing block is acknowledged before the outcome is reported.
    QCOMPARE(r.events.back().kind, ScriptedYmodem::Kind::Final);
    QCOMPARE(r.events[r.events.size() - 2].kind, ScriptedYmodem::Kind::Write);
}

void tst_Ymodem::receiverEmptyFile()
{
    ScriptedYmodem r;
    receiverTo(r, Ymodem::StageEstablished);
    r.feed(kEot);
    r.receive();
    QCOMPARE(r.stage, Ymodem::StageFinishing);
    COMPARE_BYTES(r.lastWrite(), kNak);
    r.feed(kEot);
    r.receive();
    COMPARE_BYTES(r.lastWrite(), kAckC);
    r.feed(closingBlock());
    r.receive();
    QCOMPARE(r.finals, std::vector<Ymodem::Status>{Ymodem::StatusFinish});
    QVERIFY(r.delivered.empty());
}

void tst_Ymodem::receiverBlockNumbersWrap()
{
    ScriptedYmodem r;
    receiverTo(r, Ymodem::StageEstablished);
    for (int i = 1; i <= 300; ++i) {
        r.feed(makeFrame(uint8_t(i % 256), pattern(1024, uint32_t(i))));
        r.receive();
        QCOMPARE(r.stage, Ymodem::StageTransmitting);
        COMPARE_BYTES(r.lastWrite(), kAck);
    }
    QCOMPARE(r.delivered.size(), size_t(300));
    COMPARE_BYTES(r.delivered[255], pattern(1024, 256));
    QCOMPARE(r.blockNumber, uint8_t(300 % 256));
}

void tst_Ymodem::receiverDuplicateDeliveredOnce()
{
    ScriptedYmodem r;
    receiverTo(r, Ymodem::StageTransmitting);
    r.feed(makeFrame(1, pattern(1024)));
    r.receive();
    COMPARE_BYTES(r.lastWrite(), kAck);
    QCOMPARE(r.delivered.size(), size_t(1));
    QCOMPARE(r.errorCount, 1u);

    // An accepted block clears the counters.
    r.feed(makeFrame(2, pattern(128, 9)));
    r.receive();
    QCOMPARE(r.delivered.size(), size_t(2));
    QCOMPARE(r.errorCount, 0u);
}

void tst_Ymodem::receiverStxBlockZero()
{
    Bytes stxZero = makeFrame(0, Bytes(1024, 0));
    ScriptedYmodem r(0, 5, 999);
    r.sending = false;
    r.receive();
    r.feed(stxZero);
    r.receive();
    QCOMPARE(r.stage, Ymodem::StageEstablishing);
    QCOMPARE(r.timeCount, 1u);
    QCOMPARE(r.errorCount, 0u);

    ScriptedYmodem e;
    receiverTo(e, Ymodem::StageEstablished);
    e.feed(stxZero);
    e.receive();
    COMPARE_BYTES(e.lastWrite(), kNak);
    QCOMPARE(e.errorCount, 1u);
}

void tst_Ymodem::idleAccounting_data()
{
    QTest::addColumn<bool>("sending");
    QTest::addColumn<Ymodem::Stage>("stage");
    QTest::addColumn<unsigned int>("timeDivide");
    QTest::addColumn<unsigned int>("timeMax");
    QTest::addColumn<Bytes>("ignored");  // fed on every call; empty: silence
    QTest::addColumn<Bytes>("periodic"); // empty: resend the last write
    QTest::addColumn<bool>("hasPeriodic");
    QTest::addColumn<Ymodem::Status>("status");

    const struct { unsigned td, tm; const char *name; } settings[] = {
        {499, 5, "default"}, {0, 3, "timeDivide 0"}, {4, 0, "timeMax 0"}};
    const Ymodem::Stage stages[] = {Ymodem::StageEstablishing, Ymodem::StageEstablished,
                                    Ymodem::StageTransmitting, Ymodem::StageFinishing,
                                    Ymodem::StageFinished};
    for (const auto &set : settings) {
        for (Ymodem::Stage st : stages) {
            const bool first = st == Ymodem::StageEstablishing;
            const Ymodem::Status status = first ? Ymodem::StatusTimeout : Ymodem::StatusError;
            QTest::addRow("send stage %d %s", int(st), set.name)
                << true << st << set.td << set.tm << Bytes() << Bytes() << !first << status;
            QTest::addRow("receive stage %d %s", int(st), set.name)
                << false << st << set.td << set.tm << Bytes() << (first ? kC : kNak) << true << status;
        }
    }
    // Bytes a stage ignores count like silence; the sender speaks CRC mode only.
    QTest::newRow("send establishing, NAK") << true << Ymodem::StageEstablishing << 0u << 3u << kNak
                                            << Bytes() << false << Ymodem::StatusTimeout;
    QTest::newRow("send transmitting, C") << true << Ymodem::StageTransmitting << 0u << 3u << kC
                                          << Bytes() << true << Ymodem::StatusError;
    QTest::newRow("send finishing, ACK") << true << Ymodem::StageFinishing << 0u << 3u << kAck
                                         << Bytes() << true << Ymodem::StatusError;
    QTest::newRow("receive finishing, frame") << false << Ymodem::StageFinishing << 0u << 3u
                                              << makeFrame(3, pattern(128)) << kNak << true
                                              << Ymodem::StatusError;
    QTest::newRow("receive finished, STX frame") << false << Ymodem::StageFinished << 1u << 2u
                                                 << makeFrame(0, Bytes(1024, 0)) << kNak << true
                                                 << Ymodem::StatusError;
}

void tst_Ymodem::idleAccounting()
{
    QFETCH(bool, sending);
    QFETCH(Ymodem::Stage, stage);
    QFETCH(unsigned int, timeDivide);
    QFETCH(unsigned int, timeMax);
    QFETCH(Bytes, ignored);
    QFETCH(Bytes, periodic);
    QFETCH(bool, hasPeriodic);
    QFETCH(Ymodem::Status, status);

    ScriptedYmodem y(timeDivide, timeMax, 999);
    if (sending)
        senderTo(y, stage);
    else
        receiverTo(y, stage);
    if (periodic.empty())
        periodic = y.lastWrite();

    const size_t mark = y.writes.size();
    const unsigned int period = timeDivide + 1;
    const unsigned int limit = (timeMax + 1) * period;
    for (unsigned int call = 1; call <= limit; ++call) {
        y.feed(ignored);
        step(y, sending);
        const size_t expected = hasPeriodic ? call / period : 0;
        if (call < limit) {
            QVERIFY2(y.finals.empty(), qPrintable(QString("gave up early at call %1").arg(call)));
            QCOMPARE(y.writesSince(mark), expected);
            if (call % period == 0 && hasPeriodic)
                COMPARE_BYTES(y.lastWrite(), periodic);
        }
    }
    QCOMPARE(y.finals, std::vector<Ymodem::Status>{status});
    QCOMPARE(y.stage, Ymodem::StageNone);
    QCOMPARE(y.writesSince(mark), size_t(hasPeriodic ? timeMax : 0) + 1);
    COMPARE_BYTES(y.lastWrite(), kCancel);
    QCOMPARE(y.events[y.events.size() - 2].kind, ScriptedYmodem::Kind::Write);
}

void tst_Ymodem::errorAccounting_data()
{
    QTest::addColumn<bool>("sending");
    QTest::addColumn<Ymodem::Stage>("stage");
    QTest::addColumn<Bytes>("bad");
    QTest::addColumn<Bytes>("retry"); // empty: resend the last write

    Bytes badCrc = makeFrame(1, pattern(1024));
    badCrc[500] ^= 0x01;
    Bytes badComplement = makeFrame(2, pattern(128));
    badComplement[2] = 0x00;
    Bytes badZero = makeFrame(0, Bytes(128, 0));
    badZero[131] = 0x12;

    QTest::newRow("send established NAK") << true << Ymodem::StageEstablished << kNak << Bytes();
    QTest::newRow("send transmitting NAK") << true << Ymodem::StageTransmitting << kNak << Bytes();
    QTest::newRow("send finished NAK") << true << Ymodem::StageFinished << kNak << Bytes();
    QTest::newRow("send finished C") << true << Ymodem::StageFinished << kC << Bytes();
    QTest::newRow("recv establishing wrong number") << false << Ymodem::StageEstablishing
                                                    << makeFrame(1, pattern(128)) << kC;
    QTest::newRow("recv establishing bad CRC") << false << Ymodem::StageEstablishing << badZero << kC;
    QTest::newRow("recv established block 0 again") << false << Ymodem::StageEstablished
                                                    << makeFrame(0, blockZeroPayload("a.bin", 2000)) << kAckC;
    QTest::newRow("recv established bad CRC") << false << Ymodem::StageEstablished << badCrc << kNak;
    QTest::newRow("recv established wrong number") << false << Ymodem::StageEstablished
                                                   << makeFrame(2, pattern(128)) << kNak;
    QTest::newRow("recv transmitting last block again") << false << Ymodem::StageTransmitting
                                                        << makeFrame(1, pattern(1024)) << kAck;
    QTest::newRow("recv transmitting bad complement") << false << Ymodem::StageTransmitting
                                                      << badComplement << kNak;
    QTest::newRow("recv finished bad block 0") << false << Ymodem::StageFinished << badZero << kNak;
    QTest::newRow("recv finished EOT again") << false << Ymodem::StageFinished << kEot << kAckC;
}

void tst_Ymodem::errorAccounting()
{
    QFETCH(bool, sending);
    QFETCH(Ymodem::Stage, stage);
    QFETCH(Bytes, bad);
    QFETCH(Bytes, retry);

    for (unsigned int errorMax : {0u, 3u}) {
        ScriptedYmodem y(499, 5, 999);
        if (sending)
            senderTo(y, stage);
        else
            receiverTo(y, stage);
        y.setErrorMax(errorMax);
        if (retry.empty())
            retry = y.lastWrite();
        const size_t delivered = y.delivered.size();

        for (unsigned int e = 1; e <= errorMax; ++e) {
            y.feed(bad);
            step(y, sending);
            QCOMPARE(y.stage, stage);
            QCOMPARE(y.errorCount, e);
            COMPARE_BYTES(y.lastWrite(), retry);
        }
        y.feed(bad);
        step(y, sending);
        QCOMPARE(y.finals, std::vector<Ymodem::Status>{Ymodem::StatusError});
        COMPARE_BYTES(y.lastWrite(), kCancel);
        QCOMPARE(y.stage, Ymodem::StageNone);
        QCOMPARE(y.delivered.size(), delivered);
    }
}

void tst_Ymodem::peerAbort_data()
{
    QTest::addColumn<bool>("sending");
    QTest::addColumn<Ymodem::Stage>("stage");
    QTest::addColumn<uint8_t>("byte");
    for (uint8_t byte : {uint8_t(0x18), uint8_t('A'), uint8_t('a')})
        for (int st = 1; st <= 5; ++st)
            for (bool sending : {true, false})
                QTest::addRow("%s stage %d byte %02x", sending ? "send" : "recv", st, byte)
                    << sending << Ymodem::Stage(st) << byte;
}

void tst_Ymodem::peerAbort()
{
    QFETCH(bool, sending);
    QFETCH(Ymodem::Stage, stage);
    QFETCH(uint8_t, byte);
    ScriptedYmodem y;
    if (sending)
        senderTo(y, stage);
    else
        receiverTo(y, stage);
    const size_t mark = y.writes.size();
    y.feed(byte);
    step(y, sending);
    QCOMPARE(y.finals, std::vector<Ymodem::Status>{Ymodem::StatusAbort});
    QCOMPARE(y.writesSince(mark), size_t(0));
    QCOMPARE(y.stage, Ymodem::StageNone);
    QCOMPARE(y.blockNumber, uint8_t(0));
}

void tst_Ymodem::refusal_data()
{
    QTest::addColumn<bool>("sending");
    QTest::addColumn<int>("refuseAt");
    QTest::addColumn<int>("answer");
    QTest::addColumn<Bytes>("script");
    const Bytes b0 = makeFrame(0, blockZeroPayload("a.bin", 3000));
    Bytes recvToBlock2 = b0;
    const Bytes b1 = makeFrame(1, pattern(1024));
    recvToBlock2.insert(recvToBlock2.end(), b1.begin(), b1.end());
    const Bytes b2 = makeFrame(2, pattern(1024, 3));
    recvToBlock2.insert(recvToBlock2.end(), b2.begin(), b2.end());

    QTest::newRow("send block 0 refused") << true << 0 << int(Ymodem::CodeCan) << kC;
    QTest::newRow("send block 0 answered EOT") << true << 0 << int(Ymodem::CodeEot) << kC;
    QTest::newRow("send block 1 refused") << true << 1 << int(Ymodem::CodeNak) << Bytes{0x43, 0x06};
    QTest::newRow("send block 2 refused") << true << 2 << int(Ymodem::CodeNone) << Bytes{0x43, 0x06, 0x43, 0x06};
    QTest::newRow("recv block 0 refused") << false << 0 << int(Ymodem::CodeCan) << b0;
    QTest::newRow("recv block 1 refused") << false << 1 << int(Ymodem::CodeEot) << recvToBlock2;
    QTest::newRow("recv block 2 refused") << false << 2 << int(Ymodem::CodeNak) << recvToBlock2;
}

void tst_Ymodem::refusal()
{
    QFETCH(bool, sending);
    QFETCH(int, refuseAt);
    QFETCH(int, answer);
    QFETCH(Bytes, script);
    ScriptedYmodem y;
    y.sending = sending;
    y.fileData = pattern(3000);
    y.refuseAt = refuseAt;
    y.refuseWith = Ymodem::Code(answer);
    y.feed(script);
    for (int i = 0; i < 10 && y.payloadCalls <= refuseAt; ++i)
        step(y, sending);
    QCOMPARE(y.payloadCalls, refuseAt + 1);
    COMPARE_BYTES(y.lastWrite(), kCancel);
    QCOMPARE(y.stage, Ymodem::StageNone);
    QVERIFY(y.finals.empty());
    QCOMPARE(y.delivered.size(), size_t(sending ? 0 : std::max(refuseAt - 1, 0)));
}

void tst_Ymodem::ownerAbort()
{
    for (bool sending : {true, false}) {
        ScriptedYmodem y;
        if (sending)
            senderTo(y, Ymodem::StageTransmitting);
        else
            receiverTo(y, Ymodem::StageTransmitting);
        const size_t mark = y.writes.size();
        const size_t events = y.events.size();
        y.abort();
        QCOMPARE(y.writesSince(mark), size_t(1));
        COMPARE_BYTES(y.lastWrite(), kCancel);
        QCOMPARE(y.events.size(), events + 1);
        QVERIFY(y.finals.empty());
        QCOMPARE(y.stage, Ymodem::StageNone);
    }
}

void tst_Ymodem::stageAboveFinishedActsAsFinished()
{
    ScriptedYmodem s;
    s.stage = Ymodem::Stage(7);
    answer(s, {kAck});
    QCOMPARE(s.finals, std::vector<Ymodem::Status>{Ymodem::StatusFinish});

    ScriptedYmodem r;
    r.sending = false;
    r.stage = Ymodem::Stage(42);
    r.feed(closingBlock());
    r.receive();
    COMPARE_BYTES(r.lastWrite(), kAck);
    QCOMPARE(r.finals, std::vector<Ymodem::Status>{Ymodem::StatusFinish});
}

void tst_Ymodem::largestTimeDivide()
{
    // The period would wrap to zero in 32 bits; it must not divide by zero.
    ScriptedYmodem s(0xFFFFFFFFu, 0, 0);
    QCOMPARE(s.getTimeDivide(), 0xFFFFFFFFu);
    s.transmit();
    for (int i = 0; i < 10; ++i)
        s.transmit();
    QCOMPARE(s.timeCount, 10u);
    QVERIFY(s.finals.empty());
    QVERIFY(s.writes.empty());
}

void tst_Ymodem::engineServesTransfersInARow()
{
    ScriptedYmodem s;
    for (int round = 0; round < 2; ++round) {
        s.fileOffset = 0;
        senderTo(s, Ymodem::StageFinished);
        answer(s, {kAck});
        QCOMPARE(s.finals.size(), size_t(round + 1));
        QCOMPARE(s.finals.back(), Ymodem::StatusFinish);
    }
}

QTEST_APPLESS_MAIN(tst_Ymodem)
#include "tst_ymodem.moc"
