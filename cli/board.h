#ifndef BOARD_H
#define BOARD_H

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QVector>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class BoardServer;
class FirmwareImage;

// What the station's slots show, kept from the events the flasher prints
// (--json's objects, whatever the output mode): one tile per slot, or per
// port of a usb: family, and the counts behind /metrics. It feeds the
// terminal board and, with serve(), the board in the browser.
class Board
{
public:
    struct Tile
    {
        QString slot;
        QString port;
        QString state = "waiting"; // preamble, booting, flashing, an outcome, misconfigured
        qint64 since = 0;          // ms since the epoch
        QString unit;
        int attempt = 0;
        int percent = 0;
        qint64 bytes = 0;
        double rate = 0;
        QString error;
    };

    // `watched`: the slots as given (paths or usb: selectors), in order; `station` for
    // --watch. `tally` gives the units' counts (units, first_pass, ...)
    // as the run keeps them.
    Board(const FirmwareImage &image, const QString &file, bool station, const QStringList &watched,
          std::function<QJsonObject()> tally);
    ~Board();

    // Serves the board on ADDR:PORT (ADDR 127.0.0.1 when left out).
    bool serve(const QString &address, QString *error);
    quint16 port() const;
    // Where it is served, as a browser takes it.
    QString url() const { return servedAt; }

    void event(const QJsonObject &event);

    QList<Tile> tiles() const;
    QJsonObject snapshot() const;
    QByteArray metrics() const;

    // "PORT", ":PORT", "ADDRESS:PORT" or "[IPV6]:PORT"; the address
    // 127.0.0.1 when left out. False when `given` is none of those.
    static bool parseAddress(const QString &given, QString *host, quint16 *port);

    // A failure's reason as a label: a short fixed set, whatever the words.
    static QString reasonOf(const QString &error);

private:
    void update();
    Tile &tile(const QString &slot, const QString &port);

    const FirmwareImage &image;
    const QString file;
    const bool station;
    const QStringList slotOrder;
    const std::function<QJsonObject()> tally;
    const qint64 started;
    QMap<QString, Tile> byPort;
    QStringList order; // ports in the order their tiles were made

    QMap<QString, qint64> attempts; // by outcome
    QMap<QString, qint64> failures; // by reason
    qint64 bytesSent = 0;
    QVector<qint64> durationBuckets;  // one per bound below, then +Inf
    double durationSum = 0;
    qint64 durationCount = 0;

    std::unique_ptr<BoardServer> server;
    QString servedAt;
};

#endif // BOARD_H
