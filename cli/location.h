#ifndef LOCATION_H
#define LOCATION_H

#include <QHash>
#include <QString>

// Where a serial port is plugged in, as udev names it under
// /dev/serial/by-path. Adapters of one make on a production line share
// VID:PID and often have no serial number; their by-path name is then the
// only thing that tells one fixture position from the next.
extern const char kByPathFolder[];

// Every device with a link in `folder`: its canonical path -> the link's
// name. A device with several (udev adds a "-usbv2-" twin of the "-usb-"
// name) gets the shortest, the one that stays when the adapter is swapped
// for one of another USB revision. One read of the folder.
QHash<QString, QString> byPathNames(const QString &folder = kByPathFolder);

// The by-path name of the device `devicePath` leads to (a link included),
// or empty when it has none.
QString byPathName(const QString &devicePath, const QString &folder = kByPathFolder);

#endif // LOCATION_H
