#ifndef PEERS_H
#define PEERS_H

// The far end of a serial port: a pty the test plays, or a program (socat,
// lrzsz, the simulator, the flasher); and a record of what a worker emits.

#include "scriptedymodem.h"
#include "simreport.h"
#include "ymodemfilereceive.h"
#include "ymodemfiletransmit.h"

#include <QtTest>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <functional>
#include <random>

const int Establish = Ymodem::StatusEstablish, Transmit = Ymodem::StatusTransmit, Finish = Ymodem::StatusFinish,
          Abort = Ymodem::StatusAbort, Timeout = Ymodem::StatusTimeout, Error = Ymodem::StatusError;
const QByteArray kCancel(5, '\x18');

inline QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray b(size, Qt::Uninitialized);
    std::mt19937 rng(seed);
    for (char &c : b)
        c = char(rng());
    return b;
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QFile::WriteOnly) && f.write(data) == data.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QFile::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// A well-formed YMODEM frame around the payload, padded to 128 or 1024 bytes.
inline QByteArray frame(uint8_t number, const QByteArray &payload)
{
    const Bytes f = makeFrame(number, Bytes(payload.begin(), payload.end()));
    return QByteArray(reinterpret_cast<const char *>(f.data()), int(f.size()));
}

inline QByteArray sha256(const QByteArray &b) { return QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex(); }

// How many descriptors of this process have the given device open.
inline int openCount(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    const QDir fds("/proc/self/fd");
    int n = 0;
    for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot))
        n += QFileInfo(fds.filePath(fd)).symLinkTarget() == target;
    return n;
}

// A pty whose master the test holds; a worker opens path(). The slave stays
// open here too, so the pty lives while no port is open (one more count).
class PtyPeer
{
public:
    PtyPeer()
    {
        char name[128] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            ::fcntl(master, F_SETFL, O_NONBLOCK);
            path = QString::fromLocal8Bit(name);
        }
    }
    ~PtyPeer() { cut(); }
    PtyPeer(const PtyPeer &) = delete;

    void send(const QByteArray &bytes)
    {
        for (int off = 0; off < bytes.size();)
            off += int(qMax<ssize_t>(0, ::write(master, bytes.constData() + off, size_t(bytes.size() - off))));
    }
    // Everything received so far.
    const QByteArray &received()
    {
        char buffer[4096];
        for (ssize_t got; master >= 0 && (got = ::read(master, buffer, sizeof buffer)) > 0;)
            data.append(buffer, int(got));
        return data;
    }
    // Waits until at least `count` bytes have come, then removes and returns all.
    QByteArray take(int count = 0, int timeoutMs = 5000)
    {
        (void)QTest::qWaitFor([&] { return received().size() >= count; }, timeoutMs);
        return std::exchange(data, QByteArray());
    }
    // As an unplugged adapter: the worker's port reports its device gone.
    void cut()
    {
        for (int *fd : {&master, &slave})
            if (*fd >= 0)
                ::close(std::exchange(*fd, -1));
    }

    QString path;

private:
    int master = -1, slave = -1;
    QByteArray data;
};

// A program on the other end; its output lines are kept with the time they
// arrived, while the test's event loop runs.
class Peer : public QObject
{
public:
    struct Line { QByteArray text; qint64 ms; };
    Peer(const QString &program, const QStringList &args, const QString &workDir = QString())
    {
        connect(&process, &QProcess::readyReadStandardOutput, this, [this] {
            for (const QByteArray &line : process.readAllStandardOutput().split('\n'))
                if (!line.isEmpty()) {
                    lines << Line{line, clock.elapsed()};
                    if (onLine)
                        onLine(line);
                }
        });
        clock.start();
        process.setWorkingDirectory(workDir);
        process.start(program, args);
        process.waitForStarted();
    }
    ~Peer() override
    {
        process.terminate();
        if (!process.waitForFinished(3000))
            process.kill();
        process.waitForFinished(1000);
    }

    // The first line that starts with `head`, waiting up to timeoutMs for it;
    // or when it arrived (-1: not yet).
    QByteArray line(const QByteArray &head, int timeoutMs = 5000)
    {
        (void)QTest::qWaitFor([&] { return arrival(head) >= 0; }, timeoutMs);
        return first(head).text;
    }
    qint64 arrival(const QByteArray &head) const { return first(head).ms; }
    Line first(const QByteArray &head) const
    {
        for (const Line &l : lines)
            if (l.text.startsWith(head))
                return l;
        return {QByteArray(), -1};
    }
    // Its exit code after up to timeoutMs, or -1.
    int exitCode(int timeoutMs)
    {
        (void)QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
        return process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit
                   ? process.exitCode()
                   : -1;
    }

    QList<Line> lines;
    std::function<void(const QByteArray &)> onLine; // as each line arrives
    QProcess process;
    QElapsedTimer clock;
};

// socat between one pty, linked at `link`, and another pty or a program on pipes.
struct Socat : Peer
{
    Socat(const QString &link, const QString &other, const QString &workDir = QString())
        : Peer("socat", {"PTY,raw,echo=0,link=" + link, other}, workDir)
    {
        QTRY_VERIFY(QFile::exists(link));
        if (other.startsWith("PTY"))
            QTRY_VERIFY(QFile::exists(other.section("link=", 1)));
    }
};

// The device simulator, storing into its own folder; port is what to open.
struct SimDir { QTemporaryDir dir; };
struct Sim : SimDir, Peer
{
    explicit Sim(const QStringList &args)
        : Peer(QIVO_SIM, args + QStringList{"--dir", dir.path(), "--boot-ms", "800"}),
          port(SimReport::parse(line("port ")).path)
    {
    }
    QString port;
};

// What a worker emits, and whether it had closed its port (of which others
// hold othersOpen descriptors) by its outcome.
class WorkerLog
{
public:
    template <class Worker>
    WorkerLog(Worker *worker, const QString &port, int othersOpen)
    {
        auto onStatus = [this, port, othersOpen](Ymodem::Status s) {
            statuses << int(s);
            if (s >= Ymodem::StatusFinish) {
                finalStatus = int(s);
                portClosedAtFinal = openCount(port) == othersOpen;
                finalAfterMs = clock.isValid() ? clock.elapsed() : -1;
            }
        };
        auto onProgress = [this](int p) { progress << p; };
        if constexpr (std::is_same_v<Worker, YmodemFileTransmit>) {
            QObject::connect(worker, &YmodemFileTransmit::transmitProgress, onProgress);
            QObject::connect(worker, &YmodemFileTransmit::transmitStatus, onStatus);
        } else {
            QObject::connect(worker, &YmodemFileReceive::receiveProgress, onProgress);
            QObject::connect(worker, &YmodemFileReceive::receiveStatus, onStatus);
        }
    }

    bool ended() const { return finalStatus >= 0; }

    QList<int> progress, statuses;
    int finalStatus = -1;
    bool portClosedAtFinal = false;
    QElapsedTimer clock; // started by the test; finalAfterMs is the outcome's time on it
    qint64 finalAfterMs = -1;
};

#endif // PEERS_H
