#ifndef REQUEST_H
#define REQUEST_H

#include "firmwareimage.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// What the command line asks for, checked before any port is touched.
struct Request
{
    // One port of a one-shot run.
    struct Target
    {
        QString port;   // as reported: the name as QSerialPort takes it
        QString device; // what it opens: the device path, each once
    };

    QString file;        // as given, for people and JSON
    FirmwareImage image; // opened and hashed once: what every port is sent
    QList<Target> targets;
    int baud = 115200;
    bool preamble = true;
    bool json = false;
    bool quiet = false;
    // Station: the selectors as given are slots, watched until a signal.
    bool watch = false;
    QStringList watched; // the slots, as paths or usb: selectors
    int retries = 0;
    QString record; // JSON Lines file appended to per attempt; empty: none
    QString http;   // [ADDRESS:]PORT of the board; empty: none
};

// Reads and checks the command line; `raw` holds the arguments' bytes, for
// names that are not valid text. Returns -1 when `request` is ready to run,
// otherwise the exit code of a run that ends here (help, version, the port
// list, bad usage, a USB identity that names no single port); what to say
// has then been written.
int readRequest(const QStringList &arguments, const QList<QByteArray> &raw, Request *request);

#endif // REQUEST_H
