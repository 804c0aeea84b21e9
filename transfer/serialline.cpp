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

void configure(QSerialPort *port, int baud)
{
    port->setBaudRate(baud, QSerialPort::AllDirections);
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

// A line that is gone either has lost its device node (an unplugged
// adapter) or is hung up (the far end of a pty closed, or a tty hung up by
// its driver): both last, and from then on every read and write fails at
// once, as fast as the loop turns. So the line is looked at as soon as an
// error arrives, and a loss found then is acted on before the next turn of
// the loop; only an error that shows neither is looked at again later, as a
// node that goes away may still be there a moment after its first error.
// Looking is one stat and one poll: enumerating ports here would make the
// storm a livelock.
void watchForLoss(QSerialPort *port, QObject *context, std::function<void()> onLoss)
{
    auto *check = new QTimer(context);
    check->setSingleShot(true);
    const auto lost = [port] {
        return port->isOpen() && (hungUp(port) || !QFileInfo::exists(systemLocation(port->portName())));
    };
    QObject::connect(check, &QTimer::timeout, context, [lost, onLoss] {
        if (lost())
            onLoss();
    });
    QObject::connect(port, &QSerialPort::errorOccurred, check, [check, lost](QSerialPort::SerialPortError error) {
        const bool lineError = error == QSerialPort::ResourceError || error == QSerialPort::ReadError
                               || error == QSerialPort::WriteError;
        if (!lineError || (check->isActive() && check->interval() == 0))
            return;
        // Not from inside the port's own signal: the owner may close it.
        check->start(lost() ? 0 : LossCheckDelay);
    });
}

} // namespace SerialLine
