#include "presence.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

QString kindOf(mode_t mode)
{
    return S_ISCHR(mode) ? QString() : S_ISDIR(mode) ? "a folder" : S_ISREG(mode) ? "a regular file"
           : S_ISFIFO(mode) ? "a FIFO" : S_ISSOCK(mode) ? "a socket" : S_ISBLK(mode) ? "a block device"
           : "not a device";
}

// The nearest folder that exists on the way to `folder`: where the next
// step of a slot's path will appear.
QString existingFolder(QString folder, const FileSystemView &files)
{
    while (!files.isFolder(folder) && folder != "/")
        folder = QFileInfo(folder).absolutePath();
    return folder;
}

// Follows a path link by link. Returns the device's canonical path, or
// empty when it leads nowhere yet; *why says what it leads to instead of
// a serial device.
QString follow(const QString &path, Seen *seen, Presence *presence, QString *why, const FileSystemView &files)
{
    QString at = path;
    PathNode node;
    // A loop of links leads nowhere, as it does for the system.
    for (int depth = 0; depth < 16; ++depth) {
        seen->chain << at;
        presence->paths << at;
        presence->folders.insert(existingFolder(QFileInfo(at).absolutePath(), files));
        node = files.node(at);
        if (!node.exists)
            return QString();
        seen->fingerprint += node.identity + ' ';
        if (!node.isLink)
            break;
        at = node.linkTarget;
    }
    if (node.isLink)
        return QString();
    if (!node.kind.isEmpty()) {
        *why = QString("%1 is %2, not a serial device").arg(path, node.kind);
        return QString();
    }
    return files.canonical(path);
}

} // namespace

PathNode FileSystemView::node(const QString &path) const
{
    PathNode node;
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return node;
    node.exists = true;
    node.isLink = S_ISLNK(status.st_mode);
    node.linkTarget = node.isLink ? QFileInfo(path).symLinkTarget() : QString();
    node.kind = node.isLink ? QString() : kindOf(status.st_mode);
    node.identity = QByteArray::number(quint64(status.st_dev)) + ':' + QByteArray::number(quint64(status.st_ino)) + ':'
                    + QByteArray::number(quint64(status.st_rdev));
    return node;
}

bool FileSystemView::isFolder(const QString &path) const
{
    return QFileInfo(path).isDir();
}

QString FileSystemView::canonical(const QString &path) const
{
    return QFileInfo(path).canonicalFilePath();
}

Presence findPresent(const QStringList &watched, const std::function<QList<PortInfo>()> &ports,
                     const FileSystemView &files)
{
    Presence presence;
    QList<PortInfo> listed;
    bool asked = false;
    for (const QString &slot : watched) {
        UsbSelector usb;
        QStringList candidates{slot};
        const bool isUsb = UsbSelector::parse(slot, &usb);
        if (isUsb) {
            // A USB port is there once udev has described it.
            presence.folders << "/dev" << "/run/udev/data";
            if (!std::exchange(asked, true))
                listed = ports();
            candidates.clear();
            for (const PortInfo &port : listed)
                if (usb.matches(port))
                    candidates << port.systemLocation;
        }
        for (const QString &port : candidates) {
            Seen seen{slot, port, {}, {}};
            QString why;
            const QString device = follow(port, &seen, &presence, &why, files);
            if (!why.isEmpty() && !isUsb)
                presence.misconfigured.insert(slot, why);
            if (!device.isEmpty() && !presence.devices.contains(device))
                presence.devices.insert(device, seen);
        }
    }
    return presence;
}

bool hasLeft(const QString &device, const Seen &before, const Presence &now, const QSet<QString> &removed)
{
    const auto seen = now.devices.constFind(device);
    if (seen == now.devices.cend() || seen->fingerprint != before.fingerprint)
        return true;
    for (const QString &step : before.chain)
        if (removed.contains(step))
            return true;
    return false;
}
