#include "ymodemfilereceive.h"
#include "blockzero.h"
#include "receivedfile.h"
#include "serialline.h"

#include <QSerialPort>
#include <QTimer>

using SerialLine::ReadInterval;
using SerialLine::WriteInterval;

YmodemFileReceive::YmodemFileReceive(QObject *parent)
    : QObject(parent), Ymodem(499, 5, 999),
      file(new ReceivedFile), readTimer(new QTimer), writeTimer(new QTimer), serialPort(new QSerialPort),
      progress(0), status(StatusEstablish), fileSize(0), fileCount(0), sizeKnown(false)
{
    SerialLine::applyDefaults(serialPort);

    connect(readTimer, SIGNAL(timeout()), this, SLOT(readTimeOut()));
    connect(writeTimer, SIGNAL(timeout()), this, SLOT(writeTimeOut()));
    // An unplugged adapter leaves nothing to wait for: fail now, not at the idle limit.
    // The port closes at once: a lost line would keep the loop busy with
    // errors until the ending closes it.
    SerialLine::watchForLoss(serialPort, this, [this] {
        // What arrived before the line went is still the sender's.
        while (running() && serialPort->bytesAvailable() > 0)
            receive();
        if (running())
            interrupt(StatusError);
        serialPort->close();
    });
}

YmodemFileReceive::~YmodemFileReceive()
{
    delete file;
    delete readTimer;
    delete writeTimer;
    delete serialPort;
}

// An empty path means the working directory; "/" alone would put received
// files into the root directory.
void YmodemFileReceive::setFilePath(const QString &path)
{
    filePath = path.isEmpty() ? QString() : path + "/";
}

void YmodemFileReceive::setPortName(const QString &name)
{
    serialPort->setPortName(name);
}

void YmodemFileReceive::setPortBaudRate(qint32 baudrate)
{
    serialPort->setBaudRate(baudrate, QSerialPort::AllDirections);
}

bool YmodemFileReceive::startReceive()
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
void YmodemFileReceive::stopReceive()
{
    if (running())
        interrupt(StatusAbort);
}

int YmodemFileReceive::getReceiveProgress()
{
    return progress;
}

Ymodem::Status YmodemFileReceive::getReceiveStatus()
{
    return status;
}

void YmodemFileReceive::readTimeOut()
{
    readTimer->stop();
    receive();
    if (running())
        readTimer->start(ReadInterval);
}

void YmodemFileReceive::writeTimeOut()
{
    writeTimer->stop();
    serialPort->close();
    emit receiveStatus(status);
}

void YmodemFileReceive::endTransfer(Status ending)
{
    status = ending;
    writeTimer->start(WriteInterval);
}

bool YmodemFileReceive::running() const
{
    return status == StatusEstablish || status == StatusTransmit;
}

// Ends a running transfer from outside the engine: the engine is not stepped
// again, and the cancel bytes leave at once, so that they reach the device
// even when the program ends right after. The ending is set first: writing
// to a vanished port reports another error from inside the flush.
void YmodemFileReceive::interrupt(Status ending)
{
    endTransfer(ending);
    readTimer->stop();
    file->discard();
    abort();
    SerialLine::pushOut(serialPort);
}


Ymodem::Code YmodemFileReceive::callback(Status status, unsigned char *buff, unsigned int *len)
{
    switch (status) {
    case StatusEstablish:
        return openFromBlockZero(buff);

    case StatusTransmit:
        return storeBlock(buff, *len);

    case StatusFinish:
        // Line noise can end a batch early; only the announced size is success.
        if ((!sizeKnown || fileCount == fileSize) && file->keep()) {
            endTransfer(StatusFinish);
        } else {
            endTransfer(StatusError);
        }
        return CodeAck;

    case StatusAbort:
        file->discard();
        endTransfer(StatusAbort);
        return CodeCan;

    case StatusTimeout:
        file->discard();
        endTransfer(StatusTimeout);
        return CodeCan;

    default:
        file->discard();
        endTransfer(StatusError);
        return CodeCan;
    }
}

// Without a size in block 0, every byte of every block is kept.
Ymodem::Code YmodemFileReceive::openFromBlockZero(const unsigned char *buff)
{
    const BlockZero zero(buff);
    fileName = zero.name;
    fileSize = zero.size;
    sizeKnown = zero.sizeKnown;
    fileCount = 0;

    // A link, a FIFO or a folder under that name is refused here: the
    // sender chooses the name, and a link would let it write outside the
    // folder.
    if (fileName.isEmpty() || !file->open(filePath, fileName)) {
        endTransfer(StatusError);
        return CodeCan;
    }

    this->status = StatusEstablish;
    emit receiveStatus(StatusEstablish);
    return CodeAck;
}

// Writes no fill bytes past the announced size. A write the disk did not
// take ends the transfer: the file would be short while success is shown.
Ymodem::Code YmodemFileReceive::storeBlock(const unsigned char *buff, unsigned int len)
{
    const uint64_t remaining = sizeKnown ? fileSize - fileCount : len;
    const uint64_t wanted = qMin<uint64_t>(remaining, len);
    if (wanted > 0) {
        if (!file->write(buff, qint64(wanted))) {
            file->discard();
            endTransfer(StatusError);
            return CodeCan;
        }
    }
    fileCount += wanted;

    this->status = StatusTransmit;
    // Without a size there is no share to report until the end.
    progress = !sizeKnown ? 0 : fileSize == 0 ? 100 : int(fileCount * 100 / fileSize);
    emit receiveProgress(progress);
    emit receiveStatus(StatusTransmit);
    return CodeAck;
}

uint32_t YmodemFileReceive::read(unsigned char *buff, unsigned int len)
{
    return SerialLine::readAvailable(serialPort, buff, len);
}

uint32_t YmodemFileReceive::write(unsigned char *buff, unsigned int len)
{
    return SerialLine::queue(serialPort, buff, len);
}
