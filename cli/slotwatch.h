#ifndef SLOTWATCH_H
#define SLOTWATCH_H

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

QT_BEGIN_NAMESPACE
class QSocketNotifier;
QT_END_NAMESPACE

// Tells, through inotify, when names come or go in a set of folders, so a
// station looks at its slots exactly when something changed there and at
// no other time. Every removal is reported by name, also when a new entry
// of the same name follows before anyone looked: a unit replugged at once
// onto the same node is still two units.
class SlotWatch : public QObject
{
    Q_OBJECT

public:
    explicit SlotWatch(QObject *parent = nullptr);
    ~SlotWatch() override;

    bool isValid() const { return fd >= 0; }
    // The folders to watch from now on; others are let go.
    void watch(const QSet<QString> &folders);

signals:
    // Full paths of the entries that came or went since the last time, and
    // of those among them that went away.
    void changed(const QSet<QString> &touched, const QSet<QString> &removed);

private:
    void readEvents();

    int fd = -1;
    QSocketNotifier *notifier = nullptr;
    QHash<QString, int> watches; // folder -> watch descriptor
    QHash<int, QString> folders;
};

#endif // SLOTWATCH_H
