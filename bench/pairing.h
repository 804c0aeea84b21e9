#ifndef PAIRING_H
#define PAIRING_H

#include <QString>

// Which program sits at an end of the line: our worker on a pty, or lrzsz
// (sb --ymodem -k as sender, rb --ymodem as receiver) on pipes.
enum class EndProgram { Ours, Lrzsz };

struct PairingResult
{
    bool ok = false;
    QString problem;         // why the run does not count, when !ok
    qint64 totalMs = -1;     // from setting up the ends until both have finished
    qint64 firstBlockMs = -1; // until the sender started its first data block
    qint64 eotMs = -1;        // until the sender sent its first EOT
};

// Sends file from sender to receiver over a TestLine paced at baud, and
// checks that the receiver stored it byte for byte under its own name.
// When both ends are ours, the sender runs as program --send-only in a
// process of its own, as it would on another machine.
PairingResult runPairing(EndProgram sender, EndProgram receiver, const QString &file, int baud, const QString &program);

// Empty if folder holds exactly a byte-identical copy of source under the
// same name; otherwise what is wrong.
QString checkReceived(const QString &source, const QString &folder);

#endif // PAIRING_H
