// Feeds arbitrary peer bytes, in arbitrary chunks, to a sending and a
// receiving engine. Meant to run under AddressSanitizer and
// UndefinedBehaviorSanitizer: a crash or an access outside the buffers stops
// it, and so does a callback length other than 128/1024 or a write over 1029
// bytes. The input is a small program of operations, so that random bytes
// still reach the later stages; the same entry point serves libFuzzer.

#include "scriptedymodem.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

struct Stats
{
    unsigned long runs = 0;
    unsigned long calls = 0;
    unsigned long finals[6] = {};
    unsigned long deepest[6] = {}; // runs whose deepest stage was this one
};
Stats stats;

class Script
{
public:
    Script(const uint8_t *data, size_t size) : data(data), size(size) {}
    bool done() const { return pos >= size; }
    uint8_t next() { return pos < size ? data[pos++] : 0; }

private:
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
};

[[noreturn]] void fail(const char *what, unsigned long value)
{
    std::fprintf(stderr, "fuzz_ymodem: %s (%lu)\n", what, value);
    std::abort();
}

void check(const ScriptedYmodem &y)
{
    for (const Bytes &w : y.writes)
        if (w.empty() || w.size() > 1029)
            fail("write length out of range", w.size());
    for (unsigned int len : y.deliveredLengths)
        if (len != 128 && len != 1024)
            fail("callback length neither 128 nor 1024", len);
    if (y.finals.size() > 1)
        fail("more than one final status", y.finals.size());
}

void feedOperation(Script &s, std::vector<ScriptedYmodem *> &engines, uint8_t &sequence)
{
    static const uint8_t controls[] = {0x43, 0x06, 0x15, 0x04, 0x18, 0x41, 0x61, 0x00, 0x01, 0x02};
    Bytes bytes;
    switch (s.next() % 8) {
    case 0: // raw bytes
        for (int n = s.next() % 8; n > 0; --n)
            bytes.push_back(s.next());
        break;
    case 1: // control bytes, mostly the ones that move a transfer on
    case 2:
        for (int n = 1 + s.next() % 3, c = s.next(); n > 0; --n)
            bytes.push_back(controls[c % (c & 0x80 ? sizeof controls : 4)]);
        break;
    case 3: // a good frame, mostly the next in sequence
    case 4:
    case 5: { // ...possibly cut short or with one byte changed
        const bool longFrame = s.next() & 1;
        const uint8_t pick = s.next();
        const uint8_t number = pick % 8 == 0 ? s.next() : pick % 8 == 1 ? sequence : ++sequence;
        Bytes payload(longFrame ? 1024 : 128, s.next());
        bytes = makeFrame(number, payload);
        const uint8_t how = s.next() % 8;
        if (how == 1)
            bytes.resize(s.next() % bytes.size());
        else if (how == 2)
            bytes[(size_t(s.next()) << 8 | s.next()) % bytes.size()] ^= s.next() | 1;
        break;
    }
    case 6: // block 0 with a name and size, or the closing one
        bytes = s.next() & 1 ? closingBlock()
                             : makeFrame(0, blockZeroPayload(std::string(s.next() % 100, 'n'), s.next() * 977u));
        sequence = 0;
        break;
    default: { // change how many bytes a read hands over
        const unsigned int limit = s.next() % 5 == 0 ? 0xFFFFFFFFu : s.next() % 140;
        for (ScriptedYmodem *y : engines)
            y->readChunk = limit;
        return;
    }
    }
    for (ScriptedYmodem *y : engines)
        y->feed(bytes);
}

void step(ScriptedYmodem &y, bool sending, Ymodem::Stage &deepest)
{
    if (!y.finals.empty())
        return;
    if (sending)
        y.transmit();
    else
        y.receive();
    if (y.stage > deepest && y.stage <= Ymodem::StageFinished)
        deepest = y.stage;
    ++stats.calls;
}

void run(const uint8_t *data, size_t size)
{
    Script s(data, size);
    const unsigned int timeDivide = s.next() % 8;
    const unsigned int timeMax = s.next() % 4;
    const unsigned int errorMax = s.next() % 8;

    ScriptedYmodem tx(timeDivide, timeMax, errorMax);
    ScriptedYmodem rx(timeDivide, timeMax, errorMax);
    rx.sending = false;
    tx.fileData.assign(size_t(s.next()) * 37, 0x5A);
    const uint8_t lengths = s.next();
    if (lengths % 4 == 0) // a careless owner that reports any length
        tx.lengthOverride = (unsigned(s.next()) << 4 | s.next()) % 2100 + 1;
    if (lengths % 16 == 1)
        tx.refuseAt = s.next() % 4;

    std::vector<ScriptedYmodem *> engines{&tx, &rx};
    Ymodem::Stage deepest[2] = {Ymodem::StageNone, Ymodem::StageNone};
    uint8_t sequence = 0;
    while (!s.done()) {
        feedOperation(s, engines, sequence);
        for (int n = 1 + s.next() % 4; n > 0; --n) {
            step(tx, true, deepest[0]);
            step(rx, false, deepest[1]);
        }
        if (s.next() % 64 == 0)
            (s.next() & 1 ? tx : rx).abort();
    }
    // Then silence: both must end within the idle limit.
    tx.input.clear();
    rx.input.clear();
    const unsigned int limit = (timeMax + 1) * (timeDivide + 1) + 2;
    for (unsigned int n = 0; n < limit; ++n) {
        step(tx, true, deepest[0]);
        step(rx, false, deepest[1]);
    }
    for (const ScriptedYmodem *y : engines) {
        check(*y);
        if (y->finals.empty())
            fail("engine still running after silence, stage", y->stage);
        ++stats.finals[y->finals.front()];
    }
    ++stats.deepest[deepest[0]];
    ++stats.deepest[deepest[1]];
    ++stats.runs;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    run(data, size);
    return 0;
}

#ifndef QIVO_LIBFUZZER
int main(int argc, char **argv)
{
    double seconds = 60;
    uint32_t seed = 20261206;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (arg == "--seed")
            seed = uint32_t(std::strtoul(argv[i + 1], nullptr, 10));
    }

    std::mt19937 rng(seed);
    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    Bytes input;
    while (elapsed() < seconds) {
        input.resize(1 + rng() % 2048);
        for (auto &b : input)
            b = uint8_t(rng());
        run(input.data(), input.size());
    }

    std::printf("fuzz_ymodem: seed %u, %lu runs, %lu driver calls in %.1f s\n", seed, stats.runs, stats.calls,
                elapsed());
    static const char *const statusNames[] = {"establish", "transmit", "finish", "abort", "timeout", "error"};
    for (int i = 2; i < 6; ++i)
        std::printf("  final %-8s %lu\n", statusNames[i], stats.finals[i]);
    for (int i = 0; i < 6; ++i)
        std::printf("  deepest stage %d: %lu engine runs\n", i, stats.deepest[i]);
    return 0;
}
#endif
