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

#endif // PORTLIST_H
