#include "serialline.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTimer>

namespace SerialLine {

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
// other side is reopened, and the transfer carries on. An unplugged adapter
// also takes its device node, a moment after its first error.
void watchForLoss(QSerialPort *port, QObject *context, std::function<void()> onLoss)
{
    QObject::connect(port, &QSerialPort::errorOccurred, context,
                     [port, context, onLoss](QSerialPort::SerialPortError error) {
                         if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)
                             return;
                         QTimer::singleShot(LossCheckDelay, context, [port, onLoss] {
                             if (port->isOpen() && !QFileInfo::exists(QSerialPortInfo(*port).systemLocation()))
                                 onLoss();
                         });
                     });
}

} // namespace SerialLine
