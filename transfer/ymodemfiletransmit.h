#ifndef YMODEMFILETRANSMIT_H
#define YMODEMFILETRANSMIT_H

#include "ymodemworker.h"

#include <QByteArray>
#include <QCryptographicHash>

QT_BEGIN_NAMESPACE
class QFile;
QT_END_NAMESPACE

// Sends one file over one serial port with YMODEM.
class YmodemFileTransmit : public YmodemWorker
{
    Q_OBJECT

public:
    explicit YmodemFileTransmit(QObject *parent = nullptr);
    ~YmodemFileTransmit() override;

    void setFileName(const QString &name);
    // Instead of the file name: the image is read from `fd` (left open by
    // the caller, and read without moving its offset), goes out as `name`
    // in block 0, and must be `size` bytes with the SHA-256 `sha256` (hex).
    // Bytes that differ end the transfer before the end of the file is
    // announced, with StatusError and errorString() saying so: a success
    // then always means exactly those bytes.
    void setImage(int fd, const QByteArray &name, qint64 size, const QByteArray &sha256);

    bool startTransmit();
    void stopTransmit();

    int getTransmitProgress();
    Status getTransmitStatus();
    // Bytes of the file the device has acknowledged so far.
    qint64 acknowledgedBytes() const { return bytesDone; }

signals:
    void transmitProgress(int progress);
    void transmitStatus(YmodemFileTransmit::Status status);

private:
    Code callback(Status status, unsigned char *buff, unsigned int *len) override;
    void step() override;
    void reportStatus(Status status) override;
    void dropFile() override;

    Code buildBlockZero(unsigned char *buff, unsigned int *len);
    Code readBlock(unsigned char *buff, unsigned int *len);
    qint64 readImage(unsigned char *buff, qint64 len);
    Code fail(const QString &why = QString());

    QFile *file;

    uint64_t fileSize;
    uint64_t fileCount;

    int imageFd = -1; // -1: the file is opened by name
    QByteArray imageName;
    qint64 imageSize = 0;
    QByteArray imageSha256;
    QCryptographicHash sent{QCryptographicHash::Sha256};
};

#endif // YMODEMFILETRANSMIT_H
