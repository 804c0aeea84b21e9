#include "firmwareimage.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// From the start, with pread: the descriptor's offset is nobody's business.
QByteArray hashDescriptor(int fd)
{
    QCryptographicHash sha(QCryptographicHash::Sha256);
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd, buffer, sizeof buffer, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return QByteArray();
        if (got == 0)
            return sha.result().toHex();
        sha.addData(QByteArray::fromRawData(buffer, int(got)));
        at += got;
    }
}

} // namespace

FirmwareImage::~FirmwareImage()
{
    if (fd >= 0)
        ::close(fd);
}

bool FirmwareImage::open(const QByteArray &path, QString *error)
{
    const QString shown = QFile::decodeName(path);
    const QString notRegular = shown + ": not a regular file (a pipe, device or socket has no size to send)";
    // Looked at before it is opened, as opening a FIFO with no writer blocks,
    // and again once open, as the name may have changed hands meanwhile.
    struct stat status {};
    if (::stat(path.constData(), &status) != 0) {
        *error = shown + (errno == ENOENT ? QString(": no such file") : ": cannot read: " + systemError());
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        *error = shown + ": is a folder, not a file";
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        *error = notRegular;
        return false;
    }
    const int opened = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (opened < 0) {
        *error = shown + ": cannot read: " + systemError();
        return false;
    }
    if (::fstat(opened, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(opened);
        *error = notRegular;
        return false;
    }
    const QByteArray hash = hashDescriptor(opened);
    if (hash.isEmpty()) {
        *error = shown + ": cannot read: " + systemError();
        ::close(opened);
        return false;
    }
    if (fd >= 0)
        ::close(fd);
    fd = opened;
    filePath = path;
    fileSize = qint64(status.st_size);
    digest = hash;
    return true;
}

QByteArray FirmwareImage::hashOf(const QByteArray &path)
{
    const int opened = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (opened < 0)
        return QByteArray();
    struct stat status {};
    const QByteArray hash = ::fstat(opened, &status) == 0 && S_ISREG(status.st_mode) ? hashDescriptor(opened)
                                                                                    : QByteArray();
    ::close(opened);
    return hash;
}

QByteArray FirmwareImage::name() const
{
    return filePath.mid(filePath.lastIndexOf('/') + 1);
}

QString FirmwareImage::displayName() const
{
    return QFile::decodeName(filePath);
}
