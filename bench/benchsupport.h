#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

// What the benchmarks share: their images, the programs they start by hand
// and wait for, the CPU time those use, and how figures are printed.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// Writes size bytes of a seeded stream to path: std::mt19937, one byte a
// draw, as tests/support's randomBytes makes them. False if it could not.
bool writeRandomFile(const QString &path, qint64 size, quint32 seed);

// Where a child's standard input, output or error goes: one of our
// descriptors, else a file (read for input, made anew for output and
// error), else where ours goes.
struct ChildStream
{
    int fd = -1;
    QString path;

    static ChildStream descriptor(int fd) { return {fd, QString()}; }
    static ChildStream file(const QString &path) { return {-1, path}; }
};

// Starts argv (argv[0] looked up on PATH unless it holds a '/') in workDir
// (empty: ours), with no descriptor of ours beyond its three streams: a
// child holding another run's pipe or pty open would keep that run's far
// end from seeing it close. Its pid, or -1. A child that cannot set up its
// streams or folder exits with 126, one that cannot start argv[0] with 127.
pid_t startChild(const QStringList &argv, const ChildStream &in = {}, const ChildStream &out = {},
                 const ChildStream &err = {}, const QString &workDir = QString());

// What waitForChild returns for a child that has not ended.
constexpr int StillRunning = -2;

// Waits up to timeoutMs (-1: as long as it takes) for child pid to end,
// looking every 10 ms (a look that finds it running is followed by those
// 10 ms, also with timeoutMs 0), and reaps it. Its exit code, -1 if a signal
// ended it (or it is no child to wait for), or StillRunning. With cpuSeconds,
// also the CPU time it used in all, read just before it is reaped.
int waitForChild(pid_t pid, int timeoutMs, double *cpuSeconds = nullptr);

// As waitForChild, but a child still running after timeoutMs is asked to
// stop (SIGTERM, which lets the flasher release its port's lock file), and
// killed if it has not ended 3 s later; then StillRunning.
int stopChildAfter(pid_t pid, int timeoutMs);

// The CPU time (user and system) a process has used so far, in seconds, for
// a running process or one that has ended but is not reaped yet; -1 if it
// cannot be read.
double cpuSeconds(pid_t pid);

// Takes the whole lines off the front of pending, without their line ends,
// and leaves an unfinished last line there.
QList<QByteArray> takeLines(QByteArray &pending);

// Prints a line of figures on standard output at once.
void printLine(const QString &line);

// The load averages over 1, 5 and 15 minutes, or "?".
QString loadAverage();

#endif // BENCHSUPPORT_H
