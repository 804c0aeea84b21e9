// The upgrade window, headless: what its constructor sets up, every control
// state reached by clicking, and whole upgrades against the device simulator.

#include "peers.h"
#include "widget.h"

#include <QtTest>
#include <QtWidgets>
#include <QSerialPortInfo>

#include <functional>
#include <memory>

namespace {

const QString Active = "border:0px;color:white;background:#006AC6;border-radius:18px;padding:2px 4px;";
const QString Inactive = "border:0px;color:white;background:#909090;border-radius:18px;padding:2px 4px;";
const QString FontPath = ":/font/res/HelveticaNeueLTPro.ttf";
const QStringList Pictures = {"dfu_icon_01.png",      "dfu_icon_02.png",         "dfu_icon_03.png",
                              "Dividing_line.png",    "Question_black_small.png", "Question_black.png",
                              "Question_white_small.png", "Question_white.png",   "qivoimage.png",
                              "qivo600_400.png"};
bool resourcesBeforeApplication = false;

QStringList messages; // everything logged, in order
QtMessageHandler passOn = nullptr;
void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    // The headless platform plugin's own remark about message boxes is not ours.
    if (!text.startsWith("This plugin does not support"))
        messages << text;
    passOn(type, context, text);
}

template <class T>
T *control(QWidget &w, const char *name)
{
    T *c = w.findChild<T *>(name);
    if (!c)
        qFatal("no control %s", name);
    return c;
}

// A message box as the user saw it, and what had been logged when it showed.
struct Box
{
    QString title, text;
    QMessageBox::Icon icon;
    QStringList buttons;
    QString defaultButton;
    QWidget *parent;
    QString lastMessage;
};

// Answers modal windows as they appear: message boxes after `holdMs`, file
// dialogs through `onFileDialog`.
class ModalWatcher : public QObject
{
public:
    QList<Box> boxes;
    std::function<void(QFileDialog *)> onFileDialog;
    std::function<void(const Box &)> onBox;
    int holdMs = 0;

    ModalWatcher()
    {
        connect(&timer, &QTimer::timeout, this, &ModalWatcher::check);
        timer.start(5);
    }

private:
    void check()
    {
        QWidget *w = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            if (box == answering)
                return;
            answering = box;
            Box seen{box->windowTitle(), box->text(), box->icon(), {}, {}, box->parentWidget(),
                     messages.value(messages.size() - 1)};
            for (QAbstractButton *b : box->buttons())
                seen.buttons << b->text();
            if (box->defaultButton())
                seen.defaultButton = box->defaultButton()->text();
            boxes << seen;
            if (onBox)
                onBox(seen);
            QTimer::singleShot(holdMs, box, [box] { box->buttons().first()->click(); });
        } else if (auto *dialog = qobject_cast<QFileDialog *>(w)) {
            if (onFileDialog && dialog->isVisible())
                onFileDialog(dialog);
        }
    }

    QTimer timer;
    QMessageBox *answering = nullptr;
};

// One row of the window's control-state table.
struct State
{
    bool selectors;
    bool portButton;
    QString portText;
    bool browse;
    bool upgrade;
    QString upgradeText;
};

} // namespace

class tst_Widget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { passOn = qInstallMessageHandler(recordMessage); }
    void init();
    void formAfterConstruction();
    void controlStatesByClicking();
    void wholeUpgrade();
    void stopMidUpgrade_data();
    void stopMidUpgrade();
    void failedUpgrade_data();
    void failedUpgrade();
    void unknownStatusIsAFailure_data();
    void unknownStatusIsAFailure();
    void sleepZeroReturnsAtOnce();
    void receiveSlots();

private:
    void expectState(Widget &w, const State &s);
    void takePort(Widget &w, const QString &port);
    void chooseFile(Widget &w, ModalWatcher &watcher, const QString &path);
    void tuneTransmitter(Widget &w, unsigned timeDivide, unsigned timeMax)
    {
        w.ymodemFileTransmit->setTimeDivide(timeDivide);
        w.ymodemFileTransmit->setTimeMax(timeMax);
    }
};

void tst_Widget::init()
{
    messages.clear();
}

void tst_Widget::expectState(Widget &w, const State &s)
{
    QCOMPARE(control<QComboBox>(w, "comPort")->isEnabled(), s.selectors);
    QCOMPARE(control<QComboBox>(w, "comBaudRate")->isEnabled(), s.selectors);
    const struct { const char *name; bool usable; QString text; } buttons[] = {
        {"comButton", s.portButton, s.portText}, {"transmitBrowse", s.browse, QString()},
        {"transmitButton", s.upgrade, s.upgradeText}};
    for (const auto &b : buttons) {
        QPushButton *button = control<QPushButton>(w, b.name);
        QVERIFY2(button->isEnabled() == b.usable, b.name);
        QCOMPARE(button->styleSheet(), b.usable ? Active : Inactive);
        if (!b.text.isNull())
            QCOMPARE(button->text(), b.text);
    }
    QVERIFY(control<QPushButton>(w, "helpButton")->isEnabled());
}

void tst_Widget::takePort(Widget &w, const QString &port)
{
    QComboBox *ports = control<QComboBox>(w, "comPort");
    ports->addItem(port);
    ports->setCurrentIndex(ports->count() - 1);
    QTest::mouseClick(control<QPushButton>(w, "comButton"), Qt::LeftButton);
}

void tst_Widget::chooseFile(Widget &w, ModalWatcher &watcher, const QString &path)
{
    watcher.onFileDialog = [path](QFileDialog *dialog) {
        if (path.isEmpty()) {
            dialog->reject();
        } else {
            dialog->selectFile(path);
            static_cast<QDialog *>(dialog)->accept();
        }
    };
    QTest::mouseClick(control<QPushButton>(w, "transmitBrowse"), Qt::LeftButton);
    watcher.onFileDialog = nullptr;
}

void tst_Widget::formAfterConstruction()
{
    QVERIFY2(resourcesBeforeApplication, "resource paths did not resolve before the application object");
    Widget w;
    QCOMPARE(w.windowTitle(), QString("QIVO Device Firmware Upgrade Tool v1.4"));
    QCOMPARE(w.size(), QSize(900, 500));
    QComboBox *ports = control<QComboBox>(w, "comPort");
    QCOMPARE(ports->count(), QSerialPortInfo::availablePorts().size());
    QCOMPARE(ports->currentIndex(), ports->count() ? 0 : -1);

    QLabel *link = control<QLabel>(w, "label_qivo");
    QVERIFY(link->isHidden());
    QVERIFY(link->openExternalLinks());
    QVERIFY(link->text().startsWith("<a href="));

    // Each picture label runs its own movie; both lines show the same picture.
    QMovie *line1 = control<QLabel>(w, "dividingline_1")->movie();
    QMovie *line2 = control<QLabel>(w, "dividingline_2")->movie();
    QVERIFY(line1 && line2 && line1 != line2);
    QCOMPARE(line1->fileName(), QString(":/image/res/Dividing_line.png"));
    QCOMPARE(line2->fileName(), line1->fileName());
    QCOMPARE(line1->currentImage(), line2->currentImage());
    QVERIFY(!line1->currentImage().isNull());
    for (const char *name : {"ico_usb", "ico_firmware", "ico_upgrade"}) {
        QLabel *label = control<QLabel>(w, name);
        QVERIFY(label->hasScaledContents());
        QVERIFY2(label->movie() && !label->movie()->currentImage().isNull(), name);
    }
    QVERIFY(!QFile::exists(":/image/dfu_icon_01.png")); // the folder is part of the path

    // The resource font carries the family the form asks for.
    const QStringList families = QFontDatabase::applicationFontFamilies(QFontDatabase::addApplicationFont(FontPath));
    QVERIFY(!families.isEmpty());
    const struct { const char *name; int size; QFont::Weight weight; } fonts[] = {
        {"comButton", 13, QFont::Bold}, {"transmitBrowse", 13, QFont::Bold}, {"transmitButton", 13, QFont::Bold},
        {"comPort", 10, QFont::Bold}, {"comBaudRate", 10, QFont::Bold}, {"transmitPath", 10, QFont::Normal},
        {"transmitProgress", 10, QFont::Normal}};
    for (const auto &f : fonts) {
        const QFont font = control<QWidget>(w, f.name)->font();
        QVERIFY2(families.contains(font.family()), f.name);
        QCOMPARE(font.pointSize(), f.size);
        QCOMPARE(int(font.weight()), int(f.weight));
    }
    QVERIFY(QFontInfo(control<QLabel>(w, "label_4")->font()).family().contains("Helvetica Neue"));

    expectState(w, {true, true, "  Select Port  ", false, false, "  Upgrade  "});
    QVERIFY(messages.isEmpty());
}

void tst_Widget::controlStatesByClicking()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("fw.bin"), "firmware"));
    PtyPeer peer;
    Widget w;
    ModalWatcher watcher;

    takePort(w, "/dev/qivo-missing");
    QCOMPARE(watcher.boxes.size(), 1);
    const Box box = watcher.boxes.first();
    QCOMPARE(box.title, QString("Serial port open failed"));
    QCOMPARE(box.text, QString("Serial Port /dev/qivo-missing already in use!"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QStringList{"Close"});
    QCOMPARE(box.defaultButton, QString("Close"));
    QCOMPARE(box.parent, &w);
    QCOMPARE(box.lastMessage, QString("Messagebox port"));
    expectState(w, {true, true, "  Select Port  ", false, false, "  Upgrade  "});

    takePort(w, peer.path);
    expectState(w, {false, true, "Close Port", true, false, "  Upgrade  "});
    QString startedIn;
    watcher.onFileDialog = [&](QFileDialog *dialog) {
        QCOMPARE(dialog->windowTitle(), QString("open file"));
        QCOMPARE(dialog->nameFilters(), QStringList{"All file (*.bin)"});
        startedIn = dialog->directory().absolutePath();
        dialog->selectFile(dir.filePath("fw.bin"));
        static_cast<QDialog *>(dialog)->accept();
    };
    QTest::mouseClick(control<QPushButton>(w, "transmitBrowse"), Qt::LeftButton);
    QCOMPARE(startedIn, QDir::currentPath());
    QCOMPARE(control<QLineEdit>(w, "transmitPath")->text(), dir.filePath("fw.bin"));
    expectState(w, {false, true, "Close Port", true, true, "  Upgrade  "});

    QTest::mouseClick(control<QPushButton>(w, "comButton"), Qt::LeftButton);
    expectState(w, {true, true, "Select Port", false, false, "  Upgrade  "});
    QCOMPARE(control<QLineEdit>(w, "transmitPath")->text(), dir.filePath("fw.bin"));

    // Taken again with a path already chosen, Upgrade is usable at once.
    QTest::mouseClick(control<QPushButton>(w, "comButton"), Qt::LeftButton);
    expectState(w, {false, true, "Close Port", true, true, "  Upgrade  "});

    // A cancelled dialog clears the choice.
    chooseFile(w, watcher, QString());
    QCOMPARE(control<QLineEdit>(w, "transmitPath")->text(), QString());
    expectState(w, {false, true, "Close Port", true, false, "  Upgrade  "});
    QCOMPARE(watcher.boxes.size(), 1);
    QCOMPARE(messages, QStringList{"Messagebox port"});
}

// The first two lines at the chosen 9600 baud, at+update and the firmware at
// 115200 (the device reports a line at another rate), the waits between the
// lines, help while the transfer runs on, and the success box.
void tst_Widget::wholeUpgrade()
{
    QTemporaryDir dir;
    const QByteArray firmware = randomBytes(100 * 1024 + 3, 42);
    QVERIFY(writeFile(dir.filePath("fw.bin"), firmware));
    Sim sim({"--baud", "9600"});
    Widget w;
    ModalWatcher watcher;
    watcher.holdMs = 300;
    control<QComboBox>(w, "comBaudRate")->setCurrentText("9600");
    takePort(w, sim.port);
    chooseFile(w, watcher, dir.filePath("fw.bin"));
    QProgressBar *bar = control<QProgressBar>(w, "transmitProgress");
    QStringList seen;
    sim.onLine = [&](const QByteArray &line) {
        if (line.startsWith("line at+version")) {
            expectState(w, {false, false, "Close Port", false, false, "  Upgrade  "});
            QCOMPARE(bar->styleSheet(), QString("QProgressBar::chunk { background-color: #909090 }"));
            seen << "preamble";
        } else if (line.startsWith("receiving")) {
            expectState(w, {false, false, "Close Port", false, true, "Cancel"});
            seen << "running";
        }
    };
    QTest::mouseClick(control<QPushButton>(w, "transmitButton"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(bar->value() > 0, 20000);

    int progressAtHelp = -1;
    watcher.onBox = [&](const Box &) { progressAtHelp = bar->value(); };
    QTest::mouseClick(control<QPushButton>(w, "helpButton"), Qt::LeftButton);
    watcher.onBox = nullptr;
    const Box help = watcher.boxes.first();
    QCOMPARE(help.title, QString("Help"));
    QCOMPARE(help.text, QString("This tool is applicable to QIVO LoRa modules: QIVO-M1, QIVO-M2, QIVO-M3, and their "
                                "derivatives such as QIVO-G1, etc."));
    QCOMPARE(help.icon, QMessageBox::Question);
    QCOMPARE(help.buttons, QStringList{"Close"});
    QCOMPARE(help.defaultButton, QString("Close"));
    QCOMPARE(help.lastMessage, QString("Messagebox help"));
    QVERIFY(bar->value() > progressAtHelp); // the transfer went on behind the box

    QTRY_COMPARE_WITH_TIMEOUT(watcher.boxes.size(), 2, 20000);
    const Box box = watcher.boxes.last();
    QCOMPARE(box.title, QString("Success"));
    QCOMPARE(box.text, QString::fromUtf8("Device firmware upgrade successful\xef\xbc\x81"));
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.buttons, QStringList{"OK"});
    QCOMPARE(box.lastMessage, QString("Messagebox success"));
    QCOMPARE(messages, (QStringList{"Messagebox help", "Messagebox success"}));
    QCOMPARE(bar->value(), 100);
    QCOMPARE(bar->styleSheet(), QString("QProgressBar::chunk { background-color: #36C649 }"));
    QTRY_VERIFY(control<QComboBox>(w, "comPort")->isEnabled());
    expectState(w, {true, true, "Select Port", false, false, "Upgrade"});
    QCOMPARE(control<QLineEdit>(w, "transmitPath")->text(), dir.filePath("fw.bin"));

    QCOMPARE(seen, (QStringList{"preamble", "running"}));
    const qint64 version = sim.arrival("line at+version 9600"), boot = sim.arrival("line at+boot 9600"),
                 update = sim.arrival("line at+update 115200");
    QVERIFY2(version >= 0 && boot - version >= 950 && update - boot >= 450,
             qPrintable(QString("%1 %2 %3").arg(version).arg(boot).arg(update)));
    QVERIFY(!sim.line("stored fw.bin").isEmpty());
    QCOMPARE(readFile(sim.dir.filePath("fw.bin")), firmware);
    QCOMPARE(sim.process.readAllStandardError(), QByteArray());
}

void tst_Widget::stopMidUpgrade_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Cancel") << "cancel";
    QTest::newRow("window closed during the transfer") << "close";
    QTest::newRow("window closed during the preamble") << "close in preamble";
}

void tst_Widget::stopMidUpgrade()
{
    QFETCH(QString, how);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("big.bin"), randomBytes(300 * 1024, 1)));
    Sim sim({});
    std::unique_ptr<Widget> w(new Widget);
    w->show();
    ModalWatcher watcher;
    takePort(*w, sim.port);
    chooseFile(*w, watcher, dir.filePath("big.bin"));
    QProgressBar *bar = control<QProgressBar>(*w, "transmitProgress");
    if (how == "close in preamble")
        sim.onLine = [&](const QByteArray &) { w->close(); };
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(control<QPushButton>(*w, "transmitButton"), Qt::LeftButton);

    if (how == "close in preamble") {
        // The rest of the preamble is dropped and no transfer takes the port.
        QVERIFY2(clock.elapsed() < 700, qPrintable(QString::number(clock.elapsed()))); // not the first 1000 ms wait
        QCOMPARE(openCount(sim.port), 0);
        QTest::qWait(100);
        QCOMPARE(sim.lines.size(), 3); // port, dir, the first line
        QVERIFY(watcher.boxes.isEmpty());
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(bar->value() >= 3, 20000);
    if (how == "close") {
        w->close();
        w.reset(); // the program ends right after
    } else {
        QTest::mouseClick(control<QPushButton>(*w, "transmitButton"), Qt::LeftButton);
        QCOMPARE(bar->value(), 0);
        expectState(*w, {false, false, "Select Port", false, false, "Cancel"});
        QVERIFY(watcher.boxes.isEmpty());
        QTRY_COMPARE(watcher.boxes.size(), 1);
        QCOMPARE(watcher.boxes.first().title, QString("Failure"));
        QCOMPARE(watcher.boxes.first().text, QString("Device firmware upgrade cancelled!"));
        QCOMPARE(watcher.boxes.first().buttons, QStringList{"Close"});
        QCOMPARE(watcher.boxes.first().lastMessage, QString("Messagebox cancelled"));
        expectState(*w, {true, true, "Select Port", false, false, "Upgrade"});
        QCOMPARE(bar->value(), 0);
    }
    QVERIFY(!sim.line("ended cancelled big.bin").isEmpty());
    QCOMPARE(messages, how == "cancel" ? QStringList{"Messagebox cancelled"} : QStringList());
}

void tst_Widget::failedUpgrade_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message");
    QTest::newRow("device never answers") << "silent" << "Device firmware upgrade timeout!" << "Messagebox timeout";
    QTest::newRow("firmware gone") << "no file" << "Device firmware upgrade failed!" << "Messagebox default";
    // The window holds the port during the preamble; the worker's own open fails.
    QTest::newRow("worker cannot open the port") << "no port" << "Device firmware upgrade failed!"
                                                 << "Messagebox failed";
}

void tst_Widget::failedUpgrade()
{
    QFETCH(QString, fault);
    QFETCH(QString, text);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("fw.bin"), "firmware"));
    Sim sim(fault == "silent" ? QStringList{"--silent"} : QStringList());
    const QString link = dir.filePath("ttyQIVO");
    QVERIFY(QFile::link(sim.port, link));
    Widget w;
    if (fault == "silent")
        tuneTransmitter(w, 9, 1);
    ModalWatcher watcher;
    takePort(w, link);
    chooseFile(w, watcher, dir.filePath("fw.bin"));
    if (fault == "no file")
        QVERIFY(QFile::remove(dir.filePath("fw.bin")));
    if (fault == "no port")
        sim.onLine = [&](const QByteArray &) { QFile::remove(link); };
    QTest::mouseClick(control<QPushButton>(w, "transmitButton"), Qt::LeftButton);

    QTRY_COMPARE_WITH_TIMEOUT(watcher.boxes.size(), 1, 10000);
    QCOMPARE(watcher.boxes.first().title, QString("Failure"));
    QCOMPARE(watcher.boxes.first().text, text);
    QCOMPARE(watcher.boxes.first().buttons, QStringList{"Close"});
    QCOMPARE(watcher.boxes.first().lastMessage, message);
    QCOMPARE(messages, QStringList{message});
    QTRY_VERIFY(control<QComboBox>(w, "comBaudRate")->isEnabled());
    expectState(w, {true, true, "Select Port", false, false, "Upgrade"});
    QVERIFY(!control<QLineEdit>(w, "transmitPath")->text().isEmpty());
    QTest::qWait(150); // no second outcome follows
    QCOMPARE(watcher.boxes.size(), 1);
    QVERIFY(sim.arrival("stored") < 0);
}

void tst_Widget::unknownStatusIsAFailure_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("error") << 5;
    QTest::newRow("6") << 6;
    QTest::newRow("negative") << -1;
}

void tst_Widget::unknownStatusIsAFailure()
{
    QFETCH(int, status);
    Widget w;
    ModalWatcher watcher;
    w.transmitStatus(YmodemFileTransmit::Status(status));
    QCOMPARE(watcher.boxes.size(), 1);
    QCOMPARE(watcher.boxes.first().text, QString("Device firmware upgrade failed!"));
    QCOMPARE(messages, QStringList{"Messagebox default"});

    // Progress reports reach the bar and nothing else; receive progress is not shown.
    w.transmitProgress(37);
    w.receiveProgress(80);
    QCOMPARE(control<QProgressBar>(w, "transmitProgress")->value(), 37);
}

void tst_Widget::sleepZeroReturnsAtOnce()
{
    // Longer waits keep the window working: the whole upgrade's device is
    // polled from a timer while the preamble waits.
    Widget w;
    bool ran = false;
    QTimer::singleShot(0, &w, [&] { ran = true; });
    w.Sleep(0);
    QVERIFY(!ran);
}

void tst_Widget::receiveSlots()
{
    // No control calls them; they still start, stop and present a receive.
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("fw.bin"), "firmware"));
    PtyPeer peer;
    Widget w;
    ModalWatcher watcher;
    takePort(w, peer.path);
    chooseFile(w, watcher, dir.filePath("fw.bin"));
    w.ymodemFileReceive->setFilePath(dir.path());

    w.on_receiveButton_clicked();
    QVERIFY(w.receiveButtonStatus);
    expectState(w, {false, false, "Close Port", false, false, "  Upgrade  "});
    QCOMPARE(peer.take(1), QByteArray("C"));
    w.on_receiveButton_clicked();
    QTRY_VERIFY(!w.receiveButtonStatus);
    QCOMPARE(peer.take(), kCancel);
    expectState(w, {false, true, "Close Port", true, true, "  Upgrade  "});
    QVERIFY(watcher.boxes.isEmpty());
    QVERIFY(messages.isEmpty());
}

int main(int argc, char *argv[])
{
    resourcesBeforeApplication = QFile::exists(FontPath);
    for (const QString &picture : Pictures)
        resourcesBeforeApplication = resourcesBeforeApplication && QFile::exists(":/image/res/" + picture);

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tst_Widget test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_widget.moc"
