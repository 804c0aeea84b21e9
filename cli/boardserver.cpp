#include "boardserver.h"

#include <QDir>
#include <QFile>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Nothing on the board is to run or load anything from elsewhere, and
// nothing it shows is ever markup: the page fills its text with textContent.
const char kPolicy[] = "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                       "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

MHD_Response *bufferResponse(const QByteArray &body)
{
    return MHD_create_response_from_buffer(size_t(body.size()), const_cast<char *>(body.constData()),
                                           MHD_RESPMEM_MUST_COPY);
}

MHD_Result send(MHD_Connection *connection, unsigned int status, MHD_Response *response, const QByteArray &type)
{
    MHD_add_response_header(response, "Content-Type", type.constData());
    MHD_add_response_header(response, "Content-Security-Policy", kPolicy);
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result sendText(MHD_Connection *connection, unsigned int status, const QByteArray &text)
{
    return send(connection, status, bufferResponse(text + '\n'), "text/plain; charset=utf-8");
}

// The process's own figures, as Prometheus's client libraries name them.
QByteArray processMetrics()
{
    QFile statFile("/proc/self/stat");
    if (!statFile.open(QFile::ReadOnly))
        return QByteArray();
    const QByteArray stat = statFile.readAll();
    // Fields after the command name, which may hold spaces and parentheses.
    const QList<QByteArray> f = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const double tick = double(::sysconf(_SC_CLK_TCK));
    const double cpu = (f.value(11).toDouble() + f.value(12).toDouble()) / tick;
    const double startTicks = f.value(19).toDouble();
    const double virtualBytes = f.value(20).toDouble();
    const double residentBytes = f.value(21).toDouble() * double(::sysconf(_SC_PAGESIZE));
    double boot = 0;
    QFile systemStat("/proc/stat");
    if (systemStat.open(QFile::ReadOnly))
        for (const QByteArray &line : systemStat.readAll().split('\n'))
            if (line.startsWith("btime "))
                boot = line.mid(6).toDouble();
    rlimit files {};
    ::getrlimit(RLIMIT_NOFILE, &files);
    const int open = QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();

    QByteArray out;
    const auto metric = [&out](const char *name, const char *type, const char *help, double value) {
        out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n' + name + ' '
               + QByteArray::number(value, 'f', 2) + '\n';
    };
    metric("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.", cpu);
    metric("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", residentBytes);
    metric("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", virtualBytes);
    metric("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
           boot + startTicks / tick);
    metric("process_open_fds", "gauge", "Number of open file descriptors.", open);
    metric("process_max_fds", "gauge", "Maximum number of open file descriptors.", double(files.rlim_cur));
    return out;
}

} // namespace

// One /events client: where it is in the ring, and the message being sent.
struct BoardServer::Stream
{
    BoardServer *server;
    uint64_t next;     // the next event it gets
    QByteArray pending; // what is left of the message being sent
};

BoardServer::~BoardServer()
{
    if (!daemon)
        return;
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    changed.notify_all();
    MHD_stop_daemon(daemon);
}

void BoardServer::addFile(const QByteArray &path, const QByteArray &body, const QByteArray &type)
{
    files.insert(path, File{body, type});
}

bool BoardServer::start(const QString &address, quint16 port, QString *error)
{
    sockaddr_storage where {};
    auto *v4 = reinterpret_cast<sockaddr_in *>(&where);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&where);
    const QByteArray host = address.toLatin1();
    unsigned int flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD;
    if (::inet_pton(AF_INET, host.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
    } else if (::inet_pton(AF_INET6, host.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        flags |= MHD_USE_IPv6;
    } else {
        *error = QString("%1: not an IP address").arg(address);
        return false;
    }
    daemon = MHD_start_daemon(flags, port, nullptr, nullptr,
                              &BoardServer::handle, this,
                              MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&where),
                              MHD_OPTION_CONNECTION_LIMIT, unsigned(limits.connections),
                              MHD_OPTION_CONNECTION_TIMEOUT, unsigned(limits.idleSeconds),
                              // A request's header past this is refused (431) rather than read.
                              MHD_OPTION_CONNECTION_MEMORY_LIMIT, size_t(16 * 1024),
                              MHD_OPTION_THREAD_STACK_SIZE, size_t(256 * 1024),
                              MHD_OPTION_END);
    if (!daemon) {
        *error = QString("cannot serve the board on %1:%2: %3").arg(address).arg(port).arg(std::strerror(errno));
        return false;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
    boundPort = info ? info->port : port;
    return true;
}

void BoardServer::publish(const QByteArray &event)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        ring.push_back("data: " + event + "\n\n");
        ++nextSeq;
        while (int(ring.size()) > limits.ringEvents)
            ring.pop_front();
    }
    changed.notify_all();
}

void BoardServer::setSnapshot(const QByteArray &value)
{
    std::lock_guard<std::mutex> hold(lock);
    snapshot = value;
}

void BoardServer::setMetrics(const QByteArray &value)
{
    std::lock_guard<std::mutex> hold(lock);
    metrics = value;
}

int BoardServer::streamCount() const
{
    std::lock_guard<std::mutex> hold(lock);
    return streams;
}

MHD_Result BoardServer::handle(void *self, MHD_Connection *connection, const char *url, const char *method,
                               const char *, const char *, size_t *uploadSize, void **)
{
    // Answered as soon as the headers are in: nothing here reads a body.
    return static_cast<BoardServer *>(self)->answer(connection, url, method, uploadSize);
}

MHD_Result BoardServer::answer(MHD_Connection *connection, const char *url, const char *method, size_t *uploadSize)
{
    const QByteArray verb(method), path(url);
    if (verb != "GET" && verb != "HEAD") {
        MHD_Response *response = bufferResponse("read-only: GET and HEAD only\n");
        MHD_add_response_header(response, "Allow", "GET, HEAD");
        return send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, response, "text/plain; charset=utf-8");
    }
    // A body where none belongs is refused before it is read.
    const char *length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
    if (*uploadSize > 0 || (length && std::strcmp(length, "0") != 0)
        || MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Transfer-Encoding"))
        return sendText(connection, MHD_HTTP_CONTENT_TOO_LARGE, "no body expected");

    if (path == "/events")
        return openStream(connection);
    if (path == "/status") {
        std::lock_guard<std::mutex> hold(lock);
        return send(connection, MHD_HTTP_OK, bufferResponse(snapshot + '\n'), "application/json");
    }
    if (path == "/metrics") {
        QByteArray body;
        {
            std::lock_guard<std::mutex> hold(lock);
            body = metrics;
        }
        return send(connection, MHD_HTTP_OK, bufferResponse(body + processMetrics()),
                    "text/plain; version=0.0.4; charset=utf-8");
    }
    const auto file = files.constFind(path);
    if (file != files.cend())
        return send(connection, MHD_HTTP_OK, bufferResponse(file->body), file->type);
    return sendText(connection, MHD_HTTP_NOT_FOUND, "not found");
}

MHD_Result BoardServer::openStream(MHD_Connection *connection)
{
    auto *stream = new Stream{this, 0, QByteArray()};
    {
        std::lock_guard<std::mutex> hold(lock);
        if (streams >= limits.streams) {
            delete stream;
            return sendText(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "too many clients");
        }
        ++streams;
        // A page opened mid-shift is whole at once: the snapshot first, then
        // every event from now on.
        stream->next = nextSeq;
        stream->pending = "retry: 2000\ndata: " + snapshot + "\n\n";
    }
    MHD_Response *response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &BoardServer::readStream,
                                                               stream, &BoardServer::closeStream);
    MHD_add_response_header(response, "X-Accel-Buffering", "no");
    return send(connection, MHD_HTTP_OK, response, "text/event-stream");
}

// Runs on the client's own thread, which may wait here for the next event.
ssize_t BoardServer::readStream(void *opaque, uint64_t, char *buffer, size_t max)
{
    auto *stream = static_cast<Stream *>(opaque);
    BoardServer *server = stream->server;
    if (stream->pending.isEmpty()) {
        std::unique_lock<std::mutex> hold(server->lock);
        const auto quiet = std::chrono::seconds(server->limits.pingSeconds);
        server->changed.wait_for(hold, quiet, [&] { return server->stopping || stream->next < server->nextSeq; });
        if (server->stopping)
            return MHD_CONTENT_READER_END_OF_STREAM;
        const uint64_t oldest = server->nextSeq - server->ring.size();
        if (stream->next < oldest)
            return MHD_CONTENT_READER_END_WITH_ERROR; // fell behind what is kept: dropped
        while (stream->next < server->nextSeq)
            stream->pending += server->ring[size_t(stream->next++ - oldest)];
        if (stream->pending.isEmpty())
            stream->pending = ": ping\n\n";
    }
    const size_t n = qMin(max, size_t(stream->pending.size()));
    std::memcpy(buffer, stream->pending.constData(), n);
    stream->pending.remove(0, int(n));
    return ssize_t(n);
}

void BoardServer::closeStream(void *opaque)
{
    auto *stream = static_cast<Stream *>(opaque);
    {
        std::lock_guard<std::mutex> hold(stream->server->lock);
        --stream->server->streams;
    }
    delete stream;
}
