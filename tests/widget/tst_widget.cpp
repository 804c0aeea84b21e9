// The upgrade window, headless: its form, the control states reached by
// clicking, and whole upgrades against the device simulator. Message boxes and
// control states are compared as whole strings: a mismatch shows all of them.
// Which ports are listed and kept is decided in portlist.h (tst_portlist);
// here one row follows a port through the window's watch of it.

#include "peers.h"
#include "widget.h"

#include <QtTest>
#include <QtWidgets>
#include <QSerialPortInfo>

#include <memory>

namespace {

const QString Active = "border:0px;color:white;background:#006AC6;border-radius:18px;padding:2px 4px;";
const QString Inactive = "border:0px;color:white;background:#909090;border-radius:18px;padding:2px 4px;";
// What the steps never restyle or rename: the form's own.
const QString HelpStyle = "background-image: url(:/image/res/Question_black_small.png);\nborder:none;";
const QString BrowseText = "  Select Firmware  ";
const QString FontPath = ":/font/res/HelveticaNeueLTPro.ttf";
bool resourcesBeforeApplication = false;

// Control states as state() writes them: '+' usable, '-' not.
const QString Idle = "ports+ baud+ [  Select Port  ]+ browse- [  Upgrade  ]- ";
const QString Released = "ports+ baud+ [Select Port]+ browse- [Upgrade]- ";
const QString Taken = "ports- baud- [Close Port]+ browse+ [  Upgrade  ]- ";
const QString Ready = "ports- baud- [Close Port]+ browse+ [  Upgrade  ]+ ";
const QString Sending = "ports- baud- [Close Port]- browse- [Cancel]+ ";
const QString Ended = "ports- baud- [Select Port]+ browse- [Upgrade]- "; // behind the outcome's box

QStringList messages; // everything logged, in order
QtMessageHandler passOn = nullptr;
void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (!text.startsWith("This plugin does not support")) // the headless platform's remarks
        messages << text;
    passOn(type, context, text);
}

template <class T = QWidget>
T *control(QWidget &w, const char *name)
{
    T *c = w.findChild<T *>(name);
    return c ? c : (qFatal("no control %s", name), nullptr);
}

// '+' usable, '-' not, '!' a control that looks otherwise than it acts: a
// step button without the style of its usability, another control with a
// style sheet other than `style`, the form's.
QString usable(QWidget *c, const QString &style = QString())
{
    const bool step = QStringList{"comButton", "transmitBrowse", "transmitButton"}.contains(c->objectName());
    return c->styleSheet() != (step ? c->isEnabled() ? Active : Inactive : style) ? "!" : c->isEnabled() ? "+" : "-";
}

// Every control: the selectors, the three step buttons with their texts (the
// browse button's only where it is not the form's), the help button, the path
// and the progress bar only where they are not as the form made them (the
// bar's style is the progress's, shown apart), and the chosen file's name.
QString state(QWidget &w)
{
    auto b = [&](const char *name) { return control<QPushButton>(w, name); };
    const QString browse = b("transmitBrowse")->text();
    const QString help = usable(b("helpButton"), HelpStyle) + b("helpButton")->text();
    const QString path = usable(control(w, "transmitPath"));
    return "ports" + usable(control(w, "comPort")) + " baud" + usable(control(w, "comBaudRate")) + " ["
           + b("comButton")->text() + "]" + usable(b("comButton")) + " browse"
           + (browse == BrowseText ? "" : "[" + browse + "]") + usable(b("transmitBrowse")) + " ["
           + b("transmitButton")->text() + "]" + usable(b("transmitButton")) + " " + (help == "+" ? "" : "help" + help + " ")
           + (path == "+" ? "" : "path" + path + " ")
           + (control(w, "transmitProgress")->isEnabled() ? "" : "bar- ")
           + QFileInfo(control<QLineEdit>(w, "transmitPath")->text()).fileName();
}

// Answers modal windows as they appear. A message box is recorded as
// parent|title|text|icon|buttons|default button|last logged line|the parent's
// state() behind it, and closed
// with its first button after 300 ms; a file dialog as title|filters|folder,
// then it picks `pick` (empty: cancelled).
struct ModalWatcher
{
    QStringList boxes, dialogs;
    QString pick;
    QPointer<QMessageBox> answering; // null once closed: the next box may reuse its address
    QTimer timer;

    ModalWatcher()
    {
        QObject::connect(&timer, &QTimer::timeout, [this] { check(QApplication::activeModalWidget()); });
        timer.start(5);
    }
    void check(QWidget *modal)
    {
        if (auto *box = qobject_cast<QMessageBox *>(modal); box && box != answering) {
            answering = box;
            QStringList buttons;
            for (QAbstractButton *b : box->buttons())
                buttons << b->text();
            boxes << QStringList{box->parentWidget() ? box->parentWidget()->metaObject()->className() : "none",
                                 box->windowTitle(), box->text(),
                                 QMetaEnum::fromType<QMessageBox::Icon>().valueToKey(box->icon()), buttons.join(','),
                                 box->defaultButton() ? box->defaultButton()->text() : "none",
                                 messages.value(messages.size() - 1),
                                 box->parentWidget() ? state(*box->parentWidget()) : "none"}.join('|');
            QTimer::singleShot(300, box, [box] { box->buttons().first()->click(); });
        } else if (auto *dialog = qobject_cast<QFileDialog *>(modal); dialog && dialog->isVisible()) {
            dialogs << dialog->windowTitle() + "|" + dialog->nameFilters().join(',') + "|"
                           + dialog->directory().absolutePath();
            dialog->selectFile(pick);
            pick.isEmpty() ? dialog->reject() : static_cast<QDialog *>(dialog)->accept();
        }
    }
};

void click(QWidget &w, const char *button)
{
    QTest::mouseClick(control<QPushButton>(w, button), Qt::LeftButton);
}

// Drags `urls` over the window and drops them if it takes them: '+' taken, '-' refused.
QString drop(QWidget &w, const QList<QUrl> &urls)
{
    QMimeData mime;
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(450, 250), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &enter);
    QDragMoveEvent move(QPoint(450, 250), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&w, &move);
    QDropEvent dropped(QPointF(450, 250), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    if (enter.isAccepted() && move.isAccepted())
        QApplication::sendEvent(&w, &dropped);
    return enter.isAccepted() ? move.isAccepted() && dropped.isAccepted() ? "+" : "?" : "-";
}

void takePort(QWidget &w, const QString &port)
{
    control<QComboBox>(w, "comPort")->addItem(port);
    control<QComboBox>(w, "comPort")->setCurrentText(port);
    click(w, "comButton");
}

} // namespace

class tst_Widget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { passOn = qInstallMessageHandler(recordMessage); }
    void init()
    {
        messages.clear();
        QSettings("QIVO", "qivo-dfu").clear();
    }

    void newWindow()
    {
        QVERIFY2(resourcesBeforeApplication, "resource paths did not resolve before the application object");
        Widget w;
        QCOMPARE(control<QComboBox>(w, "comPort")->count(), QSerialPortInfo::availablePorts().size());
        QVERIFY(control<QLabel>(w, "label_qivo")->isHidden() && control<QLabel>(w, "label_qivo")->openExternalLinks());

        // Each picture label runs its own movie; both dividing lines show one picture.
        for (const char *name : {"ico_usb", "ico_firmware", "ico_upgrade", "dividingline_1", "dividingline_2"}) {
            QLabel *label = control<QLabel>(w, name);
            QVERIFY2(label->hasScaledContents() && label->movie() && !label->movie()->currentImage().isNull(), name);
        }
        QMovie *line1 = control<QLabel>(w, "dividingline_1")->movie();
        QMovie *line2 = control<QLabel>(w, "dividingline_2")->movie();
        QVERIFY(line1 != line2 && line1->currentImage() == line2->currentImage());

        // name, whether the family is the resource font's, size, bold
        const QStringList ours = QFontDatabase::applicationFontFamilies(QFontDatabase::addApplicationFont(FontPath));
        QString got;
        for (const char *name : {"comButton", "transmitBrowse", "transmitButton", "comPort", "comBaudRate",
                                 "transmitPath", "transmitProgress"}) {
            const QFont f = control(w, name)->font();
            got += QString::asprintf("%s %d %d %d\n", name, int(ours.contains(f.family())), f.pointSize(), int(f.bold()));
        }
        QCOMPARE(got, QString("comButton 1 13 1\ntransmitBrowse 1 13 1\ntransmitButton 1 13 1\ncomPort 1 10 1\n"
                                "comBaudRate 1 10 1\ntransmitPath 1 10 0\ntransmitProgress 1 10 0\n"));
        QVERIFY(QFontInfo(control<QLabel>(w, "label_4")->font()).family().contains("Helvetica Neue"));

        QCOMPARE(state(w), Idle);
        QVERIFY(messages.isEmpty());

        // Progress comes from the sender alone. Sleep runs the event loop only
        // while there is time left and the window is open.
        w.transmitProgress(37);
        w.receiveProgress(80);
        QCOMPARE(control<QProgressBar>(w, "transmitProgress")->value(), 37);
        bool ran = false;
        QTimer::singleShot(0, &w, [&] { ran = true; });
        w.Sleep(0);
        w.close();
        w.Sleep(1000);
        QVERIFY(!ran);
    }

    // Each row clicks its way from a new window: "port" takes a working port,
    // "missing" one that cannot open, "file"/"cancel" answer the file dialog,
    // "receive"/"stop" call the receive slot that no control reaches yet,
    // "status" reports outcomes the window has no box of its own for,
    // "given" names a link to the port as `--port` does, "unlink" removes the
    // link and "relink" makes it again, each waiting for the list to follow
    // (with "given" the current port is shown after the state), "release"
    // presses the port button, "rate" picks 9600 baud (shown after the
    // state), "restart" opens a new window (from the settings the last one
    // left, "corrupt" after damaging them), "drop..." drops fw.bin, two files,
    // a folder, a web address or a text file (the result follows).
    void controlStates_data()
    {
        QTest::addColumn<QString>("clicks");
        QTest::addColumn<QString>("after");
        QTest::newRow("port fails to open")
            << "missing" << Idle + "\nWidget|Serial port open failed|Serial Port /dev/qivo-missing already in use!|"
                                   "Warning|Close|Close|Messagebox port|" + Idle;
        QTest::newRow("port taken") << "port" << Taken;
        QTest::newRow("file chosen") << "port file" << Ready + "fw.bin";
        QTest::newRow("released") << "port file release" << "ports+ baud+ [Select Port]+ browse- [  Upgrade  ]- fw.bin";
        QTest::newRow("taken again with a file") << "port file release port" << Ready + "fw.bin";
        QTest::newRow("dialog cancelled clears the choice") << "port file cancel" << Taken;
        QTest::newRow("receiving") << "port file receive" << "ports- baud- [Close Port]- browse- [  Upgrade  ]- fw.bin";
        QTest::newRow("receive stopped") << "port file receive stop" << Ready + "fw.bin";
        // The window's watch of its ports: a given port, taken, is let go when
        // it goes (one box) and leaves the list; when it comes back it is
        // listed and chosen again.
        const QString lost = "ports+ baud+ [Select Port]+ browse- [  Upgrade  ]- ";
        QTest::newRow("given port taken, lost and back")
            << "given release unlink relink"
            << lost + " LINK\nWidget|Serial port lost|Serial Port LINK was lost!|Warning|Close|Close|Messagebox lost|"
                   + lost;
        QTest::newRow("remembered") << "rate port file restart port" << Ready + "fw.bin 9600";
        QTest::newRow("corrupt settings") << "rate port file corrupt restart port" << Taken;
        QTest::newRow("dropped, remembered") << "port drop restart port cancel" << Taken + " +";
        QTest::newRow("drops refused") << "drop port dropdir droptwo dropweb droptxt receive drop"
                                       << "ports- baud- [Close Port]- browse- [  Upgrade  ]-  ------";
        // Behind each box the controls of any outcome, though no upgrade ran.
        QTest::newRow("other outcomes are failures")
            << "status" << Released + ("\nWidget|Failure|Device firmware upgrade failed!|Warning|Close|Close|"
                                       "Messagebox default|" + Ended).repeated(3);
    }

    void controlStates()
    {
        QFETCH(QString, clicks);
        QFETCH(QString, after);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("fw.bin"), "firmware") && writeFile(dir.filePath("fw.txt"), "text"));
        QVERIFY(QDir(dir.path()).mkdir("sub.bin"));
        PtyPeer peer;
        std::unique_ptr<Widget> window(new Widget);
        ModalWatcher watcher;
        QString drops;
        const QMap<QString, QList<QUrl>> dropped{
            {"drop", {QUrl::fromLocalFile(dir.filePath("fw.bin"))}},
            {"droptwo", {QUrl::fromLocalFile(dir.filePath("fw.bin")), QUrl::fromLocalFile(dir.filePath("fw.bin"))}},
            {"dropdir", {QUrl::fromLocalFile(dir.filePath("sub.bin"))}},
            {"dropweb", {QUrl("https://qivo.example/fw.bin")}},
            {"droptxt", {QUrl::fromLocalFile(dir.filePath("fw.txt"))}}};
        for (const QString &step : clicks.split(' ')) {
            Widget &w = *window;
            QComboBox *ports = control<QComboBox>(w, "comPort");
            if (step == "given" || step == "relink")
                QVERIFY(QFile::link(peer.path, dir.filePath("ttyQIVO")));
            if (step == "given")
                w.setPort(dir.filePath("ttyQIVO"));
            if (step == "relink")
                QTRY_VERIFY(ports->findText(dir.filePath("ttyQIVO")) >= 0);
            if (step == "missing" || step == "port")
                takePort(w, step == "port" ? peer.path : "/dev/qivo-missing");
            if (step == "release")
                click(w, "comButton");
            if (step == "file" || step == "cancel") {
                watcher.pick = step == "file" ? dir.filePath("fw.bin") : QString();
                click(w, "transmitBrowse");
            }
            if (step == "receive" || step == "stop") {
                w.on_receiveButton_clicked();
                QCOMPARE(peer.take(step == "receive" ? 1 : 5), step == "receive" ? QByteArray("C") : kCancel);
            }
            for (int status : {5, 6, -1})
                if (step == "status")
                    w.transmitStatus(YmodemFileTransmit::Status(status));
            if (step == "unlink") { // and the list lets it go
                QVERIFY(QFile::remove(dir.filePath("ttyQIVO")));
                QTRY_VERIFY(ports->findText(dir.filePath("ttyQIVO")) < 0);
            }
            if (step == "rate")
                control<QComboBox>(w, "comBaudRate")->setCurrentText("9600");
            if (step == "corrupt")
                QVERIFY(writeFile(QSettings("QIVO", "qivo-dfu").fileName(),
                                  "\xff\xfe[General\nbaudRate=9601\nfile=/nonexistent.bin\nfolder=/nonexistent\n\x01"));
            if (step == "restart")
                window.reset(new Widget);
            if (step.startsWith("drop"))
                drops += drop(w, dropped.value(step));
        }
        Widget &w = *window;
        const QString rate = control<QComboBox>(w, "comBaudRate")->currentText();
        const QString port = control<QComboBox>(w, "comPort")->currentText();
        after.replace("LINK", dir.filePath("ttyQIVO"));
        // A stopped receive reports its end later.
        const QString extras = (rate == "115200" ? "" : " " + rate) + (drops.isEmpty() ? "" : " " + drops)
                               + (clicks.contains("given") ? " " + port : "");
        QTRY_COMPARE((QStringList{state(w) + extras} + watcher.boxes).join('\n'), after);
        QCOMPARE(messages.size(), watcher.boxes.size()); // nothing logged but with a box
        if (!watcher.dialogs.isEmpty()) // the first dialog starts in the working folder, or the remembered one
            QCOMPARE(watcher.dialogs.value(0),
                     "open file|All file (*.bin)|" + (clicks.contains("port file") ? QDir::currentPath() : dir.path()));
    }

    // Every way an upgrade ends, with the boxes the user is left with. The first
    // two lines go at the chosen 9600 baud, at+update and the firmware at 115200
    // (the device reports each line with its rate, and a wrong one on stderr).
    void upgrade_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QStringList>("expected"); // boxes
        QTest::newRow("success, with help asked for on the way")
            << "help" << QStringList{"Widget|Help|This tool is applicable to QIVO LoRa modules: QIVO-M1, QIVO-M2, "
                                     "QIVO-M3, and their derivatives such as QIVO-G1, etc.|Question|Close|Close|"
                                     "Messagebox help|" + Sending + "fw.bin",
                                     "Widget|Success|Device firmware upgrade successful\xef\xbc\x81|Information|OK|"
                                     "OK|Messagebox success|" + Ended + "fw.bin"};
        const QString failure =
            "Widget|Failure|Device firmware upgrade %1|Warning|Close|Close|Messagebox %2|" + Ended + "fw.bin";
        QTest::newRow("device never answers") << "silent" << QStringList{failure.arg("timeout!", "timeout")};
        QTest::newRow("firmware gone") << "no file" << QStringList{failure.arg("failed!", "default")};
        // The window holds the port during the preamble; the worker's own open fails.
        QTest::newRow("worker cannot open the port") << "no port" << QStringList{failure.arg("failed!", "failed")};
        // The device goes while the window holds the port and another takes its
        // name: that one got no preamble, so no transfer may start on it.
        QTest::newRow("device gone in the preamble") << "vanish" << QStringList{failure.arg("failed!", "failed")};
        QTest::newRow("Cancel") << "cancel" << QStringList{failure.arg("cancelled!", "cancelled")};
        QTest::newRow("window closed during the transfer") << "close" << QStringList();
        QTest::newRow("window closed during the preamble") << "close in preamble" << QStringList();
    }

    void upgrade()
    {
        QFETCH(QString, how);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        const QByteArray firmware = randomBytes(300 * 1024 + 3, 42);
        QVERIFY(writeFile(dir.filePath("fw.bin"), firmware));
        Sim sim(QStringList{"--baud", "9600"} + (how == "silent" ? QStringList{"--silent"} : QStringList()));
        const QString link = dir.filePath("ttyQIVO");
        QVERIFY(QFile::link(sim.port, link));
        PtyPeer other; // takes the name of a device that vanished
        std::unique_ptr<Widget> w(new Widget);
        w->show();
        if (how == "silent" || how == "vanish") { // a transfer on `other` would time out soon
            w->ymodemFileTransmit->setTimeDivide(9);
            w->ymodemFileTransmit->setTimeMax(1);
        }
        ModalWatcher watcher;
        control<QComboBox>(*w, "comBaudRate")->setCurrentText("9600");
        w->setPort(link); // as `qivo-dfu --port LINK` starts it
        click(*w, "comButton");
        watcher.pick = dir.filePath("fw.bin");
        click(*w, "transmitBrowse");
        if (how == "no file")
            QVERIFY(QFile::remove(dir.filePath("fw.bin")));
        QProgressBar *bar = control<QProgressBar>(*w, "transmitProgress");
        QStringList seen; // the controls as the first line and the firmware arrive
        sim.onLine = [&](const QByteArray &line) {
            const SimReport::Report report = SimReport::parse(line);
            const bool firstLine = report.kind == SimReport::Kind::Line && report.text == "at+version";
            if (firstLine || report.kind == SimReport::Kind::Receiving)
                seen << state(*w) + " " + bar->styleSheet();
            if (how == "no port")
                QFile::remove(link);
            if (how == "vanish" && firstLine) {
                sim.process.kill();
                QFile::remove(link);
                QFile::link(other.path, link);
            }
            if (how == "close in preamble")
                w->close();
        };
        click(*w, "transmitButton");

        if (how == "close in preamble") {
            // The rest of the preamble is dropped and no transfer takes the port.
            QCOMPARE(openCount(sim.port), 0);
            QTest::qWait(100);
            QCOMPARE(sim.lines.size(), 3); // port, dir, the first line
            QCOMPARE(state(*w), Released + "fw.bin");
        } else if (how == "help" || how == "cancel" || how == "close") {
            QTRY_VERIFY_WITH_TIMEOUT(bar->value() >= 3, 20000);
        }
        if (how == "help") {
            const int progressAtHelp = bar->value();
            click(*w, "helpButton");
            QVERIFY(bar->value() > progressAtHelp); // the transfer went on behind the box
        } else if (how == "cancel") {
            click(*w, "transmitButton");
            // Released at once; the selectors wait for the worker's outcome.
            QCOMPARE(state(*w) + " " + bar->text(), "ports- baud- [Select Port]- browse- [Cancel]- fw.bin 0%");
        } else if (how == "close") {
            w->close();
            w.reset(); // the program ends right after
        }
        if (how == "cancel" || how == "close") // the device must not be left waiting
            QVERIFY(!sim.line("ended cancelled fw.bin").isEmpty());

        QTRY_COMPARE_WITH_TIMEOUT(watcher.boxes, expected, 30000); // each with the line logged before it
        QCOMPARE(messages.size(), expected.size()); // and nothing else
        if (!expected.isEmpty()) {
            QTRY_COMPARE(state(*w), Released + "fw.bin");
            QTest::qWait(150); // no second outcome follows
            QCOMPARE(watcher.boxes.size(), expected.size());
        }
        QCOMPARE(sim.process.readAllStandardError(), QByteArray());
        QCOMPARE(!sim.line("stored fw.bin", how == "help" ? 5000 : 0).isEmpty(), how == "help");
        if (how != "help")
            return;

        const QString chunk = " QProgressBar::chunk { background-color: ";
        QCOMPARE(QString::number(bar->value()) + " " + bar->styleSheet(), "100" + chunk + "#36C649 }");
        QCOMPARE(seen, (QStringList{"ports- baud- [Close Port]- browse- [  Upgrade  ]- fw.bin" + chunk + "#909090 }",
                                    Sending + "fw.bin" + chunk + "#909090 }"}));
        const qint64 version = sim.arrival("line at+version 9600"), boot = sim.arrival("line at+boot 9600"),
                     update = sim.arrival("line at+update 115200");
        QVERIFY2(version >= 0 && boot - version >= 950 && update - boot >= 450,
                 qPrintable(QString("%1 %2 %3").arg(version).arg(boot).arg(update)));
        QCOMPARE(readFile(sim.dir.filePath("fw.bin")), firmware);
    }

};

int main(int argc, char *argv[])
{
    // the font and the ten pictures
    resourcesBeforeApplication = QFile::exists(FontPath) && QDir(":/image/res").entryList({"*.png"}).size() == 10;

    QTemporaryDir config; // the remembered choices, never the user's own
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tst_Widget test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_widget.moc"
