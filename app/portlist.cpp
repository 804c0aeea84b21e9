#include "portlist.h"

PortChoice followPorts(const PortChoice &shown, const QStringList &system, bool held)
{
    if (held)
        return shown;
    const int kept = system.indexOf(shown.ports.value(shown.current));
    return {system, kept >= 0 || system.isEmpty() ? kept : 0};
}
