#ifndef STATION_H
#define STATION_H

#include "output.h"
#include "presence.h"
#include "record.h"

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <memory>

struct Request;
class Board;
class TerminalBoard;
class UpgradeJob;
class SlotWatch;

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
    ~Station() override;

    // The boards: served with --http, drawn on a terminal without --json.
    // False, with *error, when the board cannot be served.
    bool showBoards(QString *error);
    void start();
    // Cancels running transfers; the summary and finished() follow once they end.
    void stop();

signals:
    void finished(int exitCode);

private:
    struct Unit
    {
        Seen seen;
        UnitIdentity identity;
        int attempts = 0;
        Outcome last = Outcome::Success;
        UpgradeJob *job = nullptr; // while an attempt runs
        bool present = true;    // false for good once it has left
    };

    void scan(const QSet<QString> &removed = {});
    bool concerns(const QString &path) const;
    void found(const QString &device, const Seen &seen);
    void attempt(const QString &device);
    void attemptEnded(const QString &device);
    void left(const QString &device);
    void count(const Unit &unit);
    QJsonObject counts() const;
    void summarize();
    void keep(const Attempt &attempt);

    const Request &request;
    Record *const record;
    Output output;
    SlotWatch *watcher;
    std::unique_ptr<Board> board;
    TerminalBoard *terminal = nullptr;
    QElapsedTimer clock;
    QMap<QString, Unit> units; // by device path, while plugged in or running
    QMap<QString, QString> misconfigured; // slot -> why, while it stays so
    QStringList paths; // every path the last look went along
    bool usbSlots = false;
    bool stopping = false;
    bool cancelledRunning = false;

    struct Tally
    {
        int units = 0, firstPass = 0, afterRetries = 0, failed = 0, cancelled = 0;
    } tally;
};

#endif // STATION_H
