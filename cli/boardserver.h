#ifndef BOARDSERVER_H
#define BOARDSERVER_H

#include <QByteArray>
#include <QHash>
#include <QString>

#include <microhttpd.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

// The board's HTTP side, on libmicrohttpd: GET and HEAD only, a bounded
// request, a bounded number of clients. What it serves is set from the
// event loop's thread (publish, setSnapshot, setMetrics) and read by the
// server's threads, one per connection, so that a slow client only ever
// holds its own thread. Events go into one shared ring: a client that falls
// behind it is dropped, so no client can make memory grow, and one that
// stops reading is closed once its connection has been idle for a while.
class BoardServer
{
public:
    struct Limits
    {
        int connections = 100;  // all at once; more are closed at once
        int streams = 64;       // /events at once; more get 503
        int idleSeconds = 30;   // a connection that moved no byte this long is closed
        int pingSeconds = 10;   // a comment on a quiet stream, below idleSeconds
        int ringEvents = 1024;  // events kept for clients that are behind
    };

    BoardServer() = default;
    explicit BoardServer(const Limits &limits) : limits(limits) {}
    ~BoardServer();
    BoardServer(const BoardServer &) = delete;
    BoardServer &operator=(const BoardServer &) = delete;

    // `address` is an IPv4 or IPv6 address; port 0 takes a free one.
    bool start(const QString &address, quint16 port, QString *error);
    quint16 port() const { return boundPort; }

    // Files served as they are, by path ("/", "/board.js"): body, type.
    void addFile(const QByteArray &path, const QByteArray &body, const QByteArray &type);
    // One JSON object, without its line end.
    void publish(const QByteArray &event);
    void setSnapshot(const QByteArray &snapshot);
    // The body of /metrics without the process's own figures, added per request.
    void setMetrics(const QByteArray &metrics);

    int streamCount() const;

private:
    struct Stream;
    struct File
    {
        QByteArray body;
        QByteArray type;
    };

    static MHD_Result handle(void *self, MHD_Connection *connection, const char *url, const char *method,
                             const char *version, const char *uploadData, size_t *uploadSize, void **state);
    MHD_Result answer(MHD_Connection *connection, const char *url, const char *method, size_t *uploadSize);
    MHD_Result openStream(MHD_Connection *connection);
    static ssize_t readStream(void *stream, uint64_t pos, char *buffer, size_t max);
    static void closeStream(void *stream);

    const Limits limits;
    MHD_Daemon *daemon = nullptr;
    quint16 boundPort = 0;
    QHash<QByteArray, File> files; // set before start, read only after

    mutable std::mutex lock;
    std::condition_variable changed;
    std::deque<QByteArray> ring; // the last events, as SSE messages
    uint64_t nextSeq = 0;        // the number the next event gets; ring.front() is nextSeq - ring.size()
    QByteArray snapshot;
    QByteArray metrics;
    int streams = 0;
    bool stopping = false;
};

#endif // BOARDSERVER_H
