#include "receivedfile.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum Standing { Free, Regular, Other };

// Hidden, and random so that no number of leftovers can use them up. The
// name is cut so that the whole stays within 255 bytes.
QByteArray hiddenNameFor(const QByteArray &name)
{
    return '.' + name.left(200) + '.' + QByteArray::number(QRandomGenerator::system()->generate64(), 36) + ".part";
}

} // namespace

bool ReceivedFile::open(const QString &folder, const QString &fileName)
{
    discard();
    name = QFile::encodeName(fileName);
    if (name.isEmpty() || name == "." || name == ".." || name.contains('/'))
        return false;
    // Every step below is relative to this one folder, even if its path
    // changes meaning while the file comes in.
    dirFd = ::open(folder.isEmpty() ? "." : QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0 || standing() == Other) {
        discard();
        return false;
    }
    // An unnamed file is named later through its /proc link; without /proc
    // it could not be kept.
    if (::access("/proc/self/fd", X_OK) == 0) {
        fd = ::openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        // Only a file system (or kernel) without unnamed files gets a named one.
        if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            discard();
            return false;
        }
    }
    // A clash of random names is a fluke, not a leftover: a few tries do.
    for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
        hiddenName = hiddenNameFor(name);
        fd = ::openat(dirFd, hiddenName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            hiddenName.clear();
            if (errno != EEXIST)
                break;
        }
    }
    if (fd < 0) {
        discard();
        return false;
    }
    return true;
}

bool ReceivedFile::write(const void *data, qint64 len)
{
    const char *at = static_cast<const char *>(data);
    while (fd >= 0 && len > 0) {
        const ssize_t put = ::write(fd, at, size_t(len));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        at += put;
        len -= put;
    }
    return fd >= 0;
}

// On disk before it takes the name, so that a crash never leaves a short
// file where a whole one was; the folder is synced for the name itself.
bool ReceivedFile::keep()
{
    const bool kept = fd >= 0 && ::fsync(fd) == 0 && (hiddenName.isEmpty() ? nameUnnamed() : nameNamed());
    if (kept)
        ::fsync(dirFd);
    discard();
    return kept;
}

void ReceivedFile::discard()
{
    if (fd >= 0)
        ::close(std::exchange(fd, -1));
    if (!hiddenName.isEmpty())
        ::unlinkat(dirFd, std::exchange(hiddenName, QByteArray()).constData(), 0);
    if (dirFd >= 0)
        ::close(std::exchange(dirFd, -1));
}

// The rule of block 0 holds up to the last moment: what appeared under the
// name meanwhile is replaced only if it is a regular file.
int ReceivedFile::standing() const
{
    struct stat there;
    if (::fstatat(dirFd, name.constData(), &there, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Free : Other;
    return S_ISREG(there.st_mode) ? Regular : Other;
}

// linkat() by the descriptor itself (AT_EMPTY_PATH) needs a capability;
// following its /proc link does not. A name that is taken is replaced by a
// rename from a second, hidden link, which is atomic where a link is not.
bool ReceivedFile::nameUnnamed()
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    if (::linkat(AT_FDCWD, self.constData(), dirFd, name.constData(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != EEXIST || standing() != Regular)
        return false;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QByteArray hidden = hiddenNameFor(name);
        if (::linkat(AT_FDCWD, self.constData(), dirFd, hidden.constData(), AT_SYMLINK_FOLLOW) == 0) {
            if (::renameat(dirFd, hidden.constData(), dirFd, name.constData()) == 0)
                return true;
            ::unlinkat(dirFd, hidden.constData(), 0);
            return false;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// File systems without unnamed files often have no hard links either
// (FAT): a rename is all there is.
bool ReceivedFile::nameNamed()
{
    if (standing() == Other || ::renameat(dirFd, hiddenName.constData(), dirFd, name.constData()) != 0)
        return false;
    hiddenName.clear();
    return true;
}
