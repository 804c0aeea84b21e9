#include "ymodemworker.h"
#include "serialline.h"

#include <QSerialPort>
#include <QTimer>

using SerialLine::ReadInterval;
using SerialLine::WriteInterval;

YmodemWorker::YmodemWorker(QObject *parent)
    : QObject(parent), Ymodem(SerialLine::TimeDivide, SerialLine::TimeMax, SerialLine::ErrorMax),
      readTimer(new QTimer), writeTimer(new QTimer), serialPort(new QSerialPort),
      progress(0), status(StatusEstablish)
{
    SerialLine::configure(serialPort, SerialLine::TransferBaudRate);

    connect(readTimer, SIGNAL(timeout()), this, SLOT(readTimeOut()));
    connect(writeTimer, SIGNAL(timeout()), this, SLOT(writeTimeOut()));
    // The peer's answer is acted on as it arrives rather than at the next
    // tick: up to 10 ms a block on the line otherwise. The tick still runs,
    // so silence is counted as before.
    connect(serialPort, &QSerialPort::readyRead, this, [this] {
        if (readTimer->isActive())
            readTimeOut();
    });
    // An unplugged adapter leaves nothing to wait for: fail now, not at the
    // idle limit. The port closes at once: a lost line would keep the loop
    // busy with errors until the ending closes it.
    SerialLine::watchForLoss(serialPort, this, [this] {
        // What arrived before the line went is still the peer's answer, the
        // ACK that ends a transfer among it.
        while (running() && serialPort->bytesAvailable() > 0)
            step();
        if (running())
            interrupt(StatusError, "the line was lost: the device went away or its port was closed");
        serialPort->close();
    });
}

YmodemWorker::~YmodemWorker()
{
    delete readTimer;
    delete writeTimer;
    delete serialPort;
}

void YmodemWorker::setPortName(const QString &name)
{
    serialPort->setPortName(name);
}

void YmodemWorker::setPortBaudRate(qint32 baudrate)
{
    serialPort->setBaudRate(baudrate, QSerialPort::AllDirections);
}

bool YmodemWorker::startTransfer()
{
    progress = 0;
    status = StatusEstablish;
    failure.clear();
    bytesDone = 0;

    if (!serialPort->open(QSerialPort::ReadWrite))
        return false;
    readTimer->start(ReadInterval);
    return true;
}

void YmodemWorker::stopTransfer()
{
    if (running())
        interrupt(StatusAbort);
}

void YmodemWorker::readTimeOut()
{
    readTimer->stop();
    step();
    if (running())
        readTimer->start(ReadInterval);
}

void YmodemWorker::writeTimeOut()
{
    writeTimer->stop();
    serialPort->close();
    reportStatus(status);
}

void YmodemWorker::endTransfer(Status ending, const QString &why)
{
    status = ending;
    // The first reason is the cause; what follows from it says less.
    if (failure.isEmpty())
        failure = why;
    writeTimer->start(WriteInterval);
}

bool YmodemWorker::running() const
{
    return status == StatusEstablish || status == StatusTransmit;
}

// Ends a running transfer from outside the engine: the engine is not stepped
// again, and the cancel bytes leave at once, so that they reach the device
// even when the program ends right after. The ending is set first: writing
// to a vanished port reports another error from inside the flush.
void YmodemWorker::interrupt(Status ending, const QString &why)
{
    endTransfer(ending, why);
    readTimer->stop();
    dropFile();
    abort();
    SerialLine::pushOut(serialPort);
}

uint32_t YmodemWorker::read(unsigned char *buff, unsigned int len)
{
    return SerialLine::readAvailable(serialPort, buff, len);
}

uint32_t YmodemWorker::write(unsigned char *buff, unsigned int len)
{
    return SerialLine::queue(serialPort, buff, len);
}
