#include "portjob.h"

#include "bootpreamble.h"
#include "firmwareimage.h"
#include "serialline.h"
#include "ymodemfiletransmit.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QTimer>

#include <cerrno>
#include <unistd.h>

QString openFailure(const QString &path, const QString &systemError)
{
    if (!QFileInfo::exists(path))
        return "missing: no such device (is it plugged in? --list shows the ports)";
    if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) != 0 && errno == EACCES)
        return "no permission; add yourself to the dialout group "
               "(sudo usermod -aG dialout $USER) and log in again";
    return QString("busy or not usable: %1 (is another program using it?)").arg(systemError);
}

PortJob::PortJob(const QString &port, const QString &device, const FirmwareImage &image, int baud, bool preamble,
                 QObject *parent)
    : QObject(parent), portName(port), device(device), image(image), baud(baud), preamble(preamble),
      wait(new QTimer(this))
{
    wait->setSingleShot(true);
    connect(wait, &QTimer::timeout, this, &PortJob::nextLine);
}

PortJob::~PortJob()
{
    delete line;
    delete worker;
}

qint64 PortJob::bytes() const
{
    if (result == Outcome::Success && state == Phase::Done)
        return image.size();
    return worker ? worker->acknowledgedBytes() : 0;
}

double PortJob::seconds() const
{
    if (state == Phase::Done)
        return elapsed;
    return clock.isValid() ? double(clock.nsecsElapsed()) / 1e9 : 0;
}

double PortJob::sendingSeconds() const
{
    return sending.isValid() ? double(sending.nsecsElapsed()) / 1e9 : 0;
}

void PortJob::start()
{
    clock.start();
    if (!preamble) {
        startTransfer();
        return;
    }
    line = new QSerialPort;
    line->setPortName(device);
    line->setBaudRate(baud, QSerialPort::AllDirections);
    line->setDataBits(QSerialPort::Data8);
    line->setParity(QSerialPort::NoParity);
    line->setStopBits(QSerialPort::OneStop);
    line->setFlowControl(QSerialPort::NoFlowControl);
    if (!line->open(QSerialPort::ReadWrite)) {
        finish(Outcome::PortError, openFailure(device, line->errorString()));
        return;
    }
    // A device that goes away while it restarts ends the attempt now, not
    // when the transfer finds no port.
    SerialLine::watchForLoss(line, this, [this] {
        if (state != Phase::Preamble)
            return;
        wait->stop();
        line->close();
        finish(Outcome::Failed, "the line was lost while the device was restarted into its boot loader");
    });
    state = Phase::Preamble;
    step = 0;
    nextLine();
}

// Writes the next AT line and waits; after the last wait the port goes to
// the worker.
void PortJob::nextLine()
{
    constexpr int count = int(sizeof BootPreamble::Steps / sizeof BootPreamble::Steps[0]);
    if (step == count) {
        line->close();
        startTransfer();
        return;
    }
    const BootPreamble::Step &s = BootPreamble::Steps[step++];
    if (s.transferRate)
        line->setBaudRate(BootPreamble::TransferBaudRate, QSerialPort::AllDirections);
    line->write(s.line, s.length);
    wait->start(s.waitMs);
}

void PortJob::startTransfer()
{
    worker = new YmodemFileTransmit;
    worker->setImage(image.handle(), image.name(), image.size(), image.sha256());
    worker->setPortName(device);
    worker->setPortBaudRate(BootPreamble::TransferBaudRate);
    connect(worker, &YmodemFileTransmit::transmitProgress, this, [this](int percent) {
        progress = percent;
        emit progressed(percent);
    });
    connect(worker, &YmodemFileTransmit::transmitStatus, this,
            [this](YmodemFileTransmit::Status status) { workerStatus(int(status)); });
    clock.start();
    state = Phase::Waiting;
    if (!worker->startTransmit()) {
        // The worker keeps its port to itself; a second attempt says why.
        QSerialPort probe(device);
        probe.open(QSerialPort::ReadWrite);
        finish(Outcome::PortError, openFailure(device, probe.errorString()));
    }
}

void PortJob::workerStatus(int status)
{
    switch (status) {
    case Ymodem::StatusEstablish:
        state = Phase::Sending;
        sending.start();
        break;
    case Ymodem::StatusTransmit:
        break;
    case Ymodem::StatusFinish:
        progress = 100;
        finish(Outcome::Success);
        break;
    case Ymodem::StatusAbort:
        finish(Outcome::Cancelled, stopping ? QString() : "the device cancelled");
        break;
    case Ymodem::StatusTimeout:
        finish(Outcome::Timeout, "the device never asked for the file (is it in its boot loader?)");
        break;
    default:
        finish(Outcome::Failed, worker->errorString().isEmpty()
                                    ? "the transfer failed (line errors, silence or a refusal)"
                                    : worker->errorString());
        break;
    }
}

void PortJob::cancel()
{
    if (state == Phase::Done || stopping)
        return;
    stopping = true;
    if (state == Phase::Preamble || state == Phase::Idle) {
        wait->stop();
        if (line) {
            // Let a line already queued leave whole rather than cut.
            line->flush();
            line->close();
        }
        finish(Outcome::Cancelled);
        return;
    }
    const Ymodem::Status status = worker->getTransmitStatus();
    if (status == Ymodem::StatusEstablish || status == Ymodem::StatusTransmit)
        worker->stopTransmit();
    // Otherwise the worker has its outcome and reports it shortly.
}

void PortJob::finish(Outcome outcome, const QString &error)
{
    if (state == Phase::Done)
        return;
    elapsed = seconds();
    result = outcome;
    why = error;
    state = Phase::Done;
    emit finished();
}
