#ifndef YMODEM_H
#define YMODEM_H

#include <stdint.h>

// One YMODEM transfer (CRC-16, 128/1024-byte blocks, batch block 0), either
// direction, as a stage machine that advances one step per driver call.
// Time is counted in driver calls; the owner supplies the byte stream and the
// payload through the three pure virtual operations. Nothing is allocated.
class Ymodem
{
public:
    enum Code : uint32_t
    {
        CodeNone       = 0x00,
        CodeSoh        = 0x01,
        CodeStx        = 0x02,
        CodeEot        = 0x04,
        CodeAck        = 0x06,
        CodeNak        = 0x15,
        CodeCan        = 0x18,
        CodeAbortUpper = 0x41,
        CodeC          = 0x43,
        CodeAbortLower = 0x61
    };

    enum Status : uint32_t
    {
        StatusEstablish = 0,
        StatusTransmit  = 1,
        StatusFinish    = 2,
        StatusAbort     = 3,
        StatusTimeout   = 4,
        StatusError     = 5
    };

    enum Stage : uint32_t
    {
        StageNone         = 0,
        StageEstablishing = 1,
        StageEstablished  = 2,
        StageTransmitting = 3,
        StageFinishing    = 4,
        StageFinished     = 5
    };

    Ymodem(unsigned int timeDivide, unsigned int timeMax, unsigned int errorMax);

    void setTimeDivide(unsigned int timeDivide);
    uint32_t getTimeDivide();

    void setTimeMax(unsigned int timeMax);
    uint32_t getTimeMax();

    void setErrorMax(unsigned int errorMax);
    uint32_t getErrorMax();

    void transmit();
    void receive();
    void abort();

    static constexpr unsigned int FrameSizeSoh = 133;
    static constexpr unsigned int FrameSizeStx = 1029;
    static constexpr unsigned int PayloadSizeSoh = 128;
    static constexpr unsigned int PayloadSizeStx = 1024;

protected:
    // Objects are destroyed through the derived class only.
    ~Ymodem() = default;

    virtual Code callback(Status status, unsigned char *buff, unsigned int *len) = 0;
    virtual uint32_t read(unsigned char *buff, unsigned int len) = 0;
    virtual uint32_t write(unsigned char *buff, unsigned int len) = 0;

    Code receivePacket();
    Code receiveControl();
    static uint16_t crc16(unsigned char *buff, unsigned int len);

    void transmitStageNone();
    void transmitStageEstablishing();
    void transmitStageEstablished();
    void transmitStageTransmitting();
    void transmitStageFinishing();
    void transmitStageFinished();

    void receiveStageNone();
    void receiveStageEstablishing();
    void receiveStageEstablished();
    void receiveStageTransmitting();
    void receiveStageFinishing();
    void receiveStageFinished();

    uint32_t timeDivide;
    uint32_t timeMax;
    uint32_t errorMax;

    uint32_t timeCount;
    uint32_t errorCount;
    uint8_t  blockNumber;
    Code     packetState;
    Stage    stage;

    unsigned char receiveBuffer[FrameSizeStx];
    unsigned char transmitBuffer[FrameSizeStx];

    uint32_t receiveLength;
    uint32_t transmitLength;

    // Sender only: data block 1 has been written at least once while waiting
    // in StageEstablished, so an ACK there acknowledges block 1, not block 0.
    bool firstBlockSent;

private:
    enum IdleResult { IdleWaiting, IdlePeriodic, IdleGaveUp };
    using StageHandler = void (Ymodem::*)();
    using StageHandlers = const StageHandler[StageFinished + 1];

    // What the readers report besides a byte or a frame; no byte has these values.
    static constexpr Code CodePeerCancel = static_cast<Code>(0x100); // two abort bytes in a row
    static constexpr Code CodeQuiet = static_cast<Code>(0x101);      // the line fell quiet after stray bytes

    // The last byte read was an abort byte: one more makes a cancel.
    bool abortSeen;
    // Receiver only: the bytes arriving belong to a damaged frame or are noise,
    // and are dropped until a call finds the line quiet.
    bool dropping;
    // Sender only: the EOT has had its expected NAK in this StageFinishing.
    bool eotNaked;

    void runStage(const StageHandlers &handlers);
    void clearCounters();
    void enterStage(Stage next, uint8_t number);
    void reset();
    void giveUp(Status status);
    void peerAbort();
    void refuse();
    void writeCancel();
    void writeControl(Code first);
    void writeControl(Code first, Code second);
    void resend();

    IdleResult idle(Status onLimit);
    bool error();

    static bool isAbort(Code code);
    bool secondAbortByte(bool abortByte);
    bool frameGood(Code header, uint8_t number);
    Code deliver(Status status, Code header);

    void acceptDataBlock(Code header, uint8_t number);
    void rejectFrame();
    void receiveIdle(Code code, Status onLimit, Code ask);
    void receiveOtherThanNextBlock(Code code);

    Code buildFrame(Status status, uint8_t number);
    void buildEot();
    void sendNextBlockOrEot();
};

#endif // YMODEM_H
