#include "portlist.h"

#include "serialline.h"

int findPort(const QStringList &ports, const QString &name)
{
    const QString place = SerialLine::systemLocation(name);
    for (int i = 0; i < ports.size(); ++i)
        if (SerialLine::systemLocation(ports[i]) == place)
            return i;
    return -1;
}

PortChoice followPorts(const PortChoice &shown, const QStringList &system, bool held, const QString &given)
{
    if (held)
        return shown;
    QStringList ports = system;
    if (!given.isEmpty() && findPort(ports, given) < 0)
        ports << given;
    if (!given.isEmpty() && findPort(shown.ports, given) < 0)
        return {ports, findPort(ports, given)};
    const int kept = ports.indexOf(shown.ports.value(shown.current));
    return {ports, kept >= 0 || ports.isEmpty() ? kept : 0};
}

bool givenMoved(const QStringList &shown, const QString &given, bool present)
{
    return !given.isEmpty() && present != (findPort(shown, given) >= 0);
}

bool PortWatch::follow(bool held, bool givenMoved)
{
    const bool now = !devWatched || (wasHeld && !held) || (!held && givenMoved);
    wasHeld = held;
    return now;
}

PortLoss portLoss(bool taken, bool busy, bool open, bool closing)
{
    if (closing)
        return PortLoss::Ignored;
    if (busy)
        return open ? PortLoss::EndsPreamble : PortLoss::Ignored;
    return taken ? PortLoss::Released : PortLoss::Ignored;
}
