#include "ptyline.h"

#include <QTimer>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

struct Speed
{
    speed_t code;
    int baud;
};

const Speed kSpeeds[] = {
    {B50, 50}, {B75, 75}, {B110, 110}, {B134, 134}, {B150, 150}, {B200, 200},
    {B300, 300}, {B600, 600}, {B1200, 1200}, {B1800, 1800}, {B2400, 2400},
    {B4800, 4800}, {B9600, 9600}, {B19200, 19200}, {B38400, 38400},
    {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
    {B500000, 500000}, {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
    {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000},
    {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

} // namespace

PtyLine::PtyLine(bool pace, QObject *parent)
    : QObject(parent), pace(pace), wake(new QTimer(this)), writeTimer(new QTimer(this))
{
    wake->setSingleShot(true);
    wake->setTimerType(Qt::PreciseTimer);
    connect(wake, &QTimer::timeout, this, &PtyLine::bytesArrived);
    writeTimer->setSingleShot(true);
    writeTimer->setTimerType(Qt::PreciseTimer);
    connect(writeTimer, &QTimer::timeout, this, &PtyLine::writeDue);
    clock.start();
}

PtyLine::~PtyLine()
{
    if (reader.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t put = ::write(stopFd, &one, sizeof one);
        reader.join();
    }
    for (const int fd : {masterFd, slaveFd, stopFd})
        if (fd >= 0)
            ::close(fd);
}

bool PtyLine::open(QString *error)
{
    char name[128] = {};
    if (openpty(&masterFd, &slaveFd, name, nullptr, nullptr) != 0) {
        *error = QString("cannot create a pseudo-terminal: %1").arg(std::strerror(errno));
        return false;
    }
    path = QString::fromLocal8Bit(name);
    fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    fcntl(slaveFd, F_SETFD, FD_CLOEXEC);
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);

    // A module's UART out of reset: raw 8N1 at the transfer rate. The tool
    // sets its own rate when it opens the port.
    termios tio {};
    tcgetattr(slaveFd, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tcsetattr(slaveFd, TCSANOW, &tio);

    stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (stopFd < 0) {
        *error = QString("cannot create an eventfd: %1").arg(std::strerror(errno));
        return false;
    }
    reader = std::thread(&PtyLine::readLoop, this);
    return true;
}

int PtyLine::baudRate() const
{
    termios tio {};
    if (tcgetattr(slaveFd, &tio) != 0)
        return 0;
    const speed_t code = cfgetospeed(&tio);
    for (const Speed &s : kSpeeds)
        if (s.code == code)
            return s.baud;
    return 0;
}

qint64 PtyLine::byteNs(int baud) const
{
    return pace && baud > 0 ? 10'000'000'000LL / baud : 0;
}

void PtyLine::setNoise(double rate, quint32 seed)
{
    noiseRate = rate;
    rng.seed(seed);
}

void PtyLine::flipBits(unsigned char *bytes, int len)
{
    if (!noiseOn || noiseRate <= 0)
        return;
    for (int i = 0; i < len; ++i)
        for (int bit = 0; bit < 8; ++bit)
            if (chance(rng) < noiseRate)
                bytes[i] ^= static_cast<unsigned char>(1u << bit);
}

// The rate a chunk came at is the rate in force when it is read, so it must
// be read at once: the tool switches to 115200 500 ms after writing at+boot,
// and an event loop that got round to the bytes later would put them at the
// new rate. Blocked in poll() and doing nothing else, this thread wakes as
// the bytes land; the rest happens on the object's own thread, in order.
// (A pty in packet mode with EXTPROC does report a change of the terminal
// settings, but ahead of bytes still unread, so it cannot order the two.)
void PtyLine::readLoop()
{
    pollfd fds[2] = {{masterFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    char buff[4096];
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN)) {
            ::poll(&fds[1], 1, 10); // hung up, which the kept slave prevents; no busy loop all the same
            continue;
        }
        const qint64 at = clock.nsecsElapsed();
        const int baud = baudRate();
        const ssize_t got = ::read(masterFd, buff, sizeof buff);
        if (got <= 0)
            continue;
        QMetaObject::invokeMethod(this, [this, bytes = QByteArray(buff, int(got)), at, baud] { arrive(bytes, at, baud); },
                                  Qt::QueuedConnection);
    }
}

void PtyLine::arrive(QByteArray bytes, qint64 at, int baud)
{
    flipBits(reinterpret_cast<unsigned char *>(bytes.data()), bytes.size());
    const Chunk chunk{bytes, qMax(at, incomingFree), byteNs(baud), baud, 0};
    incomingFree = chunk.start + chunk.byteNs * bytes.size();
    incoming.push_back(chunk);
    emit bytesArrived();
}

int PtyLine::arrivedIn(const Chunk &chunk, qint64 now) const
{
    const int size = chunk.bytes.size();
    if (chunk.byteNs == 0)
        return size;
    if (now <= chunk.start)
        return 0;
    return int(qMin<qint64>(size, (now - chunk.start) / chunk.byteNs));
}

int PtyLine::arrived() const
{
    const qint64 now = clock.nsecsElapsed();
    int count = 0;
    for (const Chunk &chunk : incoming) {
        const int in = arrivedIn(chunk, now);
        count += in - chunk.taken;
        if (in < chunk.bytes.size())
            break;
    }
    return count;
}

int PtyLine::peek(int index) const
{
    if (index >= arrived())
        return -1;
    for (const Chunk &chunk : incoming) {
        const int left = chunk.bytes.size() - chunk.taken;
        if (index < left)
            return static_cast<unsigned char>(chunk.bytes[chunk.taken + index]);
        index -= left;
    }
    return -1;
}

int PtyLine::take(unsigned char *buff, int len, int *baud)
{
    const qint64 now = clock.nsecsElapsed();
    int done = 0;
    while (done < len && !incoming.empty()) {
        Chunk &chunk = incoming.front();
        const int n = qMin(len - done, arrivedIn(chunk, now) - chunk.taken);
        if (n <= 0)
            break;
        std::memcpy(buff + done, chunk.bytes.constData() + chunk.taken, size_t(n));
        chunk.taken += n;
        done += n;
        if (baud)
            *baud = chunk.baud;
        if (chunk.taken < chunk.bytes.size())
            break;
        incoming.pop_front();
    }
    return done;
}

void PtyLine::discardArrived()
{
    unsigned char sink[4096];
    while (take(sink, sizeof sink) > 0) {
    }
}

// When the count-th byte not yet taken finishes arriving, in ns on `clock`.
qint64 PtyLine::arrivalOf(int count) const
{
    qint64 at = 0;
    for (const Chunk &chunk : incoming) {
        const int left = chunk.bytes.size() - chunk.taken;
        const int n = qMin(count, left);
        at = chunk.start + chunk.byteNs * (chunk.taken + n);
        count -= n;
        if (count == 0)
            break;
    }
    return at;
}

void PtyLine::notifyWhenArrived(int count)
{
    if (incoming.empty() || count <= 0)
        return;
    qint64 wait = arrivalOf(count) - clock.nsecsElapsed();
    // Timers have whole milliseconds; the last one is waited out here, so a
    // frame is answered as soon as its last byte is in, as a module's UART
    // interrupt would.
    if (wait > 0 && wait <= 2'000'000) {
        const timespec pause{0, long(wait)};
        nanosleep(&pause, nullptr);
        wait = 0;
    }
    if (wait <= 0) {
        QTimer::singleShot(0, this, &PtyLine::bytesArrived);
        return;
    }
    const int ms = int(wait / 1'000'000) - 1;
    if (!wake->isActive() || wake->remainingTime() > ms)
        wake->start(ms);
}

void PtyLine::send(const unsigned char *buff, int len)
{
    if (len <= 0)
        return;
    QByteArray bytes(reinterpret_cast<const char *>(buff), len);
    flipBits(reinterpret_cast<unsigned char *>(bytes.data()), len);
    // Written when the line starts carrying them: the module only ever sends
    // a few bytes at a time, and a pty cannot hand them over bit by bit.
    const qint64 start = qMax(clock.nsecsElapsed(), outgoingFree);
    outgoingFree = start + byteNs(baudRate()) * len;
    outgoing.push_back({bytes, start});
    writeDue();
}

void PtyLine::writeDue()
{
    const qint64 now = clock.nsecsElapsed();
    while (!outgoing.empty() && outgoing.front().due <= now) {
        QByteArray &bytes = outgoing.front().bytes;
        const ssize_t put = ::write(masterFd, bytes.constData(), size_t(bytes.size()));
        if (put < 0 && errno != EAGAIN && errno != EINTR) {
            outgoing.clear(); // nobody can read it any more
            return;
        }
        if (put < bytes.size()) {
            bytes.remove(0, int(qMax<ssize_t>(put, 0)));
            writeTimer->start(5); // the tool is not reading; try again shortly
            return;
        }
        outgoing.pop_front();
    }
    scheduleWrite();
}

void PtyLine::scheduleWrite()
{
    if (outgoing.empty())
        return;
    const qint64 wait = outgoing.front().due - clock.nsecsElapsed();
    writeTimer->start(int(qMax<qint64>(0, (wait + 999'999) / 1'000'000)));
}
