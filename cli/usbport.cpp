#include "usbport.h"

#include <QSerialPortInfo>
#include <QStringList>

PortInfo PortInfo::of(const QSerialPortInfo &info)
{
    PortInfo port;
    port.systemLocation = info.systemLocation();
    port.usb = info.hasVendorIdentifier() && info.hasProductIdentifier();
    port.vid = info.vendorIdentifier();
    port.pid = info.productIdentifier();
    port.serial = info.serialNumber();
    return port;
}

QList<PortInfo> PortInfo::available()
{
    QList<PortInfo> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports << of(info);
    return ports;
}

QString PortInfo::vidPid() const
{
    return usb ? QString("%1:%2").arg(vid, 4, 16, QChar('0')).arg(pid, 4, 16, QChar('0')) : QString();
}

QString PortInfo::selector() const
{
    if (!usb)
        return QString();
    return "usb:" + vidPid() + (serial.isEmpty() ? QString() : ':' + serial);
}

bool UsbSelector::looksLike(const QString &given)
{
    return given.startsWith("usb:", Qt::CaseInsensitive);
}

bool UsbSelector::parse(const QString &given, UsbSelector *selector)
{
    if (!looksLike(given))
        return false;
    const QStringList parts = given.split(':');
    bool vidOk = false, pidOk = false;
    selector->vid = parts.value(1).toUShort(&vidOk, 16);
    selector->pid = parts.value(2).toUShort(&pidOk, 16);
    selector->serial = parts.value(3);
    return parts.size() >= 3 && parts.size() <= 4 && vidOk && pidOk;
}

bool UsbSelector::matches(const PortInfo &port) const
{
    return port.usb && port.vid == vid && port.pid == pid && (serial.isEmpty() || port.serial == serial);
}
