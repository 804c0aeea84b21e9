#ifndef RECEIVEDFILE_H
#define RECEIVEDFILE_H

#include <QByteArray>
#include <QString>

// A file on its way into a folder under a name the sender chose in block 0.
// Until it is kept it has no name at all (an unnamed temporary file, which
// the kernel frees however the process ends, SIGKILL included), or, on a
// file system without those, a hidden random one that discard() removes.
// Kept, it takes its name whole and on disk, replacing a regular file there
// in one step; never anything else, and never outside the folder.
// Shared by the receive worker and the device simulator.
class ReceivedFile
{
public:
    ReceivedFile() = default;
    ~ReceivedFile() { discard(); }
    ReceivedFile(const ReceivedFile &) = delete;
    ReceivedFile &operator=(const ReceivedFile &) = delete;

    // Starts a file for `name` in `folder` (empty: the working directory).
    // Refused for a name that is not a plain file name, and when a link, a
    // FIFO, a folder or anything but a regular file stands under it.
    bool open(const QString &folder, const QString &name);
    bool isOpen() const { return fd >= 0; }

    // All of len bytes or failure, as on a full disk.
    bool write(const void *data, qint64 len);

    // Synced, then named; closed either way, and on failure nothing is left.
    bool keep();
    // Closed, and nothing of it left in the folder.
    void discard();

private:
    bool nameUnnamed();
    bool nameNamed();
    int standing() const;

    int dirFd = -1;
    int fd = -1;
    QByteArray name;
    QByteArray hiddenName; // only on file systems without unnamed files
};

#endif // RECEIVEDFILE_H
