#ifndef YMODEMFILETRANSMIT_H
#define YMODEMFILETRANSMIT_H

#include "ymodem.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QObject>
#include <QString>

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
    // Instead of the file name: the image is read from `fd` (left open by
    // the caller, and read without moving its offset), goes out as `name`
    // in block 0, and must be `size` bytes with the SHA-256 `sha256` (hex).
    // Bytes that differ end the transfer before the end of the file is
    // announced, with StatusError and errorString() saying so: a success
    // then always means exactly those bytes.
    void setImage(int fd, const QByteArray &name, qint64 size, const QByteArray &sha256);

    void setPortName(const QString &name);
    void setPortBaudRate(qint32 baudrate);

    bool startTransmit();
    void stopTransmit();

    int getTransmitProgress();
    Status getTransmitStatus();
    // Why the last transfer failed, where the worker knows more than its
    // status says; empty otherwise.
    QString errorString() const { return failure; }
    // Bytes of the file the device has acknowledged so far.
    qint64 acknowledgedBytes() const { return acknowledged; }

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
    qint64 readImage(unsigned char *buff, qint64 len);
    Code imageChanged();
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

    int imageFd = -1; // -1: the file is opened by name
    QByteArray imageName;
    qint64 imageSize = 0;
    QByteArray imageSha256;
    QCryptographicHash sent{QCryptographicHash::Sha256};
    QString failure;
    qint64 acknowledged = 0;
};

#endif // YMODEMFILETRANSMIT_H
