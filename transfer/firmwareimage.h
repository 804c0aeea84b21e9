#ifndef FIRMWAREIMAGE_H
#define FIRMWAREIMAGE_H

#include <QByteArray>
#include <QString>

// A firmware image opened once for a whole run: what is hashed, reported
// and sent is the file that was opened, whatever later happens to its path.
// The path is kept as bytes: a name that is not valid UTF-8 is still a name.
class FirmwareImage
{
public:
    FirmwareImage() = default;
    ~FirmwareImage();
    FirmwareImage(const FirmwareImage &) = delete;
    FirmwareImage &operator=(const FirmwareImage &) = delete;

    // Opens a regular file without blocking on it (a FIFO or a device has no
    // size to announce), reads its size and hashes it. On failure *error
    // says why, in words for a user.
    bool open(const QByteArray &path, QString *error);

    // SHA-256 of what the path names now, hex; empty when it cannot be read.
    static QByteArray hashOf(const QByteArray &path);

    int handle() const { return fd; }
    QByteArray path() const { return filePath; }
    QByteArray name() const; // the last path component, as block 0 carries it
    QString displayName() const; // the path for people and JSON
    qint64 size() const { return fileSize; }
    QByteArray sha256() const { return digest; } // hex

private:
    int fd = -1;
    QByteArray filePath;
    qint64 fileSize = 0;
    QByteArray digest;
};

#endif // FIRMWAREIMAGE_H
