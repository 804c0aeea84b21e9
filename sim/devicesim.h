#ifndef DEVICESIM_H
#define DEVICESIM_H

#include "ymodem.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>

class PtyLine;
class IncomingFile;
QT_BEGIN_NAMESPACE
class QTimer;
QT_END_NAMESPACE

// A QIVO module as the upgrade tool meets it: it answers the AT lines,
// restarts into its boot loader after "at+update" and then receives one file
// with the engine's receiving side, storing it in its folder. It reports what
// it saw on standard output, one line per event, and rate mismatches on
// standard error.
class DeviceSim : public QObject, public Ymodem
{
    Q_OBJECT

public:
    struct Options
    {
        QString dir;
        int baud = 115200; // rate the first AT lines are expected at
        int bootMs = 1000;
        bool once = false;
        bool silent = false;
        bool noBoot = false;
        bool inBootLoader = false; // from the start, without the AT lines
        bool eotAckFirst = false;
        int cancelAfter = -1; // data blocks to accept before cancelling; -1: never
        int nakAfter = -1;    // data blocks to accept before answering each with NAK; -1: never
    };

    DeviceSim(const Options &options, PtyLine *line, QObject *parent = nullptr);
    ~DeviceSim() override;

signals:
    // After one upgrade with Options::once: 0 when a file was stored and
    // every line came at its rate.
    void done(int exitCode);

private slots:
    void lineActive();
    void step();
    void enterBootLoader();

private:
    enum Mode { Commands, Restarting, BootLoader };

    Code callback(Status status, unsigned char *buff, unsigned int *len) override;
    uint32_t read(unsigned char *buff, unsigned int len) override;
    uint32_t write(unsigned char *buff, unsigned int len) override;

    void collectCommands();
    void command(const QByteArray &bytes, int baud);
    bool unitArrived(int *missing) const;
    Code openFile(const unsigned char *block);
    Code storeBlock(const unsigned char *buff, unsigned int len);
    void end(const QString &outcome);

    const Options options;
    PtyLine *line;
    QTimer *tick;
    Mode mode = Commands;
    QByteArray pendingLine;
    int rateErrors = 0;

    std::unique_ptr<IncomingFile> file;
    int blocks = 0;
    bool ended = false;
    bool eotSeen = false;
    bool injectEot = false;
    bool dropNak = false;
    QElapsedTimer transferClock;
};

#endif // DEVICESIM_H
