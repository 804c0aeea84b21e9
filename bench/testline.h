#ifndef TESTLINE_H
#define TESTLINE_H

// A serial line between two ends that the test controls. An end is either a
// pseudo-terminal, whose slave path a worker opens as its serial port, or a
// process (such as lrzsz) talking through pipes. A thread carries the bytes,
// optionally paced to a baud rate (10 bits a byte) and with seeded faults.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

class TestLine
{
public:
    struct Options
    {
        int baud = 0;           // 0: as fast as the ends take bytes
        double flipRate = 0;    // chance per byte that one bit flips
        double dropRate = 0;    // chance per byte that it is lost
        uint32_t seed = 1;
    };

    TestLine();
    explicit TestLine(const Options &options);
    ~TestLine();
    TestLine(const TestLine &) = delete;
    TestLine &operator=(const TestLine &) = delete;

    // Adds end 0, then end 1. Returns the path to open, or empty on failure.
    QString addPty();
    // Starts argv[0] with its standard input and output on the line, in
    // workDir; its standard error goes to errorLog when one is given.
    bool addProcess(const QStringList &argv, const QString &workDir, const QString &errorLog = QString());

    // Starts carrying bytes; both ends must have been added.
    void start();
    // Closes an end's side of the line: a pty end sees its port vanish.
    void cut(int end);

    // Every byte an end has sent, before faults.
    QByteArray sentBy(int end) const;
    // Waits up to timeoutMs for the process end to exit; its exit code, or -1.
    int waitForProcess(int timeoutMs);

private:
    struct End
    {
        int readFd = -1;
        int writeFd = -1;
        int slaveFd = -1; // kept open so the pty stays up while no port is open
        int pid = -1;
        bool readable = true;
        std::deque<unsigned char> outbox; // bytes on their way to this end
        double credit = 0;
        QByteArray sent;
    };

    void run();
    void carry(int from, const unsigned char *bytes, long count);
    void deliver(End &to, double elapsedSeconds);

    Options options;
    End ends[2];
    int count = 0;
    std::mt19937 rng[2]; // one per direction: a byte's fate hangs only on its place in its own stream
    std::uniform_real_distribution<double> chance{0.0, 1.0};
    mutable std::mutex mutex;
    std::atomic<bool> stopping{false};
    std::thread worker;
    int exitStatus = -1;
};

#endif // TESTLINE_H
