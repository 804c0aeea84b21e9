#ifndef SENDERMEMORY_H
#define SENDERMEMORY_H

#include <QString>

// Peak resident set of this process (VmHWM), in KiB; -1 if unknown.
qint64 peakResidentKiB();

// Child side: sends file through port with our transmitter alone, then
// prints "peak-kib <n>" on standard output. Exit code 0 on a finished send.
int runSendOnly(const QString &file, const QString &port);

struct MemoryResult
{
    bool ok = false;
    QString problem;
    qint64 peakKiB = -1;
    qint64 totalMs = -1;
};

// Parent side: starts program --send-only in a fresh process, so that its
// peak belongs to this send alone, with rb --ymodem at the far end of an
// unpaced line; checks the received copy.
MemoryResult measureSender(const QString &program, const QString &file);

#endif // SENDERMEMORY_H
