#include "benchsupport.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

bool writeRandomFile(const QString &path, qint64 size, quint32 seed)
{
    std::mt19937 rng(seed);
    QByteArray bytes(int(size), Qt::Uninitialized);
    for (char &c : bytes)
        c = char(rng());
    QFile f(path);
    return f.open(QFile::WriteOnly) && f.write(bytes) == size;
}

pid_t startChild(const QStringList &argv, const ChildStream &in, const ChildStream &out, const ChildStream &err,
                 const QString &workDir)
{
    if (argv.isEmpty())
        return -1;
    // Everything the child needs is made before the fork.
    std::vector<QByteArray> storage;
    for (const QString &arg : argv)
        storage.push_back(arg.toLocal8Bit());
    std::vector<char *> args;
    for (QByteArray &arg : storage)
        args.push_back(arg.data());
    args.push_back(nullptr);
    const ChildStream streams[3] = {in, out, err};
    QByteArray paths[3];
    for (int i = 0; i < 3; ++i)
        paths[i] = QFile::encodeName(streams[i].path);
    const QByteArray dir = QFile::encodeName(workDir);

    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    int fds[3];
    for (int i = 0; i < 3; ++i) {
        fds[i] = streams[i].fd >= 0 ? streams[i].fd
               : paths[i].isEmpty() ? i
               : ::open(paths[i].constData(), i == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fds[i] < 0)
            ::_exit(126);
    }
    for (int i = 0; i < 3; ++i)
        if (fds[i] != i)
            ::dup2(fds[i], i);
    for (int fd = 3; fd < 1024; ++fd)
        ::close(fd);
    if (!dir.isEmpty() && ::chdir(dir.constData()) != 0)
        ::_exit(126);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

int waitForChild(pid_t pid, int timeoutMs, double *cpu)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        // Seen ended but left unreaped, so that its CPU time can be read.
        siginfo_t info {};
        const int flags = WEXITED | WNOWAIT | (timeoutMs < 0 ? 0 : WNOHANG);
        if (::waitid(P_PID, id_t(pid), &info, flags) != 0 && errno != EINTR)
            return -1;
        if (info.si_pid == pid) {
            if (cpu)
                *cpu = cpuSeconds(pid);
            int status = 0;
            ::waitpid(pid, &status, 0);
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (timeoutMs < 0)
            continue;
        ::usleep(10000);
        if (waited.elapsed() > timeoutMs)
            return StillRunning;
    }
}

int stopChildAfter(pid_t pid, int timeoutMs)
{
    const int code = waitForChild(pid, timeoutMs);
    if (code != StillRunning)
        return code;
    ::kill(pid, SIGTERM);
    if (waitForChild(pid, 3000) == StillRunning) {
        ::kill(pid, SIGKILL);
        waitForChild(pid, -1);
    }
    return StillRunning;
}

double cpuSeconds(pid_t pid)
{
    clockid_t clock;
    timespec used {};
    if (::clock_getcpuclockid(pid, &clock) != 0 || ::clock_gettime(clock, &used) != 0)
        return -1;
    return double(used.tv_sec) + double(used.tv_nsec) / 1e9;
}

QList<QByteArray> takeLines(QByteArray &pending)
{
    QList<QByteArray> lines;
    for (int end; (end = pending.indexOf('\n')) >= 0;) {
        lines << pending.left(end);
        pending.remove(0, end + 1);
    }
    return lines;
}

void printLine(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

QString loadAverage()
{
    QFile f("/proc/loadavg");
    return f.open(QFile::ReadOnly) ? QString::fromLatin1(f.readAll()).section(' ', 0, 2) : QString("?");
}
