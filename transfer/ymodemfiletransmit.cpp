#include "ymodemfiletransmit.h"
#include "serialline.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QTimer>

#include <cstring>

using SerialLine::ReadInterval;
using SerialLine::WriteInterval;

YmodemFileTransmit::YmodemFileTransmit(QObject *parent)
    : QObject(parent), Ymodem(499, 5, 999),
      file(new QFile), readTimer(new QTimer), writeTimer(new QTimer), serialPort(new QSerialPort),
      progress(0), status(StatusEstablish), fileSize(0), fileCount(0)
{
    SerialLine::applyDefaults(serialPort);

    connect(readTimer, SIGNAL(timeout()), this, SLOT(readTimeOut()));
    connect(writeTimer, SIGNAL(timeout()), this, SLOT(writeTimeOut()));
    // An unplugged adapter leaves nothing to wait for: fail now, not at the idle limit.
    SerialLine::watchForLoss(serialPort, this, [this] {
        if (running())
            interrupt(StatusError);
    });
}

YmodemFileTransmit::~YmodemFileTransmit()
{
    delete file;
    delete readTimer;
    delete writeTimer;
    delete serialPort;
}

void YmodemFileTransmit::setFileName(const QString &name)
{
    file->setFileName(name);
}

void YmodemFileTransmit::setPortName(const QString &name)
{
    serialPort->setPortName(name);
}

void YmodemFileTransmit::setPortBaudRate(qint32 baudrate)
{
    serialPort->setBaudRate(baudrate, QSerialPort::AllDirections);
}

bool YmodemFileTransmit::startTransmit()
{
    progress = 0;
    status = StatusEstablish;

    if (!serialPort->open(QSerialPort::ReadWrite))
        return false;
    readTimer->start(ReadInterval);
    return true;
}

// Once the outcome is known a stop changes nothing and sends nothing: a
// late Cancel must not turn a success into a cancel.
void YmodemFileTransmit::stopTransmit()
{
    if (running())
        interrupt(StatusAbort);
}

int YmodemFileTransmit::getTransmitProgress()
{
    return progress;
}

Ymodem::Status YmodemFileTransmit::getTransmitStatus()
{
    return status;
}

void YmodemFileTransmit::readTimeOut()
{
    readTimer->stop();
    transmit();
    if (running())
        readTimer->start(ReadInterval);
}

void YmodemFileTransmit::writeTimeOut()
{
    writeTimer->stop();
    serialPort->close();
    emit transmitStatus(status);
}

void YmodemFileTransmit::endTransfer(Status ending)
{
    status = ending;
    writeTimer->start(WriteInterval);
}

bool YmodemFileTransmit::running() const
{
    return status == StatusEstablish || status == StatusTransmit;
}

// Ends a running transfer from outside the engine: the engine is not stepped
// again, and the cancel bytes leave at once, so that they reach the device
// even when the program ends right after. The ending is set first: writing
// to a vanished port reports another error from inside the flush.
void YmodemFileTransmit::interrupt(Status ending)
{
    endTransfer(ending);
    readTimer->stop();
    file->close();
    abort();
    SerialLine::pushOut(serialPort);
}


Ymodem::Code YmodemFileTransmit::callback(Status status, unsigned char *buff, unsigned int *len)
{
    switch (status) {
    case StatusEstablish:
        return buildBlockZero(buff, len);

    case StatusTransmit:
        return readBlock(buff, len);

    case StatusFinish:
        file->close();
        endTransfer(StatusFinish);
        return CodeAck;

    case StatusAbort:
        file->close();
        endTransfer(StatusAbort);
        return CodeCan;

    case StatusTimeout:
        endTransfer(StatusTimeout);
        return CodeCan;

    default:
        file->close();
        endTransfer(StatusError);
        return CodeCan;
    }
}

// Block 0: name without directory, 0x00, decimal size, 0x00; the engine has
// zeroed the rest. A name too long for the 128 bytes is refused rather than
// cut, so the receiver never stores the file under another name.
Ymodem::Code YmodemFileTransmit::buildBlockZero(unsigned char *buff, unsigned int *len)
{
    if (file->fileName().isEmpty() || !file->open(QFile::ReadOnly)) {
        endTransfer(StatusError);
        return CodeCan;
    }

    fileSize = static_cast<uint64_t>(file->size());
    fileCount = 0;

    const QByteArray name = QFileInfo(*file).fileName().toLocal8Bit();
    const QByteArray size = QByteArray::number(static_cast<qulonglong>(fileSize));
    if (name.size() + 1 + size.size() + 1 > 128) {
        file->close();
        endTransfer(StatusError);
        return CodeCan;
    }

    std::memcpy(buff, name.constData(), size_t(name.size()));
    buff[name.size()] = 0x00;
    std::memcpy(buff + name.size() + 1, size.constData(), size_t(size.size()));
    buff[name.size() + 1 + size.size()] = 0x00;
    *len = 128;

    this->status = StatusEstablish;
    emit transmitStatus(StatusEstablish);
    return CodeAck;
}

// Never reads past the size announced in block 0, and treats a short read
// as a failed transfer: a file that shrank or cannot be read must neither
// keep the transfer going nor have padding sent as its data.
Ymodem::Code YmodemFileTransmit::readBlock(unsigned char *buff, unsigned int *len)
{
    if (fileCount >= fileSize) {
        this->status = StatusTransmit;
        emit transmitStatus(StatusTransmit);
        return CodeEot;
    }

    const uint64_t remaining = fileSize - fileCount;
    const unsigned int blockLength = remaining <= 128 ? 128 : 1024;
    const qint64 wanted = qint64(qMin<uint64_t>(remaining, blockLength));
    const qint64 got = file->read(reinterpret_cast<char *>(buff), wanted);
    if (got != wanted) {
        file->close();
        endTransfer(StatusError);
        return CodeCan;
    }

    *len = blockLength;
    fileCount += uint64_t(got);
    this->status = StatusTransmit;
    progress = int(fileCount * 100 / fileSize);
    emit transmitProgress(progress);
    emit transmitStatus(StatusTransmit);
    return CodeAck;
}

uint32_t YmodemFileTransmit::read(unsigned char *buff, unsigned int len)
{
    return SerialLine::readAvailable(serialPort, buff, len);
}

uint32_t YmodemFileTransmit::write(unsigned char *buff, unsigned int len)
{
    return SerialLine::queue(serialPort, buff, len);
}
