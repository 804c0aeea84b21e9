#ifndef STATION_H
#define STATION_H

#include "outcome.h"
#include "record.h"

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QStringList>

struct Request;
class PortJob;
class SlotWatch;
QT_BEGIN_NAMESPACE
class QJsonObject;
QT_END_NAMESPACE

// A production-line station: flashes every device that appears on one of
// its slots, once, and waits for it to leave before flashing that port
// again. Slots are looked at when the system says something changed in the
// folders on their paths, so a unit is noticed as it appears and an idle
// station costs nothing. Runs until stop(); then finished() carries the
// exit code.
class Station : public QObject
{
    Q_OBJECT

public:
    Station(const Request &request, Record *record, QObject *parent = nullptr);

    void start();
    // Cancels running transfers; the summary and finished() follow once they end.
    void stop();

    // A device as a slot shows it now.
    struct Seen
    {
        QString slot;
        QString port;
        QByteArray fingerprint; // the node and the links to it, as the file system numbers them
        QStringList chain;      // the slot's path, each link's target, the node
    };

signals:
    void finished(int exitCode);

private:
    struct Unit
    {
        Seen seen;
        UnitIdentity identity;
        int attempts = 0;
        Outcome last = Outcome::Success;
        PortJob *job = nullptr; // while an attempt runs
        bool present = true;    // false for good once it has left
    };

    void scan(const QSet<QString> &removed = {});
    bool concerns(const QString &path) const;
    void found(const QString &device, const Seen &seen);
    void attempt(const QString &device);
    void attemptEnded(const QString &device);
    void left(const QString &device);
    void count(const Unit &unit);
    void summarize();
    void print(const QJsonObject &object, const QString &text);
    void keep(const Attempt &attempt);

    const Request &request;
    Record *const record;
    SlotWatch *watcher;
    QElapsedTimer clock;
    QMap<QString, Unit> units; // by device path, while plugged in or running
    QMap<QString, QString> misconfigured; // slot -> why, while it stays so
    QStringList paths; // every path the last look went along
    bool usbSlots = false;
    bool stopping = false;
    bool cancelledRunning = false;
    bool recordBroken = false;

    struct Tally
    {
        int units = 0, firstPass = 0, afterRetries = 0, failed = 0, cancelled = 0;
        Outcome worst = Outcome::Success;
    } tally;
};

#endif // STATION_H
