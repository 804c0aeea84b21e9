#include "slotwatch.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// Entries that come and go, folders that are removed or made: enough to see
// a node, a link or a folder on a slot's path change, and nothing that a
// working line does to its own node (reads, writes, attributes).
constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF
                             | IN_ONLYDIR;

} // namespace

SlotWatch::SlotWatch(QObject *parent)
    : QObject(parent), fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    if (fd < 0)
        return;
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SlotWatch::readEvents);
}

SlotWatch::~SlotWatch()
{
    if (fd >= 0)
        ::close(fd);
}

void SlotWatch::watch(const QSet<QString> &wanted)
{
    if (fd < 0)
        return;
    for (auto it = watches.begin(); it != watches.end();) {
        if (wanted.contains(it.key())) {
            ++it;
            continue;
        }
        ::inotify_rm_watch(fd, it.value());
        folders.remove(it.value());
        it = watches.erase(it);
    }
    for (const QString &folder : wanted) {
        if (watches.contains(folder))
            continue;
        const int wd = ::inotify_add_watch(fd, QFile::encodeName(folder).constData(), kEvents);
        if (wd < 0)
            continue; // not there (yet): its parent is watched instead
        watches.insert(folder, wd);
        folders.insert(wd, folder);
    }
}

void SlotWatch::readEvents()
{
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    QSet<QString> touched, removed;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            const QString folder = folders.value(event->wd);
            if (event->mask & IN_IGNORED) {
                // The folder itself went: watched again once it is back.
                watches.remove(folder);
                folders.remove(event->wd);
            } else if (event->len > 0 && !folder.isEmpty()) {
                const QString path = folder + '/' + QFile::decodeName(event->name);
                touched.insert(path);
                if (event->mask & (IN_DELETE | IN_MOVED_FROM))
                    removed.insert(path);
            } else {
                touched.insert(folder); // the folder itself came or went
            }
        }
    }
    if (!touched.isEmpty())
        emit changed(touched, removed);
}
