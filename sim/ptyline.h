#ifndef PTYLINE_H
#define PTYLINE_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <deque>
#include <random>
#include <thread>

QT_BEGIN_NAMESPACE
class QTimer;
QT_END_NAMESPACE

// The module's end of a serial line: the master side of a pseudo-terminal.
// A pty moves bytes as fast as they are written, so when paced this end
// releases incoming bytes and writes outgoing ones no faster than a UART at
// the rate the tool has set (10 bits a byte), which is what makes the tool
// see a real line's speed. Optional bit flips act on both directions.
// A thread of its own reads the master side as soon as bytes are there and
// notes the rate in force at that moment (see readLoop()).
class PtyLine : public QObject
{
    Q_OBJECT

public:
    explicit PtyLine(bool pace, QObject *parent = nullptr);
    ~PtyLine() override;

    bool open(QString *error);
    QString slavePath() const { return path; }

    // The rate the tool's end is set to, read from the terminal settings;
    // 0 when it is not a standard rate. Safe from any thread.
    int baudRate() const;

    // Chance per bit that it flips; only while enabled.
    void setNoise(double rate, quint32 seed);
    void setNoiseEnabled(bool on) { noiseOn = on; }

    // Bytes that have finished arriving and are not taken yet.
    int arrived() const;
    // One of them, by position; -1 past the end.
    int peek(int index) const;
    // Takes up to len arrived bytes; *baud gets the rate the last one came at.
    int take(unsigned char *buff, int len, int *baud = nullptr);
    // Drops what has arrived.
    void discardArrived();
    // Emits bytesArrived when the count-th byte not taken yet has arrived,
    // or the last one on the line if fewer are there.
    void notifyWhenArrived(int count);

    void send(const unsigned char *buff, int len);
    bool sending() const { return !outgoing.empty(); }

signals:
    void bytesArrived();

private slots:
    void writeDue();

private:
    struct Chunk
    {
        QByteArray bytes;
        qint64 start;  // ns on `clock` when its first byte begins to arrive
        qint64 byteNs; // 0 when not paced
        int baud;
        int taken;
    };
    struct Outgoing
    {
        QByteArray bytes;
        qint64 due; // ns on `clock` when it goes onto the line
    };

    void readLoop();
    void arrive(QByteArray bytes, qint64 at, int baud);
    qint64 byteNs(int baud) const;
    qint64 arrivalOf(int count) const;
    int arrivedIn(const Chunk &chunk, qint64 now) const;
    void flipBits(unsigned char *bytes, int len);
    void scheduleWrite();

    const bool pace;
    QString path;
    int masterFd = -1;
    int slaveFd = -1; // kept open: the line stays up while the tool has no port open
    int stopFd = -1;  // an eventfd that ends the reader
    std::thread reader;
    QTimer *wake;
    QTimer *writeTimer;
    QElapsedTimer clock;

    std::deque<Chunk> incoming;
    qint64 incomingFree = 0; // when the incoming direction is next idle
    std::deque<Outgoing> outgoing;
    qint64 outgoingFree = 0;

    bool noiseOn = false;
    double noiseRate = 0;
    std::mt19937 rng;
    std::uniform_real_distribution<double> chance{0.0, 1.0};
};

#endif // PTYLINE_H
