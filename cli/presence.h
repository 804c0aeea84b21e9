#ifndef PRESENCE_H
#define PRESENCE_H

#include "usbport.h"

#include <QByteArray>
#include <QMap>
#include <QSet>
#include <QStringList>

#include <functional>

// One path as lstat() shows it.
struct PathNode
{
    bool exists = false;
    bool isLink = false;
    QString linkTarget; // absolute, for a link
    QString kind;       // for a node that is no link: empty for a character device, else "a folder", ...
    QByteArray identity; // the numbers the file system gives it: made again, it gets new ones
};

// The file system as a station looks at it; the tests give a made-up one.
class FileSystemView
{
public:
    virtual ~FileSystemView() = default;
    virtual PathNode node(const QString &path) const;
    virtual bool isFolder(const QString &path) const;
    virtual QString canonical(const QString &path) const;
};

// A device as a slot shows it.
struct Seen
{
    QString slot;
    QString port;
    QByteArray fingerprint; // the node and the links to it, as the file system numbers them
    QStringList chain;      // the slot's path, each link's target, the node
};

// What a station's slots show at one look.
struct Presence
{
    QMap<QString, Seen> devices;          // canonical device path -> how the first slot showing it saw it
    QSet<QString> folders;                // where the next change on the slots' way will show
    QStringList paths;                    // every path looked along
    QMap<QString, QString> misconfigured; // slot -> what it leads to instead of a serial device
};

// Follows every slot: a path link by link to its node, or a usb: selector to
// every port of `ports()` it matches (asked once, and only for usb: slots).
Presence findPresent(const QStringList &watched, const std::function<QList<PortInfo>()> &ports,
                     const FileSystemView &files);

// Whether the unit `device`, seen as `before`, has left by the look `now`:
// gone from its slot, made anew (other numbers), or with a name on its path
// removed in between (`removed`), whatever stands there now.
bool hasLeft(const QString &device, const Seen &before, const Presence &now, const QSet<QString> &removed);

#endif // PRESENCE_H
