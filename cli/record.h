#ifndef RECORD_H
#define RECORD_H

#include "outcome.h"

#include <QByteArray>
#include <QString>

class FirmwareImage;
QT_BEGIN_NAMESPACE
class QJsonObject;
QT_END_NAMESPACE

// Who a device is, as far as the system tells: USB serial number and
// VID:PID where it has them, its fixture position under /dev/serial/by-path.
struct UnitIdentity
{
    QString serial;
    QString vidPid;
    QString location;

    static UnitIdentity of(const QString &device);
    // The serial number where there is one, else the location, else the port.
    QString unit(const QString &port) const;
};

// One finished attempt on one unit.
struct Attempt
{
    QString slot;
    QString port;
    UnitIdentity identity;
    int number = 1;
    Outcome outcome = Outcome::Failed;
    qint64 bytes = 0;
    double seconds = 0;
    QString error;
};

// A JSON Lines file that every attempt is appended to. Each line goes out in
// one write on a file opened for appending, and is on disk before append()
// returns: a process killed at any moment leaves whole lines, every finished
// attempt among them, and stations sharing the file never interleave. A
// line the disk did not take whole is cut back where it can be, and the
// next one starts on a line of its own where it cannot.
class Record
{
public:
    Record() = default;
    ~Record();
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;

    // Only a regular file, or a name where one can be made; never blocks.
    bool open(const QString &path, QString *error);
    bool isOpen() const { return fd >= 0; }
    // False when the line is not on disk; *error says why.
    bool append(const FirmwareImage &image, const Attempt &attempt, QString *error);

    static QJsonObject line(const FirmwareImage &image, const Attempt &attempt);

private:
    int fd = -1;
    QString path;
};

#endif // RECORD_H
