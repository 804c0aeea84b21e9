#include "ymodemfiletransmit.h"
#include "blockzero.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char kImageChanged[] = "the image changed on disk since it was hashed; the transfer was stopped before its end";
}

YmodemFileTransmit::YmodemFileTransmit(QObject *parent)
    : YmodemWorker(parent), file(new QFile), fileSize(0), fileCount(0)
{
}

YmodemFileTransmit::~YmodemFileTransmit()
{
    delete file;
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

bool YmodemFileTransmit::startTransmit()
{
    return startTransfer();
}

void YmodemFileTransmit::stopTransmit()
{
    stopTransfer();
}

int YmodemFileTransmit::getTransmitProgress()
{
    return progress;
}

Ymodem::Status YmodemFileTransmit::getTransmitStatus()
{
    return status;
}

void YmodemFileTransmit::step()
{
    transmit();
}

void YmodemFileTransmit::reportStatus(Status status)
{
    emit transmitStatus(status);
}

void YmodemFileTransmit::dropFile()
{
    file->close();
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
        endTransfer(StatusAbort, "the device cancelled");
        return CodeCan;

    case StatusTimeout:
        endTransfer(StatusTimeout, "the device never asked for the file (is it in its boot loader?)");
        return CodeCan;

    default:
        return fail("the transfer failed (line errors, silence or a refusal)");
    }
}

// Block 0: name without directory, 0x00, decimal size, 0x00; the engine has
// zeroed the rest. A name too long for the block is refused rather than
// cut, so the receiver never stores the file under another name.
Ymodem::Code YmodemFileTransmit::buildBlockZero(unsigned char *buff, unsigned int *len)
{
    QByteArray name;
    if (imageFd >= 0) {
        struct stat now {};
        if (::fstat(imageFd, &now) != 0 || qint64(now.st_size) != imageSize)
            return fail(kImageChanged);
        fileSize = uint64_t(imageSize);
        name = imageName;
        sent.reset();
    } else {
        if (file->fileName().isEmpty() || !file->open(QFile::ReadOnly))
            return fail("the file could not be opened");
        fileSize = static_cast<uint64_t>(file->size());
        name = QFileInfo(*file).fileName().toLocal8Bit();
    }
    fileCount = 0;

    if (!BlockZero::write(name, fileSize, buff))
        return fail("the file's name is too long for block 0");
    *len = PayloadSizeSoh;

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
    bytesDone = qint64(fileCount);
    if (fileCount >= fileSize) {
        if (imageFd >= 0 && sent.result().toHex() != imageSha256)
            return fail(kImageChanged);
        this->status = StatusTransmit;
        emit transmitStatus(StatusTransmit);
        return CodeEot;
    }

    const uint64_t remaining = fileSize - fileCount;
    const unsigned int blockLength = remaining <= PayloadSizeSoh ? PayloadSizeSoh : PayloadSizeStx;
    const qint64 wanted = qint64(qMin<uint64_t>(remaining, blockLength));
    const qint64 got = imageFd >= 0 ? readImage(buff, wanted) : file->read(reinterpret_cast<char *>(buff), wanted);
    if (got != wanted)
        return fail(imageFd >= 0 ? kImageChanged : "the file could not be read");
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
Ymodem::Code YmodemFileTransmit::fail(const QString &why)
{
    file->close();
    endTransfer(StatusError, why);
    return CodeCan;
}
