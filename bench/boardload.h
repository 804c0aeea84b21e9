#ifndef BOARDLOAD_H
#define BOARDLOAD_H

// A station's board under load, from threads of the bench's own over plain
// sockets: clients that hold /events open and read all of it, a scraper
// that fetches /metrics ten times a second on a new connection each time,
// and one /events client that never reads, which the server has to get rid
// of. What each saw is kept for the figures once the load has stopped.

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

// What events are compared by, on the board and on the flasher's stdout:
// FNV-1a over a JSON object's bytes, without its line end.
uint64_t eventHash(const QByteArray &json);

class BoardLoad
{
public:
    struct Client
    {
        bool answered = false;      // 200, chunked, as an event stream
        bool snapshotFirst = false; // its first message was the snapshot
        int messages = 0;           // messages with data, the snapshot included
        int pings = 0;              // comments on a quiet stream
        std::vector<uint64_t> events; // eventHash of each message after the snapshot
        enum class End { Open, Clean, Closed, Reset } end = End::Open;
        double endedAt = -1; // seconds on the load's clock
        QString error;       // a response or a body it could not read
    };

    struct Scrapes
    {
        int asked = 0;  // ticks of the 100 ms clock that started a fetch
        int done = 0;   // 200 with qivo_dfu_attempts_total in the body
        int failed = 0; // anything else
        int late = 0;   // ticks skipped because a fetch was still going
        double slowest = 0, total = 0; // seconds a fetch took, over those done
        QString firstFailure;
    };

    // The never-reading client, from the kernel's table of TCP sockets: the
    // server's end of its connection and what is queued for it there and here.
    struct Stalled
    {
        bool connected = false;
        int localPort = 0;
        double connectedAt = -1;
        double fullAt = -1;   // last time the bytes queued for it grew
        qint64 queued = 0;    // at most, both ends' queues together
        double closedAt = -1; // the server's end seen leaving ESTABLISHED, or gone
        QString closedAs;     // the state it was seen in then
        double hangUpAt = -1; // our socket saw the server hang up or reset it
        qint64 drained = 0;   // bytes read from it once the load stopped
        QString drainedEnd;   // how reading it ended then
    };

    // `port` on 127.0.0.1; `clients` readers of /events.
    BoardLoad(quint16 port, int clients);
    ~BoardLoad();
    BoardLoad(const BoardLoad &) = delete;
    BoardLoad &operator=(const BoardLoad &) = delete;

    // Connects the readers and the stalled client and waits, up to
    // timeoutMs, until every reader has its snapshot; the scraper starts
    // then. False, with why, if they did not all get it.
    bool start(int timeoutMs, QString *error);
    // Times are in seconds from here on (earlier ones are negative).
    void startClock();
    double now() const;

    // The fewest events (after the snapshot) any reader has so far.
    int fewestEvents() const { return fewest.load(); }
    // Scraping ends; the readers and the stalled client's watch go on.
    void stopScraping();
    // Waits up to graceMs for the readers' streams to end (the flasher
    // stopping ends them), then closes what is left, reads what the stalled
    // client was sent, and ends the threads.
    void stop(int graceMs);

    // Read after stop().
    const std::vector<Client> &clients() const { return readers; }
    const Scrapes &scrapes() const { return scraped; }
    const Stalled &stalled() const { return stall; }

private:
    struct Reader;
    void readAll();
    void scrape();
    void watch();
    bool fetchMetrics(QString *why);
    void drainStalled();

    const quint16 port;
    const int count;
    std::vector<Client> readers;
    std::vector<std::unique_ptr<Reader>> connections;
    Scrapes scraped;
    Stalled stall;
    int stalledFd = -1;

    std::atomic<int64_t> origin; // steady clock, ns
    std::atomic<int> fewest{0};
    std::atomic<int> snapshots{0};
    std::atomic<bool> scraping{true};
    std::atomic<bool> ending{false};
    std::atomic<int64_t> deadline{0}; // steady ns after which readers give up
    std::thread readerThread, scraperThread, watcherThread;
};

#endif // BOARDLOAD_H
