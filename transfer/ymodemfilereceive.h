#ifndef YMODEMFILERECEIVE_H
#define YMODEMFILERECEIVE_H

#include "ymodem.h"

#include <QObject>
#include <QString>

class ReceivedFile;
QT_BEGIN_NAMESPACE
class QTimer;
class QSerialPort;
QT_END_NAMESPACE

// Receives one file over one serial port with YMODEM and stores it in the
// target folder under the name from block 0, cut to the announced size
// when block 0 announces one. The file appears under that name only whole,
// and an unfinished one leaves nothing behind (see ReceivedFile).
// Final statuses are emitted only after the port has been closed.
class YmodemFileReceive : public QObject, public Ymodem
{
    Q_OBJECT

public:
    explicit YmodemFileReceive(QObject *parent = nullptr);
    ~YmodemFileReceive();

    void setFilePath(const QString &path);

    void setPortName(const QString &name);
    void setPortBaudRate(qint32 baudrate);

    bool startReceive();
    void stopReceive();

    int getReceiveProgress();
    Status getReceiveStatus();

signals:
    void receiveProgress(int progress);
    void receiveStatus(YmodemFileReceive::Status status);

private slots:
    void readTimeOut();
    void writeTimeOut();

private:
    Code callback(Status status, unsigned char *buff, unsigned int *len) override;

    uint32_t read(unsigned char *buff, unsigned int len) override;
    uint32_t write(unsigned char *buff, unsigned int len) override;

    Code openFromBlockZero(const unsigned char *buff);
    Code storeBlock(const unsigned char *buff, unsigned int len);
    void endTransfer(Status ending);
    bool running() const;
    void interrupt(Status ending);

    ReceivedFile *file;
    QTimer      *readTimer;
    QTimer      *writeTimer;
    QSerialPort *serialPort;

    int      progress;
    Status   status;
    QString  filePath;
    QString  fileName;
    uint64_t fileSize;
    uint64_t fileCount;
    bool     sizeKnown;
};

#endif // YMODEMFILERECEIVE_H
