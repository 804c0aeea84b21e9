// Arbitrary peer bytes in arbitrary chunks into a sending and a receiving engine,
// for the sanitizers. Stops on a crash, an access outside the buffers, a callback
// length other than 128/1024, a write over 1029 bytes, a damaged frame delivered,
// an engine that goes on without progress past a bound set by its three limits,
// or an engine without one outcome after silence. The input is a small program
// of operations, so that random bytes still reach the later stages.

#include "scriptedymodem.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

unsigned long runs, calls, finals[6]; // finals: engines by outcome

[[noreturn]] void fail(const char *what, unsigned long value)
{
    std::fprintf(stderr, "fuzz_ymodem: %s (%lu)\n", what, value);
    std::abort();
}

void run(const uint8_t *data, size_t size)
{
    size_t pos = 0;
    const auto next = [&]() -> uint8_t { return pos < size ? data[pos++] : 0; };
    const unsigned int timeDivide = next() % 8, timeMax = next() % 4, errorMax = next() % 8;
    ScriptedYmodem tx(timeDivide, timeMax, errorMax), rx(timeDivide, timeMax, errorMax);
    ScriptedYmodem *const engines[] = {&tx, &rx};
    rx.sending = false;
    const uint8_t blocks = next();
    tx.fileData.assign(blocks % 8 ? size_t(blocks) * 37 : 0, 0x5A);
    const uint8_t owner = next();
    if (owner % 4 == 0) // a careless owner that reports any length
        tx.lengthOverride = (unsigned(next()) << 4 | next()) % 2100 + 1;
    if (owner % 16 == 1)
        tx.refuseAt = rx.refuseAt = next() % 4;

    // Every transfer ends: without progress (a stage reached, a block read
    // for sending or delivered) an engine gives up within the idle limit,
    // which each counted error restarts, at most errorMax + 1 times, and once
    // more for the NAK that a receiver gives the first EOT.
    const unsigned long bound = (errorMax + 2ul) * (timeMax + 1ul) * (timeDivide + 1ul);
    unsigned long stalled[2] = {0, 0};
    const auto progress = [](const ScriptedYmodem &e) { return e.fileOffset + e.delivered.size(); };
    const auto step = [&](unsigned int n) {
        for (; n > 0; --n)
            for (int i = 0; i < 2; ++i)
                if (engines[i]->finals.empty()) {
                    const auto stage = engines[i]->stage;
                    const size_t before = progress(*engines[i]);
                    i ? rx.receive() : tx.transmit();
                    ++calls;
                    const bool moved = engines[i]->stage != stage || progress(*engines[i]) != before;
                    stalled[i] = moved ? 0 : stalled[i] + 1;
                    if (stalled[i] > bound)
                        fail("calls without progress past the limits' bound, stage", engines[i]->stage);
                }
    };
    static const uint8_t controls[] = {0x43, 0x06, 0x15, 0x04, 0x18, 0x41, 0x61, 0x00, 0x01, 0x02};
    // Now and then the sender's peer is a receiver that answers every step
    // at once but gets stuck in one stage, repeating one answer for ever: the
    // peers that must still end at the limits.
    const bool stubborn = owner % 16 == 2;
    const int stuckStage = next() % 6;
    const bool stuckAlt = next() & 1;
    static const Bytes replies[] = {{0x43}, {0x43}, {0x06, 0x43}, {0x06}, {0x15, 0x43}, {0x06}};
    static const Bytes stuck[][2] = {{{0x43}, {0x43}}, {{0x15}, {0x15}}, {{0x43}, {0x06}},
                                     {{0x15}, {0x43}}, {{0x15}, {0x15}}, {{0x43}, {0x15}}};
    uint8_t sequence = 0;
    while (stubborn && pos < size) {
        next();
        const int st = std::min<int>(tx.stage, 5);
        const Bytes &bytes = st == stuckStage ? stuck[st][stuckAlt] : replies[st];
        tx.feed(bytes);
        rx.feed(bytes);
        step(unsigned(bytes.size()));
    }
    while (pos < size) {
        Bytes bytes;
        const int op = next() % 8;
        if (op == 0) { // raw bytes
            for (int n = next() % 8; n > 0; --n)
                bytes.push_back(next());
        } else if (op < 3) { // control bytes, mostly those that move a transfer on, now and then a long run
            const uint8_t run = next();
            for (int n = run % 16 ? 1 + run % 3 : 1 + next() % 64, c = next(); n > 0; --n)
                bytes.push_back(controls[c % (c & 0x80 ? sizeof controls : 4)]);
        } else if (op < 6) { // a good frame, mostly the next in sequence, possibly cut short or with one byte changed
            const bool stx = next() & 1;
            const uint8_t pick = next();
            const uint8_t number = pick % 8 == 0 ? next() : pick % 8 == 1 ? sequence : ++sequence;
            bytes = makeFrame(number, Bytes(stx ? 1024 : 128, next()));
            const uint8_t how = next() % 8;
            if (how == 1)
                bytes.resize(next() % bytes.size());
            else if (how == 2)
                bytes[(size_t(next()) << 8 | next()) % bytes.size()] ^= next() | 1;
        } else if (op == 6) { // block 0 with a name and size, or the closing one
            bytes = next() & 1 ? closingBlock() : makeFrame(0, blockZeroPayload(std::string(next() % 100, 'n'), next() * 977u));
            sequence = 0;
        } else { // how many bytes a read hands over
            const unsigned int most = next() % 5 == 0 ? UINT_MAX : next() % 140;
            tx.chunk = rx.chunk = [most] { return most; };
        }
        tx.feed(bytes);
        rx.feed(bytes);
        step(1 + next() % 4);
        if (next() % 64 == 0)
            (next() & 1 ? tx : rx).abort();
    }
    // Then silence: both must end within the idle limit.
    tx.input.clear();
    rx.input.clear();
    step((timeMax + 1) * (timeDivide + 1) + 2);
    for (int i = 0; i < 2; ++i) {
        for (const Bytes &w : engines[i]->writes)
            if (w.empty() || w.size() > 1029)
                fail("write length out of range", w.size());
        for (const Bytes &d : engines[i]->delivered) {
            if (d.size() != 128 && d.size() != 1024)
                fail("callback length neither 128 nor 1024", d.size());
            // Good frames here carry one byte value throughout; one byte off is a damaged frame let through.
            if (std::max(std::count(d.begin(), d.end(), d[0]), std::count(d.begin(), d.end(), d[1])) == long(d.size()) - 1)
                fail("a frame with one byte changed was delivered, length", d.size());
        }
        if (engines[i]->finals.size() != 1)
            fail("outcomes after silence, stage", engines[i]->stage);
        ++finals[engines[i]->finals[0]];
    }
    ++runs;
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = 60;
    uint32_t seed = 20261206;
    for (int i = 1; i + 1 < argc; i += 2) // --seconds N, --seed S
        if (std::string(argv[i]) == "--seed")
            seed = uint32_t(std::strtoul(argv[i + 1], nullptr, 10));
        else if (std::string(argv[i]) == "--seconds")
            seconds = std::atof(argv[i + 1]);
    std::mt19937 rng(seed);
    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    for (Bytes input; elapsed() < seconds;) {
        input.resize(1 + rng() % 2048);
        for (auto &b : input)
            b = uint8_t(rng());
        run(input.data(), input.size());
    }
    std::printf("fuzz_ymodem: seed %u, %lu runs, %lu driver calls in %.1f s\n", seed, runs, calls, elapsed());
    std::printf("  outcomes: finish %lu, abort %lu, timeout %lu, error %lu\n", finals[2], finals[3], finals[4], finals[5]);
    // Streams that never carry a transfer to its end would leave the later stages untried.
    if (finals[Ymodem::StatusFinish] == 0)
        fail("no engine finished a transfer, runs", runs);
    return 0;
}
