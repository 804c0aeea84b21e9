// A sending and a receiving engine joined by an in-memory line that hands
// bytes over in seeded random chunks, optionally flipping bits and dropping
// bytes on the way.

#include "scriptedymodem.h"

#include <QtTest>

#include <random>

namespace {

struct Noise
{
    double flip = 0; // chance per byte that one bit flips
    double drop = 0; // chance per byte that it is lost
};

struct Outcome
{
    std::vector<Ymodem::Status> senderFinals;
    std::vector<Ymodem::Status> receiverFinals;
    unsigned long calls = 0;
    bool ended = false;
    bool prefixIntact = true; // delivered blocks are the first blocks sent, in order, each once
    bool complete = false;    // every block delivered
    bool blockZeroIntact = false;
};

Bytes randomData(size_t size, std::mt19937 &rng)
{
    Bytes d(size);
    for (auto &b : d)
        b = static_cast<uint8_t>(rng());
    return d;
}

Outcome runLink(size_t size, uint32_t seed, Noise noise, unsigned int timeDivide, unsigned int timeMax,
                unsigned int errorMax, unsigned long callBound)
{
    std::mt19937 rng(seed);
    ScriptedYmodem tx(timeDivide, timeMax, errorMax);
    ScriptedYmodem rx(timeDivide, timeMax, errorMax);
    rx.sending = false;
    tx.fileName = "link.bin";
    tx.fileData = randomData(size, rng);

    std::uniform_real_distribution<double> chance(0.0, 1.0);
    auto carry = [&](ScriptedYmodem &to) {
        return [&, target = &to](const Bytes &bytes) {
            for (uint8_t b : bytes) {
                if (chance(rng) < noise.drop)
                    continue;
                if (chance(rng) < noise.flip)
                    b ^= static_cast<uint8_t>(1u << (rng() % 8));
                target->input.push_back(b);
            }
        };
    };
    // Sometimes nothing has arrived yet, mostly some part of a frame.
    auto chunk = [&]() -> unsigned int { return rng() % 8 == 0 ? 0 : 1 + rng() % 1200; };
    tx.sink = carry(rx);
    rx.sink = carry(tx);
    tx.chunk = chunk;
    rx.chunk = chunk;

    Outcome out;
    while (out.calls < callBound && (tx.finals.empty() || rx.finals.empty())) {
        if (tx.finals.empty())
            tx.transmit();
        if (rx.finals.empty())
            rx.receive();
        ++out.calls;
    }
    out.ended = !tx.finals.empty() && !rx.finals.empty();
    out.senderFinals = tx.finals;
    out.receiverFinals = rx.finals;

    const std::vector<Bytes> blocks = dataBlocks(tx.fileData);
    out.prefixIntact = rx.delivered.size() <= blocks.size();
    for (size_t i = 0; out.prefixIntact && i < rx.delivered.size(); ++i)
        out.prefixIntact = rx.delivered[i] == blocks[i];
    out.complete = out.prefixIntact && rx.delivered.size() == blocks.size();
    out.blockZeroIntact = rx.receivedBlockZero == blockZeroPayload("link.bin", size);
    return out;
}

} // namespace

class tst_YmodemLink : public QObject
{
    Q_OBJECT

private slots:
    void cleanLine_data();
    void cleanLine();
    void noisyLine();
};

void tst_YmodemLink::cleanLine_data()
{
    QTest::addColumn<int>("size");
    for (int size : {0, 1, 127, 128, 129, 1023, 1024, 1025, 300 * 1024 + 77})
        QTest::addRow("%d bytes", size) << size;
}

void tst_YmodemLink::cleanLine()
{
    QFETCH(int, size);
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        const Outcome out = runLink(size_t(size), seed, Noise(), 499, 5, 999, 2000000);
        QVERIFY2(out.ended, qPrintable(QString("seed %1 did not end").arg(seed)));
        QCOMPARE(out.senderFinals, std::vector<Ymodem::Status>{Ymodem::StatusFinish});
        QCOMPARE(out.receiverFinals, std::vector<Ymodem::Status>{Ymodem::StatusFinish});
        QVERIFY(out.blockZeroIntact);
        QVERIFY(out.complete);
    }
}

void tst_YmodemLink::noisyLine()
{
    // Small settings keep each give-up short; the bound is far above the
    // longest run seen, so a run that reaches it is a hang.
    const unsigned long bound = 3000000;
    const Noise noises[] = {{1.0 / 10000, 1.0 / 50000}, {1.0 / 1000, 1.0 / 5000}, {1.0 / 200, 1.0 / 1000}};
    const size_t sizes[] = {0, 1, 200, 1500, 5000, 20000, 60000};

    int complete = 0, shortFinish = 0, failed = 0, senderFinishOverShort = 0, bothFinish = 0;
    unsigned long longest = 0;
    int runs = 0;
    for (const Noise &noise : noises) {
        for (size_t size : sizes) {
            for (uint32_t seed = 1; seed <= 12; ++seed, ++runs) {
                const Outcome out = runLink(size, seed * 7919 + uint32_t(size), noise, 19, 5, 10, bound);
                QVERIFY2(out.ended, qPrintable(QString("run %1 did not end").arg(runs)));
                QVERIFY2(out.prefixIntact, qPrintable(QString("run %1 delivered a bad block").arg(runs)));
                QCOMPARE(out.senderFinals.size(), size_t(1));
                QCOMPARE(out.receiverFinals.size(), size_t(1));
                longest = std::max(longest, out.calls);

                const bool rxFinish = out.receiverFinals.front() == Ymodem::StatusFinish;
                const bool txFinish = out.senderFinals.front() == Ymodem::StatusFinish;
                if (rxFinish && out.complete)
                    ++complete;
                else if (rxFinish)
                    ++shortFinish;
                else
                    ++failed;
                senderFinishOverShort += txFinish && !out.complete;
                bothFinish += txFinish && rxFinish;
            }
        }
    }
    qInfo("%d noisy runs, longest %lu driver calls", runs, longest);
    qInfo("receiver: %d complete, %d finished short (protocol limit), %d failed", complete, shortFinish, failed);
    qInfo("sender finished over an incomplete delivery: %d; both finished: %d", senderFinishOverShort, bothFinish);
    // A lost byte desynchronises the frame reader, and the data that follows
    // often holds an abort byte: noisy runs fail often, but some must get through.
    QVERIFY(complete > 0);
}

QTEST_APPLESS_MAIN(tst_YmodemLink)
#include "tst_ymodemlink.moc"
