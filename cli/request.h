#ifndef REQUEST_H
#define REQUEST_H

#include <QString>
#include <QStringList>

// What the command line asks for, checked before any port is touched.
struct Request
{
    QString file;      // as given
    qint64 fileSize = 0;
    QStringList ports;   // as reported: the name as QSerialPort takes it
    QStringList devices; // what each opens: the device path, each once
    int baud = 115200;
    bool preamble = true;
    bool json = false;
    bool quiet = false;
};

// Reads and checks the command line. Returns -1 when `request` is ready to
// run, otherwise the exit code of a run that ends here (help, version, the
// port list, bad usage, a USB identity that names no single port); what to
// say has then been written.
int readRequest(const QStringList &arguments, Request *request);

#endif // REQUEST_H
