#include "ymodem.h"

namespace {

void fill(unsigned char *buff, unsigned int len, unsigned char value)
{
    for (unsigned int i = 0; i < len; ++i)
        buff[i] = value;
}

unsigned int payloadLength(Ymodem::Code header)
{
    return header == Ymodem::CodeStx ? 1024 : 128;
}

} // namespace

Ymodem::Ymodem(unsigned int timeDivide, unsigned int timeMax, unsigned int errorMax)
    : timeDivide(timeDivide), timeMax(timeMax), errorMax(errorMax),
      timeCount(0), errorCount(0), blockNumber(0),
      packetState(CodeNone), stage(StageNone),
      receiveLength(0), transmitLength(0), firstBlockSent(false),
      abortSeen(false), dropping(false), eotNaked(false)
{
}

void Ymodem::setTimeDivide(unsigned int timeDivide) { this->timeDivide = timeDivide; }
uint32_t Ymodem::getTimeDivide() { return timeDivide; }

void Ymodem::setTimeMax(unsigned int timeMax) { this->timeMax = timeMax; }
uint32_t Ymodem::getTimeMax() { return timeMax; }

void Ymodem::setErrorMax(unsigned int errorMax) { this->errorMax = errorMax; }
uint32_t Ymodem::getErrorMax() { return errorMax; }

void Ymodem::transmit()
{
    static constexpr StageHandlers handlers = {
        &Ymodem::transmitStageNone,         &Ymodem::transmitStageEstablishing,
        &Ymodem::transmitStageEstablished,  &Ymodem::transmitStageTransmitting,
        &Ymodem::transmitStageFinishing,    &Ymodem::transmitStageFinished};
    runStage(handlers);
}

void Ymodem::receive()
{
    static constexpr StageHandlers handlers = {
        &Ymodem::receiveStageNone,          &Ymodem::receiveStageEstablishing,
        &Ymodem::receiveStageEstablished,   &Ymodem::receiveStageTransmitting,
        &Ymodem::receiveStageFinishing,     &Ymodem::receiveStageFinished};
    runStage(handlers);
}

// The handler of the current stage; any value past the last acts as the last.
void Ymodem::runStage(const StageHandlers &handlers)
{
    const StageHandler handler = handlers[stage < StageFinished ? stage : StageFinished];
    (this->*handler)();
}

void Ymodem::abort()
{
    refuse();
}

// Reads at most one frame per call and asks only for the bytes still missing,
// so whatever follows a frame stays in the stream for the next call.
//
// A byte that starts neither a frame nor an EOT is most likely a frame header
// damaged on the line, so what follows it is dropped unread until a call finds
// the line quiet (CodeQuiet): the rest of that frame must not be taken for
// EOTs and cancels. An abort byte waits for the next byte instead, which makes
// it a cancel or, like any other, a stray byte.
Ymodem::Code Ymodem::receivePacket()
{
    if (dropping) {
        if (read(receiveBuffer, FrameSizeStx) != 0)
            return CodeNone;
        dropping = false;
        return CodeQuiet;
    }

    if (packetState == CodeNone) {
        const bool afterAbortByte = abortSeen;
        if (read(receiveBuffer, 1) == 0) {
            abortSeen = false;
            return afterAbortByte ? CodeQuiet : CodeNone;
        }

        const Code header = static_cast<Code>(receiveBuffer[0]);
        if (secondAbortByte(isAbort(header)))
            return CodePeerCancel;
        if (abortSeen)
            return CodeNone;
        if (afterAbortByte || (header != CodeSoh && header != CodeStx && header != CodeEot)) {
            dropping = true;
            return CodeNone;
        }
        if (header == CodeEot)
            return header;

        const uint32_t missing = (header == CodeSoh ? FrameSizeSoh : FrameSizeStx) - 1;
        const uint32_t got = read(receiveBuffer + 1, missing);
        if (got >= missing)
            return header;

        packetState = header;
        receiveLength = got + 1;
        return CodeNone;
    }

    if (packetState == CodeSoh || packetState == CodeStx) {
        const uint32_t total = packetState == CodeSoh ? FrameSizeSoh : FrameSizeStx;
        const uint32_t missing = total - receiveLength;
        const uint32_t got = read(receiveBuffer + receiveLength, missing);
        if (got >= missing) {
            const Code header = packetState;
            packetState = CodeNone;
            return header;
        }
        receiveLength += got;
        return CodeNone;
    }

    packetState = CodeNone;
    return CodeNone;
}

// A receiver never sends frames, so the sending side takes its replies one
// control byte at a time. A stray SOH or STX (noise at port open, a flipped
// ACK) is then one unexpected byte, not the start of a frame that would
// swallow the replies behind it. Before the first 'C' a boot loader may still
// be printing its banner, so only CANs count as abort bytes there.
Ymodem::Code Ymodem::receiveControl()
{
    if (read(receiveBuffer, 1) == 0) {
        abortSeen = false;
        return CodeNone;
    }
    const Code code = static_cast<Code>(receiveBuffer[0]);
    const bool abortByte = stage == StageEstablishing ? code == CodeCan : isAbort(code);
    return secondAbortByte(abortByte) ? CodePeerCancel : code;
}

// CRC-16/XMODEM, bit by bit: poly 0x1021, init 0, no reflection, no final XOR.
uint16_t Ymodem::crc16(unsigned char *buff, unsigned int len)
{
    uint16_t crc = 0;
    for (unsigned int i = 0; i < len; ++i) {
        crc ^= static_cast<uint16_t>(buff[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

/* ---------------------------------------------------------------- helpers */

void Ymodem::clearCounters()
{
    timeCount = 0;
    errorCount = 0;
}

void Ymodem::enterStage(Stage next, uint8_t number)
{
    clearCounters();
    eotNaked = false;
    blockNumber = number;
    packetState = CodeNone;
    stage = next;
}

void Ymodem::reset()
{
    enterStage(StageNone, 0);
    firstBlockSent = false;
    abortSeen = false;
    dropping = false;
}

void Ymodem::writeCancel()
{
    fill(transmitBuffer, 5, CodeCan);
    transmitLength = 5;
    write(transmitBuffer, transmitLength);
}

// The cancel bytes go out before the status is reported.
void Ymodem::giveUp(Status status)
{
    refuse();
    callback(status, nullptr, nullptr);
}

void Ymodem::peerAbort()
{
    reset();
    callback(StatusAbort, nullptr, nullptr);
}

void Ymodem::refuse()
{
    reset();
    writeCancel();
}

void Ymodem::writeControl(Code first)
{
    transmitBuffer[0] = static_cast<unsigned char>(first);
    transmitLength = 1;
    write(transmitBuffer, transmitLength);
}

void Ymodem::writeControl(Code first, Code second)
{
    transmitBuffer[0] = static_cast<unsigned char>(first);
    transmitBuffer[1] = static_cast<unsigned char>(second);
    transmitLength = 2;
    write(transmitBuffer, transmitLength);
}

void Ymodem::resend()
{
    write(transmitBuffer, transmitLength);
    // Only read in StageEstablished while block 1 is built; building it clears it.
    firstBlockSent = true;
}

// The period is computed in 64 bits so that no setting can make it zero.
Ymodem::IdleResult Ymodem::idle(Status onLimit)
{
    timeCount += 1;
    const uint64_t period = static_cast<uint64_t>(timeDivide) + 1;

    if (timeCount / period > timeMax) {
        giveUp(onLimit);
        return IdleGaveUp;
    }
    return timeCount % period == 0 ? IdlePeriodic : IdleWaiting;
}

// True when the handler should retry, false when the limit ended the transfer.
// Every caller acts on something the peer sent, so the silence is over: a
// periodic write counted from before it would cross the retry it asked for.
bool Ymodem::error()
{
    timeCount = 0;
    errorCount += 1;
    if (errorCount > errorMax) {
        giveUp(StatusError);
        return false;
    }
    return true;
}

bool Ymodem::isAbort(Code code)
{
    return code == CodeCan || code == CodeAbortUpper || code == CodeAbortLower;
}

// A peer cancels with two abort bytes in a row (the common ones send five);
// one alone is as likely a flipped 'C' or ACK. A call that finds the line
// quiet ends the row.
bool Ymodem::secondAbortByte(bool abortByte)
{
    const bool second = abortByte && abortSeen;
    abortSeen = abortByte;
    return second;
}

bool Ymodem::frameGood(Code header, uint8_t number)
{
    const unsigned int len = payloadLength(header);
    const uint16_t sent = static_cast<uint16_t>((receiveBuffer[3 + len] << 8) | receiveBuffer[4 + len]);
    return receiveBuffer[1] == number
        && receiveBuffer[2] == static_cast<uint8_t>(0xFF - number)
        && crc16(receiveBuffer + 3, len) == sent;
}

Ymodem::Code Ymodem::deliver(Status status, Code header)
{
    unsigned int len = payloadLength(header);
    return callback(status, receiveBuffer + 3, &len);
}

/* --------------------------------------------------------------- sending */

// Frames a payload in transmitBuffer: for block 0 (StatusEstablish) and data
// blocks (StatusTransmit) the owner's, for the closing block 0 (StatusFinish)
// an empty one, for which the owner is not asked. Returns CodeAck when the
// frame is ready, otherwise the owner's answer. A length that would not fit
// the buffer is answered as a refusal (CodeCan).
Ymodem::Code Ymodem::buildFrame(Status status, uint8_t number)
{
    const bool blockZero = status != StatusTransmit;
    fill(transmitBuffer + 3, blockZero ? PayloadSizeSoh : PayloadSizeStx, 0x00);

    if (status == StatusFinish) {
        transmitLength = PayloadSizeSoh;
    } else {
        const Code result = callback(status, transmitBuffer + 3, &transmitLength);
        if (result != CodeAck)
            return result;
        if (transmitLength > PayloadSizeStx)
            return CodeCan;
    }

    const uint16_t crc = crc16(transmitBuffer + 3, transmitLength);
    transmitBuffer[0] = (blockZero || transmitLength <= PayloadSizeSoh) ? CodeSoh : CodeStx;
    transmitBuffer[1] = number;
    transmitBuffer[2] = static_cast<unsigned char>(0xFF - number);
    transmitBuffer[3 + transmitLength] = static_cast<unsigned char>(crc >> 8);
    transmitBuffer[4 + transmitLength] = static_cast<unsigned char>(crc & 0xFF);
    transmitLength += 5;
    return CodeAck;
}

void Ymodem::buildEot()
{
    transmitBuffer[0] = CodeEot;
    transmitLength = 1;
}

// The receiver acknowledged the last data block: send the next one or the EOT.
void Ymodem::sendNextBlockOrEot()
{
    const uint8_t next = static_cast<uint8_t>(blockNumber + 1);
    const Code result = buildFrame(StatusTransmit, next);

    if (result == CodeAck) {
        enterStage(StageTransmitting, next);
    } else if (result == CodeEot) {
        enterStage(StageFinishing, 0);
        buildEot();
    } else {
        refuse();
        return;
    }
    write(transmitBuffer, transmitLength);
}

void Ymodem::transmitStageNone()
{
    enterStage(StageEstablishing, 0);
}

void Ymodem::transmitStageEstablishing()
{
    const Code code = receiveControl();

    if (code == CodeC) {
        if (buildFrame(StatusEstablish, 0) != CodeAck) {
            refuse();
            return;
        }
        enterStage(StageEstablished, 0);
        write(transmitBuffer, transmitLength);
    } else if (code == CodePeerCancel) {
        peerAbort();
    } else {
        idle(StatusTimeout);
    }
}

void Ymodem::transmitStageEstablished()
{
    const Code code = receiveControl();

    if (code == CodeAck && blockNumber == 0) {
        // ACK of block 0: build block 1, which goes out on the receiver's 'C'.
        const Code result = buildFrame(StatusTransmit, 1);
        if (result == CodeAck) {
            enterStage(StageEstablished, 1);
            firstBlockSent = false;
        } else if (result == CodeEot) {
            // No data: the EOT waits for the 'C' too. Sent before it, a
            // receiver that has not asked yet takes it for a bad block header.
            enterStage(StageEstablished, 2);
            buildEot();
        } else {
            refuse();
        }
    } else if (code == CodeAck && blockNumber == 1 && firstBlockSent) {
        // Block 1 has been on the line, so this ACK acknowledges it.
        sendNextBlockOrEot();
    } else if (code == CodeNak) {
        if (error())
            resend();
    } else if (code == CodeC && blockNumber == 0) {
        // Block 0 asked for again: counted, so that a receiver that never
        // takes it ends at the error limit.
        if (error())
            resend();
    } else if (code == CodeC) {
        // The receiver took block 0 and asks for what is built, block 1 or
        // the EOT (number 2): the next step of every transfer, so no error.
        enterStage(blockNumber == 1 ? StageTransmitting : StageFinishing, blockNumber);
        resend();
    } else if (code == CodePeerCancel) {
        peerAbort();
    } else if (idle(StatusError) == IdlePeriodic) {
        // Also a repeated ACK of block 0: nothing new is asked for.
        resend();
    }
}

void Ymodem::transmitStageTransmitting()
{
    const Code code = receiveControl();

    // A receiver that has not yet taken block 1 asks for it again with 'C',
    // as it asked for it first: that is a NAK here.
    const bool again = code == CodeNak || (code == CodeC && blockNumber == 1);
    if (code == CodeAck) {
        sendNextBlockOrEot();
    } else if (again) {
        if (error())
            resend();
    } else if (code == CodePeerCancel) {
        peerAbort();
    } else if (idle(StatusError) == IdlePeriodic) {
        resend();
    }
}

void Ymodem::transmitStageFinishing()
{
    const Code code = receiveControl();

    if (code == CodeC) {
        buildFrame(StatusFinish, 0);
        enterStage(StageFinished, 0);
        write(transmitBuffer, transmitLength);
    } else if (code == CodeNak) {
        // The first NAK is the receiver's usual answer to an EOT. Later ones
        // are retries, counted so that one NAKing every EOT ends at the error
        // limit, which leaves plenty for a receiver that lost a frame start
        // and needs several EOTs to catch up.
        if (!eotNaked) {
            eotNaked = true;
            clearCounters();
            resend();
        } else if (error()) {
            resend();
        }
    } else if (code == CodePeerCancel) {
        peerAbort();
    } else if (idle(StatusError) == IdlePeriodic) {
        resend();
    }
}

void Ymodem::transmitStageFinished()
{
    const Code code = receiveControl();

    if (code == CodeAck) {
        reset();
        callback(StatusFinish, nullptr, nullptr);
    } else if (code == CodeNak || code == CodeC) {
        if (error())
            resend();
    } else if (code == CodePeerCancel) {
        peerAbort();
    } else if (idle(StatusError) == IdlePeriodic) {
        resend();
    }
}

/* ------------------------------------------------------------- receiving */

void Ymodem::receiveStageNone()
{
    enterStage(StageEstablishing, 0);
    writeControl(CodeC);
}

void Ymodem::receiveStageEstablishing()
{
    const Code code = receivePacket();

    if (code == CodeSoh) {
        if (frameGood(CodeSoh, 0)) {
            if (deliver(StatusEstablish, CodeSoh) != CodeAck) {
                refuse();
                return;
            }
            enterStage(StageEstablished, 0);
            writeControl(CodeAck, CodeC);
        } else {
            rejectFrame();
        }
    } else if (code == CodePeerCancel) {
        peerAbort();
    } else {
        receiveIdle(code, StatusTimeout, CodeC);
    }
}

void Ymodem::receiveStageEstablished()
{
    const Code code = receivePacket();

    if (code == CodeSoh && frameGood(CodeSoh, 0)) {
        if (error())
            writeControl(CodeAck, CodeC);
    } else if ((code == CodeSoh || code == CodeStx) && frameGood(code, 1)) {
        acceptDataBlock(code, 1);
    } else {
        receiveOtherThanNextBlock(code);
    }
}

void Ymodem::receiveStageTransmitting()
{
    const Code code = receivePacket();
    const bool frame = code == CodeSoh || code == CodeStx;
    const uint8_t next = static_cast<uint8_t>(blockNumber + 1);

    if (frame && frameGood(code, blockNumber)) {
        // Already delivered: acknowledge again, never deliver twice.
        if (error())
            writeControl(CodeAck);
    } else if (frame && frameGood(code, next)) {
        acceptDataBlock(code, next);
    } else {
        receiveOtherThanNextBlock(code);
    }
}

// Hands a new data block to the owner; the counters restart whatever it says.
void Ymodem::acceptDataBlock(Code header, uint8_t number)
{
    const Code result = deliver(StatusTransmit, header);
    clearCounters();
    if (result != CodeAck) {
        refuse();
        return;
    }
    enterStage(StageTransmitting, number);
    writeControl(CodeAck);
}

// A frame that is neither the next one nor a repeat. The rest of it may still
// be arriving, and would be read as control bytes, so the request for it
// waits until the line is quiet.
void Ymodem::rejectFrame()
{
    if (error())
        dropping = true;
}

// Nothing the stage acts on: the stage's request goes out each period, and
// once the line is quiet after stray bytes. Neither restarts the idle count,
// so endless noise still ends at its limit.
void Ymodem::receiveIdle(Code code, Status onLimit, Code ask)
{
    const IdleResult result = idle(onLimit);
    if (result == IdlePeriodic || (result == IdleWaiting && code == CodeQuiet))
        writeControl(ask);
}

// While data blocks are expected: a bad frame, the first EOT, a cancel or
// nothing.
void Ymodem::receiveOtherThanNextBlock(Code code)
{
    if (code == CodeSoh || code == CodeStx) {
        rejectFrame();
    } else if (code == CodeEot) {
        enterStage(StageFinishing, 0);
        writeControl(CodeNak);
    } else if (code == CodePeerCancel) {
        peerAbort();
    } else {
        receiveIdle(code, StatusError, CodeNak);
    }
}

void Ymodem::receiveStageFinishing()
{
    const Code code = receivePacket();

    if (code == CodeEot) {
        enterStage(StageFinished, 0);
        writeControl(CodeAck, CodeC);
    } else if (code == CodePeerCancel) {
        peerAbort();
    } else {
        receiveIdle(code, StatusError, CodeNak);
    }
}

void Ymodem::receiveStageFinished()
{
    const Code code = receivePacket();

    if (code == CodeSoh) {
        if (frameGood(CodeSoh, 0)) {
            reset();
            writeControl(CodeAck);
            callback(StatusFinish, nullptr, nullptr);
        } else {
            rejectFrame();
        }
    } else if (code == CodeEot) {
        if (error())
            writeControl(CodeAck, CodeC);
    } else if (code == CodePeerCancel) {
        peerAbort();
    } else {
        receiveIdle(code, StatusError, CodeNak);
    }
}
