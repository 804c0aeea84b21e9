#ifndef UPGRADEJOB_H
#define UPGRADEJOB_H

#include "outcome.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class FirmwareImage;
class YmodemFileTransmit;
QT_BEGIN_NAMESPACE
class QSerialPort;
class QTimer;
QT_END_NAMESPACE

// One device's upgrade: the boot preamble on a port of its own, then the
// transmit worker. Everything waits on timers, so any number of jobs share
// one event loop. The one way to upgrade a device outside the window.
class UpgradeJob : public QObject
{
    Q_OBJECT

public:
    enum class Phase { Idle, Preamble, Waiting, Sending, Done };

    // `port` names the job in reports; `device` is the path it opens.
    // `image` stays open while the job runs.
    UpgradeJob(const QString &port, const QString &device, const FirmwareImage &image, int baud, bool preamble,
               QObject *parent = nullptr);
    ~UpgradeJob() override;

    void start();
    // Stops the job: cancel bytes out if the transfer runs, the port closed.
    // Harmless when the job has ended or is already ending.
    void cancel();

    QString port() const { return portName; }
    Phase phase() const { return currentPhase; }
    bool cancelling() const { return stopping; }
    int percent() const { return progress; }
    qint64 bytes() const;
    double seconds() const;
    double sendingSeconds() const; // since block 0 went out; 0 before
    Outcome outcome() const { return ending; }
    QString error() const { return failureReason; }

signals:
    void progressed(int percent);
    // Entered Preamble, Waiting or Sending.
    void phaseChanged(UpgradeJob::Phase phase);
    void finished();

private:
    void nextLine();
    void startTransfer();
    void workerStatus(int status);
    void finish(Outcome outcome, const QString &error = QString());
    void enter(Phase phase);

    const QString portName;
    const QString device;
    const FirmwareImage &image;
    const int baud;
    const bool preamble;

    QSerialPort *preambleLine = nullptr;
    YmodemFileTransmit *worker = nullptr;
    QTimer *wait;
    int nextStep = 0;
    Phase currentPhase = Phase::Idle;
    bool stopping = false;
    int progress = 0;
    QElapsedTimer clock;   // from the transfer's start (the preamble's when none)
    QElapsedTimer sending; // from block 0
    double elapsed = 0;
    Outcome ending = Outcome::Failed;
    QString failureReason;
};

// Why the device at `path` did not open, in words a user can act on.
QString openFailure(const QString &path, const QString &systemError);

#endif // UPGRADEJOB_H
