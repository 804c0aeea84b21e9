#ifndef RAWPORT_H
#define RAWPORT_H

// The far end of a pty, driven by the test as a scripted YMODEM peer.

#include <QByteArray>
#include <QString>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <vector>

class RawPort
{
public:
    explicit RawPort(const QString &path)
    {
        fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            termios raw{};
            ::tcgetattr(fd, &raw);
            ::cfmakeraw(&raw);
            ::tcsetattr(fd, TCSANOW, &raw);
        }
    }
    ~RawPort()
    {
        if (fd >= 0)
            ::close(fd);
    }
    RawPort(const RawPort &) = delete;
    RawPort &operator=(const RawPort &) = delete;

    bool isOpen() const { return fd >= 0; }

    void send(const QByteArray &bytes)
    {
        for (int off = 0; off < bytes.size();) {
            const ssize_t put = ::write(fd, bytes.constData() + off, size_t(bytes.size() - off));
            if (put > 0)
                off += int(put);
            else
                ::usleep(1000);
        }
    }

    // Everything received so far; the test polls it while the event loop runs.
    const QByteArray &received()
    {
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
            data.append(buffer, int(got));
        return data;
    }

    // Removes and returns what has been received so far.
    QByteArray take()
    {
        received();
        QByteArray all = data;
        data.clear();
        return all;
    }

private:
    int fd = -1;
    QByteArray data;
};

inline QByteArray toQByteArray(const std::vector<uint8_t> &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

#endif // RAWPORT_H
