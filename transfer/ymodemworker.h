#ifndef YMODEMWORKER_H
#define YMODEMWORKER_H

#include "ymodem.h"

#include <QObject>
#include <QString>

QT_BEGIN_NAMESPACE
class QTimer;
class QSerialPort;
QT_END_NAMESPACE

// What the transmit and the receive worker share: one serial port, the
// engine stepped every 10 ms on the thread that owns it (and as soon as
// the peer's bytes arrive), the ending, and the loss of the line. A final
// status is reported only after the port has been closed. A worker adds
// its callback, its file and its two signals.
class YmodemWorker : public QObject, public Ymodem
{
    Q_OBJECT

public:
    void setPortName(const QString &name);
    void setPortBaudRate(qint32 baudrate);

    // Why the last transfer failed, where the worker knows more than its
    // status says; empty otherwise.
    QString errorString() const { return failure; }

protected:
    explicit YmodemWorker(QObject *parent);
    ~YmodemWorker() override;

    // Opens the port and starts stepping; false when the port did not open.
    bool startTransfer();
    // Cancels a running transfer; once the outcome is known a stop changes
    // nothing and sends nothing, so a late cancel cannot turn a success
    // into a cancel.
    void stopTransfer();

    // The final status, 100 ms from now, after the port has been closed.
    void endTransfer(Status ending, const QString &why = QString());
    bool running() const;

    QTimer      *readTimer;
    QTimer      *writeTimer;
    QSerialPort *serialPort;

    int    progress;
    Status status;
    qint64 bytesDone = 0; // acknowledged by the receiver, or stored

private slots:
    void readTimeOut();
    void writeTimeOut();

private:
    // One engine step: transmit() or receive().
    virtual void step() = 0;
    // Emits the worker's own status signal.
    virtual void reportStatus(Status status) = 0;
    // Lets go of the file when a transfer is ended from outside the engine.
    virtual void dropFile() = 0;

    uint32_t read(unsigned char *buff, unsigned int len) override;
    uint32_t write(unsigned char *buff, unsigned int len) override;

    void interrupt(Status ending, const QString &why = QString());

    QString failure;
};

#endif // YMODEMWORKER_H
