#ifndef PORTLIST_H
#define PORTLIST_H

#include <QString>
#include <QStringList>

// The port selector's items and its current one (-1: none).
struct PortChoice
{
    QStringList ports;
    int current;
};

// The item that opens where `name` does, or -1: "ttyUSB0" and "/dev/ttyUSB0"
// are one port.
int findPort(const QStringList &ports, const QString &name);

// The selector after the system's ports have become `system`: their names in
// the system's order, the current name kept while it exists, else the first.
// `given` is a port named on the command line that exists now (empty if
// none): it follows the system's ports unless they list it already, and it
// becomes current when it comes into the list, being the port asked for.
// A held port freezes the selector, so the list never changes under the user.
PortChoice followPorts(const PortChoice &shown, const QStringList &system, bool held, const QString &given);

// Whether the list is behind the given port (none if empty): it exists
// (`present`) but `shown` does not list it, or the other way round.
bool givenMoved(const QStringList &shown, const QString &given, bool present);

// The window looks at its ports twice a second. Where /dev is watched the
// list follows its changes, except while a port is held (taken, or in an
// upgrade or a receive); what came or went meanwhile shows once the hold
// ends, and a given port that came or went shows at the first look while
// nothing is held. Where /dev cannot be watched every look follows. A look
// starts with what the window holds then; the window lets go of a port it
// finds lost; follow() ends the look with what it holds now and says whether
// the list must follow.
class PortWatch
{
public:
    explicit PortWatch(bool devWatched) : devWatched(devWatched) {}
    void start(bool held) { wasHeld = wasHeld || held; } // also held since the last look and lost now
    bool follow(bool held, bool givenMoved);

private:
    bool devWatched;
    bool wasHeld = false;
};

// What the window does when the device of the port it holds goes away (a
// line error, or its node gone at a look): during the preamble, where the
// window holds the open port, it closes it and the preamble ends as failed;
// a port taken and idle is released as "Close Port" would, with a box. A
// transfer's loss is the worker's to report, and a closing window does
// nothing.
enum class PortLoss { Ignored, EndsPreamble, Released };
PortLoss portLoss(bool taken, bool busy, bool open, bool closing);

#endif // PORTLIST_H
