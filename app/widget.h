#ifndef WIDGET_H
#define WIDGET_H

#include "ymodemfilereceive.h"
#include "ymodemfiletransmit.h"

#include <QString>
#include <QWidget>

QT_BEGIN_NAMESPACE
namespace Ui {
class Widget;
}
class QMimeData;
class QSerialPort;
QT_END_NAMESPACE

// The upgrade window: takes a port, picks a firmware file, sends the boot
// preamble and hands the port to the transmit worker, then presents the
// worker's progress and outcome. Protocol work stays in the workers.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget();

    // The firmware for this run, as if chosen before the port was taken;
    // not remembered for the next run.
    void setFirmware(const QString &path);

    // A port named by hand, such as a simulator's link: listed and chosen
    // while it exists, though the system does not list it.
    void setPort(const QString &name);

private slots:
    void Sleep(int msec);

    void on_comButton_clicked();
    void on_transmitBrowse_clicked();
    void on_receiveBrowse_clicked();
    void on_transmitButton_clicked();
    void on_receiveButton_clicked();

    void transmitProgress(int progress);
    void receiveProgress(int progress);
    void transmitStatus(YmodemFileTransmit::Status status);
    void receiveStatus(YmodemFileReceive::Status status);

    void on_helpButton_clicked();

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    // What the window is doing. The controls follow from it alone: setPhase
    // sets every one of them from its row in one table.
    enum class Phase {
        Start,          // a new window: no port taken, the form's own texts
        Idle,           // no port taken
        PortOpen,       // a port taken, no firmware chosen
        FirmwareChosen, // a port taken and a firmware chosen: "Upgrade" can start
        Preamble,       // the AT lines go out on the port taken
        Upgrading,      // the worker sends the firmware; "Cancel" stops it
        Cancelling,     // cancelled and the port let go; the worker's outcome to come
        Outcome,        // the outcome's box is up; then Idle
        Receiving,      // the receive worker runs
    };
    void setPhase(Phase next);

    void endTransmit();
    void releasePort();
    void closePort();
    bool busy() const;
    void followSystemPorts();
    QStringList shownPorts() const;
    QString givenPortPresent() const;
    void portLost();
    void chooseFile(const QString &path);
    QString droppable(const QMimeData *mime) const;

    friend class tst_Widget; // shortens the workers' time limits

    Ui::Widget *ui;
    QSerialPort *serialPort;
    YmodemFileTransmit *ymodemFileTransmit;
    YmodemFileReceive *ymodemFileReceive;
    bool transmitButtonStatus;
    bool receiveButtonStatus;
    QString transmitFilePath;
    bool closing; // the window was closed: no new waits, no new transfer
    bool lineLost; // the port went away during the preamble
    QString heldPort;
    QString givenPort;
    Phase phase;
};

#endif // WIDGET_H
