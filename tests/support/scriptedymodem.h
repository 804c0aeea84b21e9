#ifndef SCRIPTEDYMODEM_H
#define SCRIPTEDYMODEM_H

// A Ymodem whose peer is a byte queue the test fills, and whose owner is a
// file held in memory. Records every read request, write and final status.
// Plain C++ so that the random-stream driver can use it without Qt.

#include "ymodem.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Table-driven CRC-16/XMODEM, kept apart from the engine's bitwise one so a
// fault in either shows up as a mismatch.
inline uint16_t referenceCrc16(const uint8_t *data, size_t len)
{
    static uint16_t table[256];
    static bool ready = false;
    if (!ready) {
        for (unsigned i = 0; i < 256; ++i) {
            uint16_t v = static_cast<uint16_t>(i << 8);
            for (int b = 0; b < 8; ++b)
                v = static_cast<uint16_t>((v & 0x8000) ? (v << 1) ^ 0x1021 : (v << 1));
            table[i] = v;
        }
        ready = true;
    }
    uint16_t crc = 0;
    for (size_t i = 0; i < len; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

// A well-formed frame: SOH for a payload of up to 128 bytes, STX otherwise.
inline Bytes makeFrame(uint8_t number, Bytes payload)
{
    const size_t size = payload.size() <= 128 ? 128 : 1024;
    payload.resize(size, 0x00);
    Bytes f;
    f.push_back(size == 128 ? 0x01 : 0x02);
    f.push_back(number);
    f.push_back(static_cast<uint8_t>(0xFF - number));
    f.insert(f.end(), payload.begin(), payload.end());
    const uint16_t crc = referenceCrc16(payload.data(), payload.size());
    f.push_back(static_cast<uint8_t>(crc >> 8));
    f.push_back(static_cast<uint8_t>(crc & 0xFF));
    return f;
}

inline Bytes blockZeroPayload(const std::string &name, size_t size)
{
    Bytes p(name.begin(), name.end());
    p.push_back(0x00);
    const std::string digits = std::to_string(size);
    p.insert(p.end(), digits.begin(), digits.end());
    p.resize(128, 0x00);
    return p;
}

inline Bytes closingBlock() { return makeFrame(0, Bytes(128, 0x00)); }

// The padded payloads a sender sends for data, 1024-byte blocks while more
// than 128 bytes remain, then one 128-byte block.
inline std::vector<Bytes> dataBlocks(const Bytes &data)
{
    std::vector<Bytes> blocks;
    for (size_t off = 0; off < data.size();) {
        const size_t rest = data.size() - off;
        const size_t size = rest > 128 ? 1024 : 128;
        const size_t n = rest < size ? rest : size;
        Bytes b(data.begin() + off, data.begin() + off + n);
        b.resize(size, 0x00);
        blocks.push_back(b);
        off += n;
    }
    return blocks;
}

class ScriptedYmodem : public Ymodem
{
public:
    enum class Kind { Write, Payload, Final };
    struct Event
    {
        Kind kind;
        Status status;
        Bytes bytes;
    };

    ScriptedYmodem(unsigned int timeDivide = 499, unsigned int timeMax = 5, unsigned int errorMax = 999)
        : Ymodem(timeDivide, timeMax, errorMax) {}

    using Ymodem::blockNumber;
    using Ymodem::crc16;
    using Ymodem::errorCount;
    using Ymodem::packetState;
    using Ymodem::receiveLength;
    using Ymodem::receivePacket;
    using Ymodem::stage;
    using Ymodem::timeCount;

    // Peer side.
    std::deque<uint8_t> input;
    unsigned int readChunk = UINT_MAX; // most bytes one read hands over
    std::function<unsigned int()> chunk; // when set, asked before each read instead
    std::function<void(const Bytes &)> sink; // when set, gets every write
    void feed(const Bytes &b) { input.insert(input.end(), b.begin(), b.end()); }
    void feed(uint8_t b) { input.push_back(b); }

    // Owner side: the file to send, or what was received.
    std::string fileName = "image.bin";
    Bytes fileData;
    size_t fileOffset = 0;
    Bytes receivedBlockZero;
    std::vector<Bytes> delivered;
    std::vector<unsigned int> deliveredLengths;

    // Knobs: refuse payload call number refuseAt (0 = block 0) with
    // refuseWith; report lengthOverride instead of the real length.
    int refuseAt = -1;
    Code refuseWith = CodeCan;
    unsigned int lengthOverride = 0;

    // Records.
    std::vector<unsigned int> readRequests;
    std::vector<Bytes> writes;
    std::vector<Status> finals;
    std::vector<Event> events;
    int payloadCalls = 0;

    Bytes lastWrite() const { return writes.empty() ? Bytes() : writes.back(); }
    size_t writesSince(size_t mark) const { return writes.size() - mark; }

    // Treat the engine as a sender of fileData unless told otherwise.
    bool sending = true;

protected:
    Code callback(Status status, unsigned char *buff, unsigned int *len) override
    {
        if (status != StatusEstablish && status != StatusTransmit) {
            finals.push_back(status);
            events.push_back({Kind::Final, status, {}});
            return CodeAck;
        }
        events.push_back({Kind::Payload, status, {}});
        const int call = payloadCalls++;
        if (call == refuseAt)
            return refuseWith;
        return sending ? supply(status, buff, len) : take(status, buff, *len);
    }

    uint32_t read(unsigned char *buff, unsigned int len) override
    {
        readRequests.push_back(len);
        const unsigned int most = chunk ? chunk() : readChunk;
        unsigned int n = 0;
        while (n < len && n < most && !input.empty()) {
            buff[n++] = input.front();
            input.pop_front();
        }
        return n;
    }

    uint32_t write(unsigned char *buff, unsigned int len) override
    {
        writes.emplace_back(buff, buff + len);
        events.push_back({Kind::Write, StatusEstablish, writes.back()});
        if (sink)
            sink(writes.back());
        return len;
    }

private:
    Code supply(Status status, unsigned char *buff, unsigned int *len)
    {
        if (status == StatusEstablish) {
            const Bytes p = blockZeroPayload(fileName, fileData.size());
            std::memcpy(buff, p.data(), p.size());
            *len = lengthOverride ? lengthOverride : 128;
            return CodeAck;
        }
        if (fileOffset >= fileData.size())
            return CodeEot;
        const size_t rest = fileData.size() - fileOffset;
        const unsigned int size = rest > 128 ? 1024 : 128;
        const size_t n = rest < size ? rest : size;
        std::memcpy(buff, fileData.data() + fileOffset, n);
        fileOffset += n;
        *len = lengthOverride ? lengthOverride : size;
        return CodeAck;
    }

    Code take(Status status, unsigned char *buff, unsigned int len)
    {
        if (status == StatusEstablish)
            receivedBlockZero.assign(buff, buff + 128);
        else {
            delivered.emplace_back(buff, buff + len);
            deliveredLengths.push_back(len);
        }
        return CodeAck;
    }
};

#endif // SCRIPTEDYMODEM_H
