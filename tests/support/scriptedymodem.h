#ifndef SCRIPTEDYMODEM_H
#define SCRIPTEDYMODEM_H

// A Ymodem whose peer is a byte queue the test fills and whose owner is a file
// held in memory; records every read request, write and outcome. Plain C++ so
// that the random-stream driver can use it without Qt.

#include "ymodem.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes blockZeroPayload(const std::string &name, size_t size)
{
    const std::string text = name + '\0' + std::to_string(size);
    Bytes p(text.begin(), text.end());
    p.resize(128, 0x00);
    return p;
}

// CRC-16/XMODEM (poly 0x1021, init 0, no reflection, no final XOR), a byte
// at a time where the engine goes bit by bit, so that neither vouches for
// the other; tst_ymodem pins it to the catalogue's check value,
// "123456789" -> 0x31C3.
inline uint16_t crcXmodem(const uint8_t *data, size_t size)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc = uint16_t(crc >> 8 | crc << 8) ^ data[i];
        crc ^= uint8_t(crc) >> 4;
        crc ^= uint16_t(crc << 12);
        crc ^= uint16_t(uint8_t(crc) << 5);
    }
    return crc;
}

class ScriptedYmodem : public Ymodem
{
public:
    ScriptedYmodem(unsigned int timeDivide = 499, unsigned int timeMax = 5, unsigned int errorMax = 999)
        : Ymodem(timeDivide, timeMax, errorMax) {}
    using Ymodem::crc16, Ymodem::stage;

    // Peer side.
    std::deque<uint8_t> input;
    std::function<unsigned int()> chunk;     // when set, the most bytes the next read hands over
    void feed(const Bytes &b) { input.insert(input.end(), b.begin(), b.end()); }

    // Owner side: the file to send, or what was received.
    bool sending = true;
    Bytes fileData, receivedBlockZero;
    size_t fileOffset = 0;
    std::vector<Bytes> delivered;
    int refuseAt = -1; // payload call answered with refuseWith; 0 is block 0
    Code refuseWith = CodeCan;
    unsigned int lengthOverride = 0; // reported instead of the real length

    std::vector<unsigned int> readRequests;
    std::vector<Bytes> writes;
    std::vector<Status> finals;
    size_t writesAtFinal = 0; // writes made before the outcome

protected:
    Code callback(Status status, unsigned char *buff, unsigned int *len) override
    {
        if (status != StatusEstablish && status != StatusTransmit) {
            finals.push_back(status);
            writesAtFinal = writes.size();
            return CodeAck;
        }
        if (payloadCalls++ == refuseAt)
            return refuseWith;
        if (!sending) {
            (status == StatusEstablish ? receivedBlockZero : delivered.emplace_back()).assign(buff, buff + *len);
            return CodeAck;
        }
        if (status == StatusEstablish) {
            const Bytes p = blockZeroPayload("fw.bin", fileData.size());
            std::memcpy(buff, p.data(), p.size());
            *len = 128;
        } else if (fileOffset < fileData.size()) {
            *len = fileData.size() - fileOffset > 128 ? 1024 : 128;
            const size_t n = std::min<size_t>(*len, fileData.size() - fileOffset);
            std::memcpy(buff, fileData.data() + fileOffset, n);
            fileOffset += n;
        } else {
            return CodeEot;
        }
        if (lengthOverride)
            *len = lengthOverride;
        return CodeAck;
    }

    uint32_t read(unsigned char *buff, unsigned int len) override
    {
        readRequests.push_back(len);
        const unsigned int most = chunk ? chunk() : UINT_MAX;
        unsigned int n = 0;
        for (; n < len && n < most && !input.empty(); input.pop_front())
            buff[n++] = input.front();
        return n;
    }

    uint32_t write(unsigned char *buff, unsigned int len) override
    {
        writes.emplace_back(buff, buff + len);
        return len;
    }

private:
    int payloadCalls = 0;
};

// A well-formed frame as a peer sends it: a payload of up to 128 bytes
// filled up with 0x00 to 128 behind SOH, a longer one to 1024 behind STX.
inline Bytes makeFrame(uint8_t number, Bytes payload)
{
    payload.resize(payload.size() <= 128 ? 128 : 1024, 0x00);
    const uint16_t crc = crcXmodem(payload.data(), payload.size());
    payload.insert(payload.begin(), {uint8_t(payload.size() == 128 ? 0x01 : 0x02), number, uint8_t(0xFF - number)});
    payload.push_back(uint8_t(crc >> 8));
    payload.push_back(uint8_t(crc & 0xFF));
    return payload;
}

// The closing block 0, known-good: SOH 00 FF, 128 zero bytes, CRC 00 00.
inline Bytes closingBlock()
{
    Bytes frame(133, 0x00);
    frame[0] = 0x01;
    frame[2] = 0xFF;
    return frame;
}

#endif // SCRIPTEDYMODEM_H
