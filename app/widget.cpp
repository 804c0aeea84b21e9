#include "widget.h"
#include "ui_widget.h"

#include "bootpreamble.h"
#include "portlist.h"
#include "serialline.h"

#include <QDebug>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFontDatabase>
#include <QMessageBox>
#include <QMimeData>
#include <QMovie>
#include <QPushButton>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSettings>
#include <QTimer>
#include <QUrl>

#include <iterator>

namespace {

const char *const ActiveButtonStyle =
    "border:0px;color:white;background:#006AC6;border-radius:18px;padding:2px 4px;";
const char *const InactiveButtonStyle =
    "border:0px;color:white;background:#909090;border-radius:18px;padding:2px 4px;";

// True exactly while the port button offers "Close Port".
bool button_status = false;

// A held port's node is looked at twice a second (one stat), so a pulled
// adapter is let go within a second. Enumerating the ports costs a few
// milliseconds, too much for that pace: it follows changes in /dev instead,
// once udev has had time to describe a new node, and once more to be sure.
// Only where /dev cannot be watched is it done at the held port's pace.
const int PortWatchInterval = 500;
const int PortSettleMs[] = {200, 800};

// The last run's choices: ~/.config/QIVO/qivo-dfu.conf.
const char *const SettingsOrganization = "QIVO";
const char *const SettingsApplication = "qivo-dfu";

QStringList systemPorts()
{
    QStringList names;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        names << info.portName();
    return names;
}

// What the worker can send: a regular file (or a link to one) it may read.
bool sendableFile(const QString &path)
{
    const QFileInfo info(path);
    return !path.isEmpty() && info.isFile() && info.isReadable();
}

void setUsable(QPushButton *button, bool usable)
{
    button->setEnabled(usable);
    button->setStyleSheet(usable ? ActiveButtonStyle : InactiveButtonStyle);
}

// A modal box with the single button "Close", which is also the default.
void showCloseBox(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text)
{
    QMessageBox box(icon, title, text, QMessageBox::NoButton, parent);
    box.setDefaultButton(box.addButton("Close", QMessageBox::AcceptRole));
    box.exec();
}

// The two receive slots follow the auto-connection naming but have no button;
// the form's connect-by-name would warn about each of them.
QtMessageHandler outerHandler = nullptr;
void dropUnmatchedReceiveSlots(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (!text.startsWith("QMetaObject::connectSlotsByName: No matching signal for on_receive"))
        outerHandler(type, context, text);
}

} // namespace

Widget::Widget(QWidget *parent)
    : QWidget(parent),
      ui(new Ui::Widget),
      serialPort(new QSerialPort),
      ymodemFileTransmit(new YmodemFileTransmit),
      ymodemFileReceive(new YmodemFileReceive),
      transmitButtonStatus(false),
      receiveButtonStatus(false),
      transmitFilePath("."),
      closing(false),
      lineLost(false),
      phase(Phase::Start)
{
    button_status = false; // a new window starts with the port released

    outerHandler = qInstallMessageHandler(dropUnmatchedReceiveSlots);
    ui->setupUi(this);
    qInstallMessageHandler(outerHandler);

    ui->comPort->addItems(systemPorts());

    // Remembered choices count only where they still name something that
    // exists; anything else in the settings file is ignored.
    const QSettings settings(SettingsOrganization, SettingsApplication);
    const int port = ui->comPort->findText(settings.value("port").toString());
    if (port >= 0)
        ui->comPort->setCurrentIndex(port);
    const int rate = ui->comBaudRate->findText(settings.value("baudRate").toString());
    if (rate >= 0)
        ui->comBaudRate->setCurrentIndex(rate);
    const QString folder = settings.value("folder").toString();
    if (!folder.isEmpty() && QFileInfo(folder).isDir())
        transmitFilePath = folder;

    SerialLine::configure(serialPort, SerialLine::TransferBaudRate);

    connect(ymodemFileTransmit, SIGNAL(transmitProgress(int)), this, SLOT(transmitProgress(int)));
    connect(ymodemFileReceive, SIGNAL(receiveProgress(int)), this, SLOT(receiveProgress(int)));
    connect(ymodemFileTransmit, SIGNAL(transmitStatus(YmodemFileTransmit::Status)), this,
            SLOT(transmitStatus(YmodemFileTransmit::Status)));
    connect(ymodemFileReceive, SIGNAL(receiveStatus(YmodemFileReceive::Status)), this,
            SLOT(receiveStatus(YmodemFileReceive::Status)));

    // An unplugged adapter shows as a line error on a held port; a node that
    // vanishes without one (a removed link) is caught by the watch.
    SerialLine::watchForLoss(serialPort, this, [this] { portLost(); });
    auto *devices = new QFileSystemWatcher(this);
    const bool watched = devices->addPath("/dev");
    connect(devices, &QFileSystemWatcher::directoryChanged, this, [this] {
        for (int ms : PortSettleMs)
            QTimer::singleShot(ms, this, &Widget::followSystemPorts);
    });
    auto *portWatch = new QTimer(this);
    portWatch->setInterval(PortWatchInterval);
    // Ports that came or went while one was held show once it is let go. A
    // port given by hand may live outside /dev (a link in /tmp, a pty): it is
    // looked at here too, and the list follows when it comes or goes.
    connect(portWatch, &QTimer::timeout, this, [this, look = PortWatch(watched)]() mutable {
        look.start(button_status || busy());
        if (portLoss(button_status, busy(), serialPort->isOpen(), closing) == PortLoss::Released
            && !QFileInfo::exists(SerialLine::systemLocation(heldPort)))
            portLost();
        if (look.follow(button_status || busy(), givenMoved(shownPorts(), givenPort, !givenPortPresent().isEmpty())))
            followSystemPorts();
    });
    portWatch->start();
    setAcceptDrops(true);

    setPhase(Phase::Start);

    ui->label_qivo->setOpenExternalLinks(true);
    ui->label_qivo->setText(tr("<a href=\"https://www.qivo.example\">www.qivo.example</a>"));
    ui->label_qivo->hide();

    // The movies live as long as the program.
    const struct { QLabel *label; const char *file; } pictures[] = {
        {ui->ico_usb, ":/image/res/dfu_icon_01.png"},
        {ui->ico_firmware, ":/image/res/dfu_icon_02.png"},
        {ui->ico_upgrade, ":/image/res/dfu_icon_03.png"},
        {ui->dividingline_1, ":/image/res/Dividing_line.png"},
        {ui->dividingline_2, ":/image/res/Dividing_line.png"},
    };
    for (const auto &picture : pictures) {
        QMovie *movie = new QMovie(picture.file);
        picture.label->setScaledContents(true);
        picture.label->setMovie(movie);
        movie->start();
    }

    const int fontId = QFontDatabase::addApplicationFont(":/font/res/HelveticaNeueLTPro.ttf");
    const QStringList families = fontId == -1 ? QStringList() : QFontDatabase::applicationFontFamilies(fontId);
    if (!families.isEmpty()) {
        QFont font;
        font.setFamily(families.first());
        font.setWeight(QFont::Bold);
        font.setPointSize(13);
        ui->comButton->setFont(font);
        ui->transmitBrowse->setFont(font);
        ui->transmitButton->setFont(font);
        font.setPointSize(10);
        ui->comPort->setFont(font);
        ui->comBaudRate->setFont(font);
        font.setWeight(QFont::Normal);
        font.setPointSize(10);
        ui->transmitPath->setFont(font);
        ui->transmitProgress->setFont(font);
    }
}

Widget::~Widget()
{
    delete ui;
    delete serialPort;
    delete ymodemFileTransmit;
    delete ymodemFileReceive;
}

// Keeps the window responsive while the device restarts into its boot
// loader; blocks in the event loop instead of spinning, and ends early once
// the window is closing (the application's loops then return at once) or
// the line is lost, when there is nothing left to wait for.
void Widget::Sleep(int msec)
{
    QElapsedTimer clock;
    clock.start();
    while (!closing && !lineLost && clock.elapsed() < msec) {
        QEventLoop loop;
        QTimer::singleShot(int(qMin<qint64>(msec - clock.elapsed(), 100)), Qt::PreciseTimer, &loop,
                           &QEventLoop::quit);
        loop.exec();
    }
}

// A device must not be left waiting in its boot loader: a running transfer
// is cancelled, and a running preamble stops where it is.
void Widget::closeEvent(QCloseEvent *event)
{
    closing = true;
    if (transmitButtonStatus)
        ymodemFileTransmit->stopTransmit();
    if (receiveButtonStatus)
        ymodemFileReceive->stopReceive();
    QWidget::closeEvent(event);
}

void Widget::on_comButton_clicked()
{
    if (!button_status) {
        serialPort->setPortName(ui->comPort->currentText());
        serialPort->setBaudRate(ui->comBaudRate->currentText().toInt(), QSerialPort::AllDirections);

        if (serialPort->open(QSerialPort::ReadWrite)) {
            button_status = true;
            heldPort = ui->comPort->currentText();
            QSettings settings(SettingsOrganization, SettingsApplication);
            settings.setValue("port", heldPort);
            settings.setValue("baudRate", ui->comBaudRate->currentText());
            // Flashing the last image again takes "Select Port" and "Upgrade".
            const QString lastFile = settings.value("file").toString();
            if (ui->transmitPath->text().isEmpty() && sendableFile(lastFile)) {
                transmitFilePath = lastFile;
                ui->transmitPath->setText(lastFile);
            }
            setPhase(ui->transmitPath->text().isEmpty() ? Phase::PortOpen : Phase::FirmwareChosen);
        } else {
            const QString text = "Serial Port " + ui->comPort->currentText() + " already in use!";
            qDebug() << "Messagebox port";
            showCloseBox(this, QMessageBox::Warning, "Serial port open failed", text);
        }
    } else {
        closePort();
    }
}

void Widget::closePort()
{
    button_status = false;
    serialPort->close();
    setPhase(Phase::Idle);
}

// Every control in each phase: the port and rate selectors, then each step
// button usable (ActiveButtonStyle) or not (InactiveButtonStyle), with its
// text where the phase sets one (null: it keeps the one it has, the form's
// until the first change). The help button, the path and the progress bar
// are the same in every phase.
void Widget::setPhase(Phase next)
{
    static const struct {
        Phase phase;
        bool selectors, port;
        const char *portText;
        bool browse, upgrade;
        const char *upgradeText;
    } rows[] = {
        // phase               selectors port   port text      browse upgrade upgrade text
        {Phase::Start,          true,  true,  nullptr,       false, false, nullptr},
        {Phase::Idle,           true,  true,  "Select Port", false, false, nullptr},
        {Phase::PortOpen,       false, true,  "Close Port",  true,  false, nullptr},
        {Phase::FirmwareChosen, false, true,  "Close Port",  true,  true,  nullptr},
        {Phase::Preamble,       false, false, "Close Port",  false, false, nullptr},
        {Phase::Upgrading,      false, false, "Close Port",  false, true,  "Cancel"},
        {Phase::Cancelling,     false, false, "Select Port", false, false, nullptr},
        {Phase::Outcome,        false, true,  "Select Port", false, false, "Upgrade"},
        {Phase::Receiving,      false, false, nullptr,       false, false, nullptr},
    };
    static_assert(std::size(rows) == int(Phase::Receiving) + 1, "a row for every phase");
    const auto &row = rows[int(next)];
    Q_ASSERT(row.phase == next);
    phase = next;
    ui->comPort->setEnabled(row.selectors);
    ui->comBaudRate->setEnabled(row.selectors);
    setUsable(ui->comButton, row.port);
    if (row.portText)
        ui->comButton->setText(row.portText);
    setUsable(ui->transmitBrowse, row.browse);
    setUsable(ui->transmitButton, row.upgrade);
    if (row.upgradeText)
        ui->transmitButton->setText(row.upgradeText);
}

// The port button is locked from the preamble until a transfer's outcome,
// and while receiving.
bool Widget::busy() const
{
    return phase == Phase::Preamble || phase == Phase::Upgrading || phase == Phase::Cancelling
           || phase == Phase::Receiving;
}

// Idle, the selector follows the system's ports.
void Widget::followSystemPorts()
{
    if (closing)
        return;
    const bool held = button_status || busy();
    const QStringList shown = shownPorts();
    const PortChoice now =
        followPorts({shown, ui->comPort->currentIndex()}, held ? shown : systemPorts(), held, givenPortPresent());
    if (now.ports != shown) {
        ui->comPort->clear();
        ui->comPort->addItems(now.ports);
    }
    ui->comPort->setCurrentIndex(now.current);
}

// Released as "Close Port" would; a transfer's loss is the worker's to
// report. During the preamble the window holds the port itself: it closes
// it at once, as a lost line reports errors as fast as the loop turns, and
// the preamble ends as failed.
void Widget::portLost()
{
    switch (portLoss(button_status, busy(), serialPort->isOpen(), closing)) {
    case PortLoss::EndsPreamble:
        serialPort->close();
        lineLost = true;
        break;
    case PortLoss::Released:
        closePort();
        qDebug() << "Messagebox lost";
        showCloseBox(this, QMessageBox::Warning, "Serial port lost", "Serial Port " + heldPort + " was lost!");
        break;
    case PortLoss::Ignored:
        break;
    }
}

QStringList Widget::shownPorts() const
{
    QStringList shown;
    for (int i = 0; i < ui->comPort->count(); ++i)
        shown << ui->comPort->itemText(i);
    return shown;
}

// The given port while its path exists (a link that leads somewhere), else empty.
QString Widget::givenPortPresent() const
{
    return !givenPort.isEmpty() && QFileInfo::exists(SerialLine::systemLocation(givenPort)) ? givenPort : QString();
}

// Chosen at once if it is there; if not, when it comes.
void Widget::setPort(const QString &name)
{
    givenPort = name;
    followSystemPorts();
    const int listed = findPort(shownPorts(), name);
    if (listed >= 0 && !button_status && !busy())
        ui->comPort->setCurrentIndex(listed);
}

void Widget::setFirmware(const QString &path)
{
    transmitFilePath = path;
    ui->transmitPath->setText(path);
}

// A chosen file is remembered with its folder; a cancelled dialog clears the
// choice on screen only.
void Widget::chooseFile(const QString &path)
{
    setFirmware(path);
    setPhase(path.isEmpty() ? Phase::PortOpen : Phase::FirmwareChosen);
    if (path.isEmpty())
        return;
    QSettings settings(SettingsOrganization, SettingsApplication);
    settings.setValue("file", path);
    settings.setValue("folder", QFileInfo(path).absolutePath());
}

void Widget::on_transmitBrowse_clicked()
{
    chooseFile(QFileDialog::getOpenFileName(this, "open file", transmitFilePath, "All file (*.bin)"));
}

// A drop stands for the dialog, so it is taken only when "Browse" could be
// pressed, and only for what the dialog would offer: one local .bin file.
QString Widget::droppable(const QMimeData *mime) const
{
    const QList<QUrl> urls = mime->urls();
    if (!button_status || busy() || urls.size() != 1 || !urls.first().isLocalFile())
        return QString();
    const QFileInfo file(urls.first().toLocalFile());
    const bool bin = file.suffix().compare("bin", Qt::CaseInsensitive) == 0;
    return bin && sendableFile(file.filePath()) ? file.absoluteFilePath() : QString();
}

void Widget::dragEnterEvent(QDragEnterEvent *event)
{
    droppable(event->mimeData()).isEmpty() ? event->ignore() : event->acceptProposedAction();
}

void Widget::dragMoveEvent(QDragMoveEvent *event)
{
    droppable(event->mimeData()).isEmpty() ? event->ignore() : event->acceptProposedAction();
}

void Widget::dropEvent(QDropEvent *event)
{
    const QString path = droppable(event->mimeData());
    if (path.isEmpty())
        return event->ignore();
    event->acceptProposedAction();
    chooseFile(path);
}

void Widget::on_receiveBrowse_clicked()
{
}

void Widget::on_transmitButton_clicked()
{
    if (transmitButtonStatus) {
        ymodemFileTransmit->stopTransmit();
        ui->transmitProgress->setValue(0);
        releasePort();
        return;
    }

    // From here until the outcome the port that was taken is the only one:
    // the preamble and the firmware must reach the same device.
    setPhase(Phase::Preamble);
    ui->transmitProgress->setValue(0);
    ui->transmitProgress->setStyleSheet("QProgressBar::chunk { background-color: #909090 }");

    // No reply is read. A window closed meanwhile starts no transfer; a line
    // lost meanwhile fails as a port the worker cannot open, without the
    // worker: whatever has the port's name now got no preamble.
    lineLost = false;
    for (const BootPreamble::Step &step : BootPreamble::Steps) {
        if (step.transferRate)
            serialPort->setBaudRate(BootPreamble::TransferBaudRate, QSerialPort::AllDirections);
        serialPort->write(step.line, step.length);
        Sleep(step.waitMs);
        if (closing) {
            endTransmit();
            setPhase(Phase::Idle);
            return;
        }
        if (lineLost)
            break;
    }

    serialPort->close();

    ymodemFileTransmit->setFileName(ui->transmitPath->text());
    ymodemFileTransmit->setPortName(ui->comPort->currentText());
    ymodemFileTransmit->setPortBaudRate(BootPreamble::TransferBaudRate);

    if (!lineLost && ymodemFileTransmit->startTransmit()) {
        transmitButtonStatus = true;
        setPhase(Phase::Upgrading);
        ui->transmitProgress->setValue(0);
    } else {
        endTransmit();
        qDebug() << "Messagebox failed";
        showCloseBox(this, QMessageBox::Warning, "Failure", "Device firmware upgrade failed!");
        setPhase(Phase::Idle);
    }
}

// Nothing in the window calls this; it is kept for a receive control.
void Widget::on_receiveButton_clicked()
{
    if (!receiveButtonStatus) {
        serialPort->close();
        ymodemFileReceive->setPortName(ui->comPort->currentText());
        ymodemFileReceive->setPortBaudRate(ui->comBaudRate->currentText().toInt());
        if (ymodemFileReceive->startReceive()) {
            receiveButtonStatus = true;
            setPhase(Phase::Receiving);
        }
    } else {
        ymodemFileReceive->stopReceive();
    }
}

// Cancel gives the port back without ever opening it again. The selectors
// stay locked until the worker reports the end.
void Widget::releasePort()
{
    button_status = false;
    serialPort->close();
    setPhase(Phase::Cancelling);
}

// Back to idle with the port released; the selectors follow once the
// outcome box is closed.
void Widget::endTransmit()
{
    transmitButtonStatus = false;
    button_status = false;
    serialPort->close();
    setPhase(Phase::Outcome);
}

void Widget::transmitProgress(int progress)
{
    ui->transmitProgress->setValue(progress);
}

void Widget::receiveProgress(int progress)
{
    Q_UNUSED(progress)
}

void Widget::transmitStatus(YmodemFileTransmit::Status status)
{
    if (status == YmodemFileTransmit::StatusEstablish || status == YmodemFileTransmit::StatusTransmit)
        return;

    endTransmit();

    switch (status) {
    case YmodemFileTransmit::StatusFinish:
        ui->transmitProgress->setStyleSheet("QProgressBar::chunk { background-color: #36C649 }");
        qDebug() << "Messagebox success";
        QMessageBox::information(this, "Success", QString::fromUtf8("Device firmware upgrade successful\xef\xbc\x81"),
                                 QMessageBox::Ok, QMessageBox::NoButton);
        break;
    case YmodemFileTransmit::StatusAbort:
        qDebug() << "Messagebox cancelled";
        showCloseBox(this, QMessageBox::Warning, "Failure", "Device firmware upgrade cancelled!");
        break;
    case YmodemFileTransmit::StatusTimeout:
        qDebug() << "Messagebox timeout";
        showCloseBox(this, QMessageBox::Warning, "Failure", "Device firmware upgrade timeout!");
        break;
    default:
        qDebug() << "Messagebox default";
        showCloseBox(this, QMessageBox::Warning, "Failure", "Device firmware upgrade failed!");
        break;
    }

    setPhase(Phase::Idle);
}

void Widget::receiveStatus(YmodemFileReceive::Status status)
{
    if (status == YmodemFileReceive::StatusEstablish || status == YmodemFileReceive::StatusTransmit)
        return;

    receiveButtonStatus = false;
    if (button_status)
        setPhase(ui->transmitPath->text().isEmpty() ? Phase::PortOpen : Phase::FirmwareChosen);
    else
        setPhase(Phase::Idle);
}

void Widget::on_helpButton_clicked()
{
    qDebug() << "Messagebox help";
    showCloseBox(this, QMessageBox::Question, "Help",
                 "This tool is applicable to QIVO LoRa modules: QIVO-M1, QIVO-M2, QIVO-M3, and their derivatives "
                 "such as QIVO-G1, etc.");
}
