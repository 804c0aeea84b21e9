#ifndef YMODEMFILERECEIVE_H
#define YMODEMFILERECEIVE_H

#include "ymodemworker.h"

class IncomingFile;

// Receives one file over one serial port with YMODEM and stores it in the
// target folder under the name from block 0, cut to the announced size
// when block 0 announces one. The file appears under that name only whole,
// and an unfinished one leaves nothing behind (see IncomingFile).
class YmodemFileReceive : public YmodemWorker
{
    Q_OBJECT

public:
    explicit YmodemFileReceive(QObject *parent = nullptr);
    ~YmodemFileReceive() override;

    void setFilePath(const QString &path);

    bool startReceive();
    void stopReceive();

    int getReceiveProgress();
    Status getReceiveStatus();
    // Bytes of the file stored so far.
    qint64 storedBytes() const { return bytesDone; }

signals:
    void receiveProgress(int progress);
    void receiveStatus(YmodemFileReceive::Status status);

private:
    Code callback(Status status, unsigned char *buff, unsigned int *len) override;
    void step() override;
    void reportStatus(Status status) override;
    void dropFile() override;

    Code fail(Status ending, const QString &why);

    IncomingFile *file;

    QString  filePath;
    QString  fileName;
    uint64_t fileSize;
    uint64_t fileCount;
};

#endif // YMODEMFILERECEIVE_H
