#ifndef SIMREPORT_H
#define SIMREPORT_H

// The lines qivo-device-sim reports on standard output, one per event: made
// here for the simulator to print, and read back here for the tests and the
// benchmarks, so that the format lives in one place. Qt Core only.
//
//   port PATH | dir PATH | line TEXT BAUD | restarting MS | boot loader ready |
//   receiving NAME SIZE | stored NAME SIZE SHA256 SECONDS | ended OUTCOME NAME BYTES
//
// A NAME may hold spaces: the fields after it are taken from the end.

#include <QByteArray>
#include <QString>

namespace SimReport {

enum class Kind { Unknown, Port, Dir, Line, Restarting, BootLoaderReady, Receiving, Stored, Ended };

// One line, read back; only the fields of its kind are set.
struct Report
{
    Kind kind = Kind::Unknown;
    QString path;        // Port: the pty to open; Dir: where files are stored
    QString text;        // Line: the AT line as heard, without its line end
    int baud = 0;        // Line: the rate it came at
    int ms = 0;          // Restarting: the boot time
    QString name;        // Receiving, Stored, Ended ("-" when block 0 named none)
    qint64 size = -1;    // Receiving (-1: block 0 gave none), Stored
    QByteArray sha256;   // Stored: in lower-case hex
    double seconds = -1; // Stored: from block 0 to the end, by the device's clock
    QString outcome;     // Ended: failed, cancelled or timeout
    qint64 bytes = -1;   // Ended: bytes taken in
};

// Each line's text, without its line end.
QString port(const QString &path);
QString dir(const QString &path);
QString line(const QByteArray &text, int baud);
QString restarting(int ms);
QString bootLoaderReady();
QString receiving(const QString &name, qint64 size);
QString stored(const QString &name, qint64 size, const QByteArray &sha256Hex, double seconds);
QString ended(const QString &outcome, const QString &name, qint64 bytes);

// Prints report lines on standard output, each with its line end, at once.
void say(const QString &lines);

// A line as printed, with or without its line end; kind Unknown when it is
// none of the above.
Report parse(const QByteArray &line);

} // namespace SimReport

#endif // SIMREPORT_H
