#ifndef USBPORT_H
#define USBPORT_H

#include <QList>
#include <QString>

QT_BEGIN_NAMESPACE
class QSerialPortInfo;
QT_END_NAMESPACE

// A serial port as the port list describes it: what a usb: selector and
// the unit's identity are matched against.
struct PortInfo
{
    QString systemLocation;
    bool usb = false; // has a vendor and a product identifier
    quint16 vid = 0;
    quint16 pid = 0;
    QString serial;

    static PortInfo of(const QSerialPortInfo &info);
    static QList<PortInfo> available();

    // "0403:6001", as lsusb writes it; empty without USB identifiers.
    QString vidPid() const;
    // "usb:0403:6001[:SERIAL]": the selector that names this port.
    QString selector() const;
};

// A usb:VID:PID[:SERIAL] selector, parsed.
struct UsbSelector
{
    quint16 vid = 0;
    quint16 pid = 0;
    QString serial; // empty: any

    // Whether `given` has the usb: prefix at all, well formed or not.
    static bool looksLike(const QString &given);
    // False when `given` is not a well-formed selector.
    static bool parse(const QString &given, UsbSelector *selector);
    bool matches(const PortInfo &port) const;
};

#endif // USBPORT_H
