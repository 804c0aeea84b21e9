#ifndef PORTLIST_H
#define PORTLIST_H

#include <QStringList>

// The port selector's items and its current one (-1: none).
struct PortChoice
{
    QStringList ports;
    int current;
};

// The selector after the system's ports have become `system`: their names in
// the system's order, the current name kept while it exists, else the first.
// A held port freezes the selector, so the list never changes under the user.
PortChoice followPorts(const PortChoice &shown, const QStringList &system, bool held);

#endif // PORTLIST_H
