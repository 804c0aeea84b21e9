#include "upgradejob.h"

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

UpgradeJob::UpgradeJob(const QString &port, const QString &device, const FirmwareImage &image, int baud, bool preamble,
                 QObject *parent)
    : QObject(parent), portName(port), device(device), image(image), baud(baud), preamble(preamble),
      wait(new QTimer(this))
{
    wait->setSingleShot(true);
    connect(wait, &QTimer::timeout, this, &UpgradeJob::nextLine);
}

UpgradeJob::~UpgradeJob()
{
    delete preambleLine;
    delete worker;
}

qint64 UpgradeJob::bytes() const
{
    return worker ? worker->acknowledgedBytes() : 0;
}

double UpgradeJob::seconds() const
{
    if (currentPhase == Phase::Done)
        return elapsed;
    return clock.isValid() ? double(clock.nsecsElapsed()) / 1e9 : 0;
}

double UpgradeJob::sendingSeconds() const
{
    return sending.isValid() ? double(sending.nsecsElapsed()) / 1e9 : 0;
}

void UpgradeJob::start()
{
    clock.start();
    if (!preamble) {
        startTransfer();
        return;
    }
    preambleLine = new QSerialPort(device);
    SerialLine::configure(preambleLine, baud);
    if (!preambleLine->open(QSerialPort::ReadWrite)) {
        finish(Outcome::PortError, openFailure(device, preambleLine->errorString()));
        return;
    }
    // A device that goes away while it restarts ends the attempt now, not
    // when the transfer finds no port.
    SerialLine::watchForLoss(preambleLine, this, [this] {
        if (currentPhase != Phase::Preamble)
            return;
        wait->stop();
        preambleLine->close();
        finish(Outcome::Failed, "the line was lost while the device was restarted into its boot loader");
    });
    enter(Phase::Preamble);
    nextStep = 0;
    nextLine();
}

// Writes the next AT line and waits; after the last wait the port goes to
// the worker.
void UpgradeJob::nextLine()
{
    constexpr int count = int(sizeof BootPreamble::Steps / sizeof BootPreamble::Steps[0]);
    if (nextStep == count) {
        preambleLine->close();
        startTransfer();
        return;
    }
    const BootPreamble::Step &s = BootPreamble::Steps[nextStep++];
    if (s.transferRate)
        preambleLine->setBaudRate(BootPreamble::TransferBaudRate, QSerialPort::AllDirections);
    preambleLine->write(s.line, s.length);
    wait->start(s.waitMs);
}

void UpgradeJob::startTransfer()
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
    enter(Phase::Waiting);
    if (!worker->startTransmit()) {
        // The worker keeps its port to itself; a second attempt says why.
        QSerialPort probe(device);
        probe.open(QSerialPort::ReadWrite);
        finish(Outcome::PortError, openFailure(device, probe.errorString()));
    }
}

void UpgradeJob::workerStatus(int status)
{
    switch (status) {
    case Ymodem::StatusEstablish:
        enter(Phase::Sending);
        sending.start();
        break;
    case Ymodem::StatusTransmit:
        break;
    case Ymodem::StatusFinish:
        progress = 100;
        finish(Outcome::Success);
        break;
    case Ymodem::StatusAbort:
        finish(Outcome::Cancelled, worker->errorString());
        break;
    case Ymodem::StatusTimeout:
        finish(Outcome::Timeout, worker->errorString());
        break;
    default:
        finish(Outcome::Failed, worker->errorString());
        break;
    }
}

void UpgradeJob::cancel()
{
    if (currentPhase == Phase::Done || stopping)
        return;
    stopping = true;
    if (currentPhase == Phase::Preamble || currentPhase == Phase::Idle) {
        wait->stop();
        if (preambleLine) {
            // Let a line already queued leave whole rather than cut.
            preambleLine->flush();
            preambleLine->close();
        }
        finish(Outcome::Cancelled);
        return;
    }
    const Ymodem::Status status = worker->getTransmitStatus();
    if (status == Ymodem::StatusEstablish || status == Ymodem::StatusTransmit)
        worker->stopTransmit();
    // Otherwise the worker has its outcome and reports it shortly.
}

void UpgradeJob::finish(Outcome outcome, const QString &error)
{
    if (currentPhase == Phase::Done)
        return;
    elapsed = seconds();
    ending = outcome;
    failureReason = error;
    currentPhase = Phase::Done;
    emit finished();
}

void UpgradeJob::enter(Phase phase)
{
    currentPhase = phase;
    emit phaseChanged(phase);
}
