#include "record.h"
#include "firmwareimage.h"
#include "location.h"
#include "usbport.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

UnitIdentity UnitIdentity::of(const QString &device)
{
    UnitIdentity identity;
    for (const PortInfo &port : PortInfo::available()) {
        if (QFileInfo(port.systemLocation).canonicalFilePath() != device)
            continue;
        identity.serial = port.serial;
        identity.vidPid = port.vidPid();
    }
    identity.location = byPathName(device);
    return identity;
}

QString UnitIdentity::unit(const QString &port) const
{
    return !serial.isEmpty() ? serial : !location.isEmpty() ? location : port;
}

Record::~Record()
{
    if (fd >= 0)
        ::close(fd);
}

bool Record::open(const QString &name, QString *error)
{
    const QByteArray encoded = QFile::encodeName(name);
    const auto fail = [&](const QString &why) {
        *error = QString("%1: cannot use it as the record: %2").arg(name, why);
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        return false;
    };
    // A FIFO would block the open until a reader came, a device would take
    // the lines somewhere else: only a regular file keeps them.
    struct stat status {};
    if (::stat(encoded.constData(), &status) == 0 && !S_ISREG(status.st_mode))
        return fail("not a regular file");
    fd = ::open(encoded.constData(), O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return fail("not a regular file");
    path = name;
    return true;
}

QJsonObject Record::line(const FirmwareImage &image, const Attempt &attempt)
{
    QJsonObject object{{"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                       {"host", QSysInfo::machineHostName()},
                       {"version", QT_STRINGIFY(QIVO_VERSION)},
                       {"slot", attempt.slot},
                       {"port", attempt.port},
                       {"unit", attempt.identity.unit(attempt.port)},
                       {"image", QFile::decodeName(image.name())},
                       {"image_sha256", QString::fromLatin1(image.sha256())},
                       {"image_size", double(image.size())},
                       {"attempt", attempt.number},
                       {"outcome", outcomeName(attempt.outcome)},
                       {"bytes", double(attempt.bytes)},
                       {"seconds", qRound(attempt.seconds * 1000) / 1000.0}};
    for (const auto &[key, value] : {std::pair{"serial", attempt.identity.serial},
                                     std::pair{"vid_pid", attempt.identity.vidPid},
                                     std::pair{"location", attempt.identity.location},
                                     std::pair{"error", attempt.error}})
        if (!value.isEmpty())
            object.insert(key, value);
    return object;
}

bool Record::append(const FirmwareImage &image, const Attempt &attempt, QString *error)
{
    QByteArray text = QJsonDocument(line(image, attempt)).toJson(QJsonDocument::Compact) + '\n';
    struct stat before {};
    char last = '\n';
    if (::fstat(fd, &before) == 0 && before.st_size > 0 && ::pread(fd, &last, 1, before.st_size - 1) == 1 && last != '\n')
        text.prepend('\n'); // a line cut short earlier would swallow this one
    ssize_t put;
    do
        put = ::write(fd, text.constData(), size_t(text.size()));
    while (put < 0 && errno == EINTR);
    const int writeError = put < 0 ? errno : ENOSPC;
    if (put != text.size()) {
        // Cut back what went out, unless another writer has appended since.
        struct stat after {};
        if (put > 0 && ::fstat(fd, &after) == 0 && after.st_size == before.st_size + put) {
            // Should the cut fail too, the next line still starts a line of its own.
            [[maybe_unused]] const int cut = ::ftruncate(fd, before.st_size);
        }
        *error = QString("%1: the record could not be written: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(writeError)));
        return false;
    }
    if (::fsync(fd) != 0) {
        *error = QString("%1: the record could not be synced to disk: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}
