#include "testline.h"

#include "benchsupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

void setNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Most bytes a paced direction may save up while idle: a line does not
// catch up on time it spent waiting.
constexpr double BurstBytes = 64;

} // namespace

TestLine::TestLine() : TestLine(Options()) {}

TestLine::TestLine(const Options &options) : options(options)
{
    rng[0].seed(options.seed);
    rng[1].seed(options.seed ^ 0x9e3779b9u);
}

TestLine::~TestLine()
{
    stopping = true;
    if (worker.joinable())
        worker.join();
    for (End &e : ends) {
        closeFd(e.readFd);
        if (e.writeFd != e.readFd)
            closeFd(e.writeFd);
        e.writeFd = -1;
        closeFd(e.slaveFd);
        if (e.pid > 0) {
            ::kill(e.pid, SIGKILL);
            waitForChild(e.pid, -1);
        }
    }
}

QString TestLine::addPty()
{
    if (count >= 2)
        return QString();
    termios raw{};
    cfmakeraw(&raw);
    int master = -1, slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, &raw, nullptr) != 0)
        return QString();
    setNonBlocking(master);
    End &e = ends[count++];
    e.readFd = e.writeFd = master;
    e.slaveFd = slave;
    return QString::fromLocal8Bit(name);
}

bool TestLine::addProcess(const QStringList &argv, const QString &workDir, const QString &errorLog)
{
    if (count >= 2 || argv.isEmpty())
        return false;
    int toChild[2], fromChild[2];
    if (::pipe(toChild) != 0)
        return false;
    if (::pipe(fromChild) != 0) {
        ::close(toChild[0]);
        ::close(toChild[1]);
        return false;
    }

    const pid_t pid = startChild(argv, ChildStream::descriptor(toChild[0]), ChildStream::descriptor(fromChild[1]),
                                 ChildStream::file(errorLog.isEmpty() ? QString("/dev/null") : errorLog), workDir);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    if (pid < 0) {
        ::close(toChild[1]);
        ::close(fromChild[0]);
        return false;
    }
    setNonBlocking(toChild[1]);
    setNonBlocking(fromChild[0]);
    End &e = ends[count++];
    e.readFd = fromChild[0];
    e.writeFd = toChild[1];
    e.pid = pid;
    return true;
}

void TestLine::start()
{
    ::signal(SIGPIPE, SIG_IGN);
    worker = std::thread([this] { run(); });
}

void TestLine::cut(int end)
{
    std::lock_guard<std::mutex> lock(mutex);
    End &e = ends[end];
    e.readable = false;
    e.outbox.clear();
    if (e.writeFd != e.readFd)
        closeFd(e.writeFd);
    e.writeFd = -1;
    closeFd(e.readFd);
    closeFd(e.slaveFd);
}

QByteArray TestLine::sentBy(int end) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return ends[end].sent;
}

int TestLine::waitForProcess(int timeoutMs)
{
    for (End &e : ends) {
        if (e.pid <= 0)
            continue;
        const int code = waitForChild(e.pid, timeoutMs);
        if (code == StillRunning)
            return -1;
        e.pid = -1;
        exitStatus = code;
        return exitStatus;
    }
    return exitStatus;
}

void TestLine::carry(int from, const unsigned char *bytes, long n)
{
    End &to = ends[1 - from];
    std::mt19937 &random = rng[from];
    ends[from].sent.append(reinterpret_cast<const char *>(bytes), int(n));
    for (long i = 0; i < n; ++i) {
        unsigned char b = bytes[i];
        if (options.dropRate > 0 && chance(random) < options.dropRate)
            continue;
        if (options.flipRate > 0 && chance(random) < options.flipRate)
            b ^= static_cast<unsigned char>(1u << (random() % 8));
        to.outbox.push_back(b);
    }
}

void TestLine::deliver(End &to, double elapsed)
{
    if (to.writeFd < 0 || to.outbox.empty())
        return;
    size_t allowed = to.outbox.size();
    if (options.baud > 0) {
        to.credit = std::min(to.credit + elapsed * options.baud / 10.0, BurstBytes);
        allowed = std::min(allowed, size_t(to.credit));
    }
    unsigned char chunk[4096];
    const size_t n = std::min(allowed, sizeof chunk);
    if (n == 0)
        return;
    std::copy(to.outbox.begin(), to.outbox.begin() + long(n), chunk);
    const ssize_t put = ::write(to.writeFd, chunk, n);
    if (put > 0) {
        to.outbox.erase(to.outbox.begin(), to.outbox.begin() + put);
        to.credit -= double(put);
    }
}

void TestLine::run()
{
    auto last = std::chrono::steady_clock::now();
    while (!stopping) {
        pollfd fds[2];
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (int i = 0; i < 2; ++i)
                fds[i] = {ends[i].readable ? ends[i].readFd : -1, POLLIN, 0};
        }
        ::poll(fds, 2, 1);

        std::lock_guard<std::mutex> lock(mutex);
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            unsigned char buffer[4096];
            const ssize_t got = ::read(ends[i].readFd, buffer, sizeof buffer);
            if (got > 0)
                carry(i, buffer, got);
            else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                ends[i].readable = false; // the process ended, or the port is gone
        }
        const auto now = std::chrono::steady_clock::now();
        const double elapsed = std::chrono::duration<double>(now - last).count();
        last = now;
        for (End &e : ends)
            deliver(e, elapsed);
    }
}
