#include "record.h"
#include "location.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

QByteArray Image::hash(const QString &path)
{
    QFile file(path);
    QCryptographicHash sha(QCryptographicHash::Sha256);
    if (!file.open(QFile::ReadOnly) || !sha.addData(&file))
        return QByteArray();
    return sha.result().toHex();
}

UnitIdentity UnitIdentity::of(const QString &device)
{
    UnitIdentity identity;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (QFileInfo(info.systemLocation()).canonicalFilePath() != device)
            continue;
        identity.serial = info.serialNumber();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier())
            identity.vidPid = QString("%1:%2").arg(info.vendorIdentifier(), 4, 16, QChar('0'))
                                  .arg(info.productIdentifier(), 4, 16, QChar('0'));
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

bool Record::open(const QString &path, QString *error)
{
    fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        *error = QString("%1: cannot open the record: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    return fd >= 0;
}

QJsonObject Record::line(const Image &image, const Attempt &attempt)
{
    QJsonObject object{{"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                       {"host", QSysInfo::machineHostName()},
                       {"version", QT_STRINGIFY(QIVO_VERSION)},
                       {"slot", attempt.slot},
                       {"port", attempt.port},
                       {"unit", attempt.identity.unit(attempt.port)},
                       {"image", QFileInfo(image.path).fileName()},
                       {"image_sha256", QString::fromLatin1(image.sha256)},
                       {"image_size", double(image.size)},
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

bool Record::append(const Image &image, const Attempt &attempt)
{
    const QByteArray text = QJsonDocument(line(image, attempt)).toJson(QJsonDocument::Compact) + '\n';
    ssize_t put;
    do
        put = ::write(fd, text.constData(), size_t(text.size()));
    while (put < 0 && errno == EINTR);
    return put == text.size() && ::fsync(fd) == 0;
}
