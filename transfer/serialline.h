#ifndef SERIALLINE_H
#define SERIALLINE_H

#include <QString>

#include <functional>

QT_BEGIN_NAMESPACE
class QObject;
class QSerialPort;
QT_END_NAMESPACE

// What both transfer workers do with their port, in one place.
namespace SerialLine {

constexpr int ReadInterval = 10;   // ms between engine steps
constexpr int WriteInterval = 100; // ms from an ending to the final status
constexpr int LossCheckDelay = 300; // ms from a line error that shows no loss to looking again

// The engine counts time in steps. At one step per ReadInterval, 500 quiet
// steps (TimeDivide + 1) are 5 s before the last packet is repeated, and
// six such periods (TimeMax + 1) are 30 s before it gives up. ErrorMax
// repeats leave room for a long noisy line without letting a peer that
// asks for the same thing for ever keep the transfer alive.
constexpr unsigned int TimeDivide = 499;
constexpr unsigned int TimeMax = 5;
constexpr unsigned int ErrorMax = 999;

// The rate of every YMODEM transfer, whatever the AT lines before it used.
constexpr int TransferBaudRate = 115200;

// Where QSerialPort opens a port name on Linux (Qt 5.15 and 6.4 alike): a
// path starting with '/', './' or '../' as given, anything else under /dev.
QString systemLocation(const QString &portName);

// `baud` both ways, 8N1, no flow control: how every port here is opened.
void configure(QSerialPort *port, int baud);

// Takes only bytes that have already arrived; 0 for none and for errors.
quint32 readAvailable(QSerialPort *port, unsigned char *buff, unsigned int len);

// Queues bytes without waiting for them to leave.
quint32 queue(QSerialPort *port, const unsigned char *buff, unsigned int len);

// Hands queued bytes to the device now, for when the program may end
// before its event loop would have written them.
void pushOut(QSerialPort *port);

// Calls onLoss, in context, when the open port's line is gone: after a line
// error its device node has disappeared (an unplugged adapter) or it is
// hung up (the far end closed). onLoss should close the port: a lost line
// reports errors as fast as the event loop turns.
void watchForLoss(QSerialPort *port, QObject *context, std::function<void()> onLoss);

} // namespace SerialLine

#endif // SERIALLINE_H
