#include "ymodemfiletransmit.h"
#include "serialline.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

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
    // The device's answer is acted on as it arrives rather than at the next
    // tick: up to 10 ms a block on the line otherwise. The tick still runs,
    // so silence is counted as before.
    connect(serialPort, &QSerialPort::readyRead, this, [this] {
        if (readTimer->isActive())
            readTimeOut();
    });
    // An unplugged adapter leaves nothing to wait for: fail now, not at the idle limit.
    // The port closes at once: a lost line would keep the loop busy with
    // errors until the ending closes it.
    SerialLine::watchForLoss(serialPort, this, [this] {
        // What arrived before the line went is still the device's answer,
        // the ACK that ends a transfer among it.
        while (running() && serialPort->bytesAvailable() > 0)
            transmit();
        if (running()) {
            failure = "the line was lost: the device went away or its port was closed";
            interrupt(StatusError);
        }
        serialPort->close();
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

void YmodemFileTransmit::setImage(int fd, const QByteArray &name, qint64 size, const QByteArray &sha256)
{
    imageFd = fd;
    imageName = name;
    imageSize = size;
    imageSha256 = sha256;
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
    failure.clear();
    acknowledged = 0;

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
    QByteArray name;
    if (imageFd >= 0) {
        struct stat now {};
        if (::fstat(imageFd, &now) != 0 || qint64(now.st_size) != imageSize)
            return imageChanged();
        fileSize = uint64_t(imageSize);
        name = imageName;
        sent.reset();
    } else {
        if (file->fileName().isEmpty() || !file->open(QFile::ReadOnly)) {
            endTransfer(StatusError);
            return CodeCan;
        }
        fileSize = static_cast<uint64_t>(file->size());
        name = QFileInfo(*file).fileName().toLocal8Bit();
    }
    fileCount = 0;

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
// keep the transfer going nor have padding sent as its data. An image with
// a known hash is compared before its end is announced.
Ymodem::Code YmodemFileTransmit::readBlock(unsigned char *buff, unsigned int *len)
{
    // The next block is asked for once the last one has been acknowledged.
    acknowledged = qint64(fileCount);
    if (fileCount >= fileSize) {
        if (imageFd >= 0 && sent.result().toHex() != imageSha256)
            return imageChanged();
        this->status = StatusTransmit;
        emit transmitStatus(StatusTransmit);
        return CodeEot;
    }

    const uint64_t remaining = fileSize - fileCount;
    const unsigned int blockLength = remaining <= 128 ? 128 : 1024;
    const qint64 wanted = qint64(qMin<uint64_t>(remaining, blockLength));
    const qint64 got = imageFd >= 0 ? readImage(buff, wanted) : file->read(reinterpret_cast<char *>(buff), wanted);
    if (got != wanted) {
        if (imageFd >= 0)
            return imageChanged();
        file->close();
        endTransfer(StatusError);
        return CodeCan;
    }
    if (imageFd >= 0)
        sent.addData(QByteArray::fromRawData(reinterpret_cast<const char *>(buff), int(got)));

    *len = blockLength;
    fileCount += uint64_t(got);
    this->status = StatusTransmit;
    progress = int(fileCount * 100 / fileSize);
    emit transmitProgress(progress);
    emit transmitStatus(StatusTransmit);
    return CodeAck;
}

qint64 YmodemFileTransmit::readImage(unsigned char *buff, qint64 len)
{
    qint64 got = 0;
    while (got < len) {
        const ssize_t n = ::pread(imageFd, buff + got, size_t(len - got), off_t(fileCount) + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    return got;
}

// The refusal cancels the transfer on the line: the device keeps nothing.
Ymodem::Code YmodemFileTransmit::imageChanged()
{
    failure = "the image changed on disk since it was hashed; the transfer was stopped before its end";
    endTransfer(StatusError);
    return CodeCan;
}

uint32_t YmodemFileTransmit::read(unsigned char *buff, unsigned int len)
{
    return SerialLine::readAvailable(serialPort, buff, len);
}

uint32_t YmodemFileTransmit::write(unsigned char *buff, unsigned int len)
{
    return SerialLine::queue(serialPort, buff, len);
}
