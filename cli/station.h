#ifndef STATION_H
#define STATION_H

#include "outcome.h"
#include "record.h"

#include <QElapsedTimer>
#include <QMap>
#include <QObject>

struct Request;
class PortJob;
QT_BEGIN_NAMESPACE
class QTimer;
QT_END_NAMESPACE

// A production-line station: flashes every device that appears on one of
// its slots, once, and waits for it to leave before flashing that port
// again. Runs until stop(); then finished() carries the exit code.
class Station : public QObject
{
    Q_OBJECT

public:
    Station(const Request &request, Record *record, QObject *parent = nullptr);

    void start();
    // Cancels running transfers; the summary and finished() follow once they end.
    void stop();

    // Every this often the slots are looked at; a device is noticed within it.
    static constexpr int ScanInterval = 500; // ms

signals:
    void finished(int exitCode);

private:
    struct Unit
    {
        QString slot;
        QString port;
        UnitIdentity identity;
        int attempts = 0;
        Outcome last = Outcome::Success;
        PortJob *job = nullptr; // while an attempt runs
        bool present = true;
    };

    void scan();
    void found(const QString &slot, const QString &port, const QString &device);
    void attempt(const QString &device);
    void attemptEnded(const QString &device);
    void left(const QString &device);
    void count(const Unit &unit);
    void summarize();
    void print(const QJsonObject &object, const QString &text);

    const Request &request;
    Record *const record;
    Image image;
    QTimer *scanner;
    QElapsedTimer clock;
    QMap<QString, Unit> units; // by device path, while plugged in or running
    bool stopping = false;
    bool cancelledRunning = false;

    struct Tally
    {
        int units = 0, firstPass = 0, afterRetries = 0, failed = 0, cancelled = 0;
        Outcome worst = Outcome::Success;
    } tally;
};

#endif // STATION_H
