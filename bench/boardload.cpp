#include "boardload.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// A connected socket to 127.0.0.1:port, blocking, with the request sent;
// receiveBuffer > 0 sets SO_RCVBUF first, so that the window is small from
// the handshake on. -1, with why, if not.
int openRequest(quint16 port, const QByteArray &path, int receiveBuffer, int timeoutMs, QString *why)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = QString("socket: %1").arg(std::strerror(errno));
        return -1;
    }
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (timeoutMs > 0) {
        const timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0) {
        *why = QString("connect: %1").arg(std::strerror(errno));
        ::close(fd);
        return -1;
    }
    const QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
                               + (path == "/events" ? "\r\nAccept: text/event-stream\r\n\r\n"
                                                    : "\r\nConnection: close\r\n\r\n");
    if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size()) {
        *why = QString("send: %1").arg(std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

// The head of a response: its status line and, lowercased, its header lines.
struct Head
{
    QByteArray status;
    QList<QByteArray> headers;

    bool has(const QByteArray &line) const { return headers.contains(line); }
};

Head parseHead(const QByteArray &head)
{
    QList<QByteArray> lines = head.split('\n');
    Head parsed;
    for (QByteArray &line : lines)
        line = line.trimmed();
    parsed.status = lines.value(0);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0)
            parsed.headers << lines[i].left(colon).toLower() + ": " + lines[i].mid(colon + 1).trimmed().toLower();
    }
    return parsed;
}

bool isOk(const Head &head)
{
    return head.status.startsWith("HTTP/1.1 200") || head.status.startsWith("HTTP/1.0 200");
}

// A whole chunked body decoded, or false if it is not whole.
bool unchunk(QByteArray data, QByteArray *body)
{
    body->clear();
    for (;;) {
        const int end = data.indexOf("\r\n");
        if (end < 0)
            return false;
        bool ok = false;
        const qint64 size = data.left(end).split(';').value(0).trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0)
            return false;
        data.remove(0, end + 2);
        if (size == 0)
            return true;
        if (data.size() < size + 2)
            return false;
        *body += data.left(int(size));
        data.remove(0, int(size) + 2);
    }
}

const char *tcpStateName(int state)
{
    static const char *const names[] = {"?",         "ESTABLISHED", "SYN_SENT",   "SYN_RECV",
                                        "FIN_WAIT1", "FIN_WAIT2",   "TIME_WAIT",  "CLOSE",
                                        "CLOSE_WAIT", "LAST_ACK",   "LISTEN",     "CLOSING"};
    return state > 0 && state < int(std::size(names)) ? names[state] : "?";
}

} // namespace

uint64_t eventHash(const QByteArray &json)
{
    uint64_t hash = 14695981039346656037ull;
    for (const char c : json) {
        hash ^= uint8_t(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

// One /events connection as it is read: the response's head, its chunks,
// then the event stream's messages.
struct BoardLoad::Reader
{
    int fd = -1;
    enum class State { Head, Size, Data, DataEnd, Trailer, Done } state = State::Head;
    QByteArray in;     // bytes not yet taken apart
    qint64 chunkLeft = 0;
    QByteArray stream; // the body so far, up to a message not yet whole
};

BoardLoad::BoardLoad(quint16 port, int clients)
    : port(port), count(clients), readers(size_t(clients)), origin(steadyNs())
{
}

BoardLoad::~BoardLoad()
{
    stop(0);
}

void BoardLoad::startClock()
{
    origin = steadyNs();
}

double BoardLoad::now() const
{
    return double(steadyNs() - origin.load()) / 1e9;
}

bool BoardLoad::start(int timeoutMs, QString *error)
{
    for (int i = 0; i < count; ++i) {
        auto reader = std::make_unique<Reader>();
        reader->fd = openRequest(port, "/events", 0, 0, error);
        if (reader->fd < 0) {
            *error = QString("board client %1: %2").arg(i + 1).arg(*error);
            return false;
        }
        ::fcntl(reader->fd, F_SETFL, ::fcntl(reader->fd, F_GETFL) | O_NONBLOCK);
        connections.push_back(std::move(reader));
    }
    // The smallest window the kernel allows: it is full within seconds.
    stalledFd = openRequest(port, "/events", 1, 0, error);
    if (stalledFd < 0) {
        *error = "the stalled client: " + *error;
        return false;
    }
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(stalledFd, reinterpret_cast<sockaddr *>(&local), &length);
    stall.connected = true;
    stall.localPort = ntohs(local.sin_port);
    stall.connectedAt = now();

    readerThread = std::thread([this] { readAll(); });
    watcherThread = std::thread([this] { watch(); });
    const int64_t until = steadyNs() + int64_t(timeoutMs) * 1000000;
    while (snapshots.load() < count && steadyNs() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (snapshots.load() < count) {
        *error = QString("%1 of %2 board clients had the snapshot after %3 ms")
                     .arg(snapshots.load()).arg(count).arg(timeoutMs);
        return false;
    }
    scraperThread = std::thread([this] { scrape(); });
    return true;
}

void BoardLoad::stopScraping()
{
    scraping = false;
}

void BoardLoad::stop(int graceMs)
{
    scraping = false;
    if (!ending.exchange(true))
        deadline = steadyNs() + int64_t(graceMs) * 1000000;
    if (scraperThread.joinable())
        scraperThread.join();
    if (readerThread.joinable())
        readerThread.join();
    if (watcherThread.joinable())
        watcherThread.join();
    if (stalledFd >= 0) {
        drainStalled();
        ::close(stalledFd);
        stalledFd = -1;
    }
    for (auto &reader : connections)
        if (reader->fd >= 0) {
            ::close(reader->fd);
            reader->fd = -1;
        }
}

// Every reader in one thread, as one poll: a reader is never more than a
// poll's turn behind what the server has sent it.
void BoardLoad::readAll()
{
    std::vector<pollfd> polled;
    std::vector<int> which;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        polled.clear();
        which.clear();
        for (int i = 0; i < count; ++i)
            if (connections[size_t(i)]->fd >= 0) {
                polled.push_back({connections[size_t(i)]->fd, POLLIN, 0});
                which.push_back(i);
            }
        if (polled.empty())
            break;
        if (ending && steadyNs() > deadline.load())
            break;
        ::poll(polled.data(), nfds_t(polled.size()), 100);
        for (size_t p = 0; p < polled.size(); ++p) {
            if (!polled[p].revents)
                continue;
            Reader &reader = *connections[size_t(which[p])];
            Client &client = readers[size_t(which[p])];
            Client::End end = Client::End::Open;
            for (;;) {
                const ssize_t got = ::recv(reader.fd, buffer.data(), buffer.size(), 0);
                if (got > 0) {
                    reader.in.append(buffer.data(), int(got));
                    continue;
                }
                if (got == 0)
                    end = Client::End::Closed;
                else if (errno == EINTR)
                    continue;
                else if (errno != EAGAIN && errno != EWOULDBLOCK)
                    end = Client::End::Reset;
                break;
            }

            // The response's head, its chunks, the stream's messages.
            bool progress = true;
            while (progress && reader.state != Reader::State::Done && client.error.isEmpty()) {
                progress = false;
                switch (reader.state) {
                case Reader::State::Head: {
                    const int at = reader.in.indexOf("\r\n\r\n");
                    if (at < 0)
                        break;
                    const Head head = parseHead(reader.in.left(at));
                    reader.in.remove(0, at + 4);
                    if (!isOk(head) || !head.has("transfer-encoding: chunked")
                        || !head.has("content-type: text/event-stream"))
                        client.error = "answered " + QString::fromLatin1(head.status);
                    client.answered = client.error.isEmpty();
                    reader.state = Reader::State::Size;
                    progress = true;
                    break;
                }
                case Reader::State::Size: {
                    const int at = reader.in.indexOf("\r\n");
                    if (at < 0)
                        break;
                    bool ok = false;
                    reader.chunkLeft = reader.in.left(at).split(';').value(0).trimmed().toLongLong(&ok, 16);
                    reader.in.remove(0, at + 2);
                    if (!ok || reader.chunkLeft < 0)
                        client.error = "a bad chunk size";
                    reader.state = reader.chunkLeft == 0 ? Reader::State::Trailer : Reader::State::Data;
                    progress = true;
                    break;
                }
                case Reader::State::Data: {
                    const int take = int(std::min<qint64>(reader.chunkLeft, reader.in.size()));
                    if (take == 0)
                        break;
                    reader.stream += reader.in.left(take);
                    reader.in.remove(0, take);
                    reader.chunkLeft -= take;
                    if (reader.chunkLeft == 0)
                        reader.state = Reader::State::DataEnd;
                    progress = true;
                    break;
                }
                case Reader::State::DataEnd:
                    if (reader.in.size() < 2)
                        break;
                    if (!reader.in.startsWith("\r\n"))
                        client.error = "a chunk without its line end";
                    reader.in.remove(0, 2);
                    reader.state = Reader::State::Size;
                    progress = true;
                    break;
                case Reader::State::Trailer: {
                    const int at = reader.in.indexOf("\r\n");
                    if (at < 0)
                        break;
                    if (at == 0)
                        reader.state = Reader::State::Done;
                    reader.in.remove(0, at + 2);
                    progress = true;
                    break;
                }
                case Reader::State::Done:
                    break;
                }
            }
            for (int at; (at = reader.stream.indexOf("\n\n")) >= 0;) {
                QByteArray data;
                bool hasData = false, comment = false;
                for (const QByteArray &line : reader.stream.left(at).split('\n')) {
                    if (line.startsWith("data:")) {
                        if (hasData)
                            data += '\n';
                        data += line.mid(line.startsWith("data: ") ? 6 : 5);
                        hasData = true;
                    } else if (line.startsWith(':')) {
                        comment = true;
                    }
                }
                reader.stream.remove(0, at + 2);
                if (!hasData) {
                    client.pings += comment;
                    continue;
                }
                if (client.messages++ == 0) {
                    client.snapshotFirst =
                        QJsonDocument::fromJson(data).object().value("event").toString() == "snapshot";
                    ++snapshots;
                } else {
                    client.events.push_back(eventHash(data));
                }
            }

            if (reader.state == Reader::State::Done)
                end = Client::End::Clean; // the last chunk: the server ended the stream
            if (!client.error.isEmpty() && end == Client::End::Open)
                end = Client::End::Closed;
            if (end != Client::End::Open) {
                client.end = end;
                client.endedAt = now();
                ::close(reader.fd);
                reader.fd = -1;
            }
        }
        int least = INT_MAX;
        for (const Client &client : readers)
            least = std::min(least, int(client.events.size()));
        fewest = least;
    }
    for (size_t i = 0; i < connections.size(); ++i)
        if (connections[i]->fd >= 0) {
            ::close(connections[i]->fd);
            connections[i]->fd = -1;
        }
}

// A fetch every 100 ms, on a new connection each time; a tick that finds
// the last fetch still going is skipped, not queued.
void BoardLoad::scrape()
{
    const int64_t period = 100 * 1000000;
    int64_t next = steadyNs();
    while (scraping) {
        const int64_t wait = next - steadyNs();
        if (wait > 0) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(std::min<int64_t>(wait, period)));
            continue;
        }
        ++scraped.asked;
        const int64_t began = steadyNs();
        QString why;
        if (fetchMetrics(&why)) {
            ++scraped.done;
            const double took = double(steadyNs() - began) / 1e9;
            scraped.total += took;
            scraped.slowest = std::max(scraped.slowest, took);
        } else if (scraping) {
            ++scraped.failed;
            if (scraped.firstFailure.isEmpty())
                scraped.firstFailure = QString("at %1 s: %2").arg(now(), 0, 'f', 1).arg(why);
        } else {
            --scraped.asked; // cut short by the end of scraping: not counted
        }
        next += period;
        while (next < steadyNs()) {
            next += period;
            ++scraped.late;
        }
    }
}

bool BoardLoad::fetchMetrics(QString *why)
{
    const int fd = openRequest(port, "/metrics", 0, 2000, why);
    if (fd < 0)
        return false;
    QByteArray response;
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got > 0) {
            response.append(buffer, int(got));
            if (response.size() > 4 * 1024 * 1024)
                break;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            *why = errno == EAGAIN || errno == EWOULDBLOCK ? QString("no answer within 2 s")
                                                            : QString("recv: %1").arg(std::strerror(errno));
        break;
    }
    ::close(fd);
    if (!why->isEmpty())
        return false;
    const int at = response.indexOf("\r\n\r\n");
    if (at < 0) {
        *why = QString("no whole head in %1 bytes").arg(response.size());
        return false;
    }
    const Head head = parseHead(response.left(at));
    if (!isOk(head)) {
        *why = "answered " + QString::fromLatin1(head.status);
        return false;
    }
    QByteArray body = response.mid(at + 4);
    if (head.has("transfer-encoding: chunked") && !unchunk(body, &body)) {
        *why = "a chunked body cut short";
        return false;
    }
    for (const QByteArray &h : head.headers)
        if (h.startsWith("content-length: ") && h.mid(16).toLongLong() != body.size()) {
            *why = QString("%1 bytes of a body of %2").arg(body.size()).arg(QString::fromLatin1(h.mid(16)));
            return false;
        }
    if (!body.contains("\nqivo_dfu_attempts_total{")) {
        *why = "no qivo_dfu_attempts_total in the body";
        return false;
    }
    return true;
}

// Twice a second: the stalled client's connection in /proc/net/tcp, both
// ends, and whether our end has seen the server hang up.
void BoardLoad::watch()
{
    const auto endpoint = [](const QByteArray &field) { return field.mid(field.indexOf(':') + 1).toInt(nullptr, 16); };
    bool seen = false;
    while (!ending || steadyNs() < deadline.load()) {
        QFile table("/proc/net/tcp");
        int serverState = 0;
        qint64 queued = 0;
        if (table.open(QFile::ReadOnly)) {
            table.readLine(); // the header
            for (QByteArray line; !(line = table.readLine()).isEmpty();) {
                const QList<QByteArray> f = line.simplified().split(' ');
                if (f.size() < 5)
                    continue;
                const int local = endpoint(f[1]), remote = endpoint(f[2]);
                const QList<QByteArray> queues = f[4].split(':');
                const bool serverEnd = local == port && remote == stall.localPort;
                const bool ourEnd = local == stall.localPort && remote == port;
                if (serverEnd)
                    serverState = f[3].toInt(nullptr, 16);
                if (serverEnd || ourEnd)
                    queued += queues.value(0).toLongLong(nullptr, 16) + queues.value(1).toLongLong(nullptr, 16);
            }
        }
        const double at = now();
        if (queued > stall.queued) {
            stall.queued = queued;
            stall.fullAt = at;
        }
        if (serverState == 1)
            seen = true;
        else if (seen && stall.closedAt < 0) {
            stall.closedAt = at;
            stall.closedAs = serverState ? tcpStateName(serverState) : "gone";
        }
        if (stall.hangUpAt < 0 && stalledFd >= 0) {
            pollfd p{stalledFd, POLLRDHUP, 0};
            if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)))
                stall.hangUpAt = at;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

// Once the load is over: what the server had queued for the stalled client,
// and how its stream ended.
void BoardLoad::drainStalled()
{
    const timeval limit{2, 0};
    ::setsockopt(stalledFd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    QByteArray tail;
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t got = ::recv(stalledFd, buffer, sizeof buffer, 0);
        if (got > 0) {
            stall.drained += got;
            tail = (tail + QByteArray(buffer, int(got))).right(16);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0)
            stall.drainedEnd = tail.endsWith("\r\n0\r\n\r\n") ? "the last chunk, then closed"
                                                               : "closed mid-stream, without the last chunk";
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            stall.drainedEnd = "still open, nothing more for 2 s";
        else
            stall.drainedEnd = QString("reset (%1)").arg(std::strerror(errno));
        break;
    }
}
