#ifndef YMODEMFILETRANSMIT_H
#define YMODEMFILETRANSMIT_H

#include "ymodem.h"

#include <QObject>

QT_BEGIN_NAMESPACE
class QFile;
class QTimer;
class QSerialPort;
QT_END_NAMESPACE

// Sends one file over one serial port with YMODEM, one engine step per
// 10 ms tick on the thread that owns it. Final statuses are emitted only
// after the port has been closed.
class YmodemFileTransmit : public QObject, public Ymodem
{
    Q_OBJECT

public:
    explicit YmodemFileTransmit(QObject *parent = nullptr);
    ~YmodemFileTransmit();

    void setFileName(const QString &name);

    void setPortName(const QString &name);
    void setPortBaudRate(qint32 baudrate);

    bool startTransmit();
    void stopTransmit();

    int getTransmitProgress();
    Status getTransmitStatus();

signals:
    void transmitProgress(int progress);
    void transmitStatus(YmodemFileTransmit::Status status);

private slots:
    void readTimeOut();
    void writeTimeOut();

private:
    Code callback(Status status, unsigned char *buff, unsigned int *len) override;

    uint32_t read(unsigned char *buff, unsigned int len) override;
    uint32_t write(unsigned char *buff, unsigned int len) override;

    Code buildBlockZero(unsigned char *buff, unsigned int *len);
    Code readBlock(unsigned char *buff, unsigned int *len);
    void endTransfer(Status ending);
    bool running() const;
    void interrupt(Status ending);

    QFile       *file;
    QTimer      *readTimer;
    QTimer      *writeTimer;
    QSerialPort *serialPort;

    int      progress;
    Status   status;
    uint64_t fileSize;
    uint64_t fileCount;
};

#endif // YMODEMFILETRANSMIT_H
