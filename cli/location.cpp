#include "location.h"

#include <QDir>
#include <QFileInfo>

const char kByPathFolder[] = "/dev/serial/by-path";

QHash<QString, QString> byPathNames(const QString &folder)
{
    QHash<QString, QString> names;
    const QFileInfoList links = QDir(folder).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &link : links) {
        if (!link.isSymLink())
            continue;
        // udev's links are relative (../../ttyUSB0): resolved from the folder, not from here.
        const QString device = link.canonicalFilePath();
        if (device.isEmpty())
            continue; // dangling: the device has just gone
        const QString name = link.fileName(), held = names.value(device);
        if (held.isEmpty() || name.size() < held.size())
            names.insert(device, name);
    }
    return names;
}

QString byPathName(const QString &devicePath, const QString &folder)
{
    const QString device = QFileInfo(devicePath).canonicalFilePath();
    return device.isEmpty() ? QString() : byPathNames(folder).value(device);
}
