#ifndef WORKERLOG_H
#define WORKERLOG_H

// Records what a transfer worker emits, in order, and whether its serial
// port was still open when the final status arrived.

#include "ymodemfilereceive.h"
#include "ymodemfiletransmit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QList>
#include <QObject>

// How many descriptors of this process have the given device open.
inline int openCount(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int n = 0;
    const QDir fds("/proc/self/fd");
    for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot))
        n += QFileInfo(fds.filePath(fd)).symLinkTarget() == target;
    return n;
}

class WorkerLog
{
public:
    // Port path the worker opens, and how many descriptors others hold on it.
    WorkerLog(YmodemFileTransmit *worker, const QString &port, int othersOpen = 1)
        : port(port), othersOpen(othersOpen)
    {
        QObject::connect(worker, &YmodemFileTransmit::transmitProgress, [this](int p) { progress << p; });
        QObject::connect(worker, &YmodemFileTransmit::transmitStatus, [this](Ymodem::Status s) { onStatus(s); });
    }
    WorkerLog(YmodemFileReceive *worker, const QString &port, int othersOpen = 1)
        : port(port), othersOpen(othersOpen)
    {
        QObject::connect(worker, &YmodemFileReceive::receiveProgress, [this](int p) { progress << p; });
        QObject::connect(worker, &YmodemFileReceive::receiveStatus, [this](Ymodem::Status s) { onStatus(s); });
    }

    bool ended() const { return finals > 0; }
    void restartClock() { clock.start(); }

    QList<int> progress;
    QList<int> statuses;
    int finals = 0;
    int finalStatus = -1;
    bool portClosedAtFinal = false;
    qint64 finalAfterMs = -1; // since restartClock()

private:
    void onStatus(Ymodem::Status s)
    {
        statuses << int(s);
        if (s >= Ymodem::StatusFinish) {
            ++finals;
            finalStatus = int(s);
            portClosedAtFinal = openCount(port) == othersOpen;
            finalAfterMs = clock.isValid() ? clock.elapsed() : -1;
        }
    }

    QString port;
    int othersOpen;
    QElapsedTimer clock;
};

#endif // WORKERLOG_H
