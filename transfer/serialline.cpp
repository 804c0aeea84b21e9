#include "serialline.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QTimer>

#include <poll.h>

namespace SerialLine {

namespace {

bool hungUp(QSerialPort *port)
{
    pollfd line{int(port->handle()), POLLIN | POLLOUT, 0};
    return ::poll(&line, 1, 0) > 0 && (line.revents & (POLLHUP | POLLERR | POLLNVAL));
}

} // namespace

QString systemLocation(const QString &portName)
{
    const bool path = portName.startsWith('/') || portName.startsWith("./") || portName.startsWith("../");
    return path ? portName : "/dev/" + portName;
}

void applyDefaults(QSerialPort *port)
{
    port->setPortName("COM1");
    port->setBaudRate(115200, QSerialPort::AllDirections);
    port->setDataBits(QSerialPort::Data8);
    port->setStopBits(QSerialPort::OneStop);
    port->setParity(QSerialPort::NoParity);
    port->setFlowControl(QSerialPort::NoFlowControl);
}

quint32 readAvailable(QSerialPort *port, unsigned char *buff, unsigned int len)
{
    const qint64 got = port->read(reinterpret_cast<char *>(buff), len);
    return got > 0 ? quint32(got) : 0;
}

quint32 queue(QSerialPort *port, const unsigned char *buff, unsigned int len)
{
    const qint64 put = port->write(reinterpret_cast<const char *>(buff), len);
    return put > 0 ? quint32(put) : 0;
}

void pushOut(QSerialPort *port)
{
    if (port->isOpen())
        port->flush();
}

// A read error alone proves nothing: a pty reports passing ones while its
// other side is reopened, and the transfer carries on. A line that is gone
// either has lost its device node (an unplugged adapter, a moment after its
// first error) or stays hung up (the far end of a pty closed): then every
// read fails at once, and errors arrive as fast as the loop turns. So one
// check per port at a time, and it only stats the node and polls the
// descriptor: enumerating ports here would make the storm a livelock.
void watchForLoss(QSerialPort *port, QObject *context, std::function<void()> onLoss)
{
    auto *check = new QTimer(context);
    check->setSingleShot(true);
    check->setInterval(LossCheckDelay);
    QObject::connect(check, &QTimer::timeout, context, [port, onLoss] {
        if (port->isOpen() && (hungUp(port) || !QFileInfo::exists(systemLocation(port->portName()))))
            onLoss();
    });
    QObject::connect(port, &QSerialPort::errorOccurred, check, [check](QSerialPort::SerialPortError error) {
        const bool lineError = error == QSerialPort::ResourceError || error == QSerialPort::ReadError
                               || error == QSerialPort::WriteError;
        if (lineError && !check->isActive())
            check->start();
    });
}

} // namespace SerialLine
