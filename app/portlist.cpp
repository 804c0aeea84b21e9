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
