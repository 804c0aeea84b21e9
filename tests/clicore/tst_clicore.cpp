// What the flasher decides without a device, asked directly: where a port
// name is opened, usb: selectors, which outcome decides the exit code, and
// what a station's slots show on a made-up file system.

#include "location.h"
#include "output.h"
#include "presence.h"
#include "serialline.h"
#include "usbport.h"

#include <QtTest>

namespace {

// A file system of links, character devices and others, written as
// "path -> target" for a link, "path c" for a serial device, "path d" for a
// folder, "path f" for a regular file; a node's number is its line's.
class MadeUpFiles : public FileSystemView
{
public:
    explicit MadeUpFiles(const QStringList &entries)
    {
        for (int i = 0; i < entries.size(); ++i) {
            const QStringList parts = entries[i].split(' ');
            PathNode node;
            node.exists = true;
            node.identity = QByteArray::number(i + 1);
            node.isLink = parts[1] == "->";
            node.linkTarget = node.isLink ? parts[2] : QString();
            node.kind = parts[1] == "d" ? "a folder" : parts[1] == "f" ? "a regular file" : QString();
            nodes.insert(parts[0], node);
        }
    }
    PathNode node(const QString &path) const override { return nodes.value(path); }
    bool isFolder(const QString &path) const override
    {
        return path == "/" || nodes.value(path).kind == "a folder";
    }
    QString canonical(const QString &path) const override
    {
        QString at = path;
        for (int depth = 0; depth < 16 && nodes.value(at).isLink; ++depth)
            at = nodes.value(at).linkTarget;
        return nodes.value(at).exists ? at : QString();
    }

private:
    QMap<QString, PathNode> nodes;
};

PortInfo usbPort(const QString &location, quint16 vid, quint16 pid, const QString &serial)
{
    PortInfo port;
    port.systemLocation = location;
    port.usb = true;
    port.vid = vid;
    port.pid = pid;
    port.serial = serial;
    return port;
}

// Devices as "device<slot" pairs, sorted by device.
QStringList shown(const Presence &presence)
{
    QStringList pairs;
    for (auto it = presence.devices.cbegin(); it != presence.devices.cend(); ++it)
        pairs << it.key() + '<' + it->slot;
    return pairs;
}

} // namespace

Q_DECLARE_METATYPE(Outcome)

class TstCliCore : public QObject
{
    Q_OBJECT

private slots:
    void portLocation_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("opened");
        QTest::newRow("name") << "ttyUSB0" << "/dev/ttyUSB0";
        QTest::newRow("under /dev") << "pts/3" << "/dev/pts/3";
        QTest::newRow("absolute") << "/tmp/slot" << "/tmp/slot";
        QTest::newRow("here") << "./slot" << "./slot";
        QTest::newRow("above") << "../slot" << "../slot";
        QTest::newRow("dotted name stays under /dev") << ".slot" << "/dev/.slot";
    }

    void portLocation()
    {
        QFETCH(QString, name);
        QFETCH(QString, opened);
        QCOMPARE(SerialLine::systemLocation(name), opened);
    }

    void usbSelector_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<QString>("matches"); // of the ports below, by location
        QTest::newRow("VID:PID") << "usb:0403:6001" << true << "/dev/ttyUSB0 /dev/ttyUSB1";
        QTest::newRow("upper case, no leading zeros") << "USB:403:6001" << true << "/dev/ttyUSB0 /dev/ttyUSB1";
        QTest::newRow("with serial") << "usb:0403:6001:A1" << true << "/dev/ttyUSB1";
        QTest::newRow("serial of no port") << "usb:0403:6001:Z9" << true << "";
        QTest::newRow("other product") << "usb:1a86:7523" << true << "/dev/ttyUSB2";
        QTest::newRow("no PID") << "usb:0403" << false << "";
        QTest::newRow("not hexadecimal") << "usb:04g3:6001" << false << "";
        QTest::newRow("over 16 bits") << "usb:10403:6001" << false << "";
        QTest::newRow("a field too many") << "usb:0403:6001:A1:x" << false << "";
        QTest::newRow("no prefix") << "0403:6001" << false << "";
    }

    void usbSelector()
    {
        QFETCH(QString, given);
        QFETCH(bool, parsed);
        QFETCH(QString, matches);
        PortInfo plain;
        plain.systemLocation = "/dev/ttyS0"; // no USB identifiers: matches nothing
        const QList<PortInfo> ports{plain, usbPort("/dev/ttyUSB0", 0x0403, 0x6001, ""),
                                    usbPort("/dev/ttyUSB1", 0x0403, 0x6001, "A1"),
                                    usbPort("/dev/ttyUSB2", 0x1a86, 0x7523, "A1")};
        UsbSelector selector;
        QCOMPARE(UsbSelector::parse(given, &selector), parsed);
        QStringList found;
        for (const PortInfo &port : ports)
            if (parsed && selector.matches(port))
                found << port.systemLocation;
        QCOMPARE(found.join(' '), matches);
    }

    // --list's and the record's location: udev's links are relative, a
    // device has a "-usbv2-" twin name (the shorter one counts), and a
    // dangling link belongs to a device just gone.
    void byPathLocation()
    {
        QTemporaryDir dir;
        const QString port = dir.filePath("ttyUSB0"), link = dir.filePath("slot");
        QVERIFY(QDir(dir.path()).mkdir("by-path") && QFile(port).open(QFile::WriteOnly));
        const QString byPath = dir.filePath("by-path"), usb = "pci-0-usb-0:1:1.0-port0";
        const QStringList names{usb, "pci-0-usbv2-0:1:1.0-port0", "pci-0-usb-0:2:1.0-port0"};
        for (const QString &name : names)
            QVERIFY(QFile::link(name.contains(":2:") ? "../gone" : "../ttyUSB0", byPath + '/' + name));
        QVERIFY(QFile::link(port, link));
        QCOMPARE(byPathNames(byPath), (QHash<QString, QString>{{QFileInfo(port).canonicalFilePath(), usb}}));
        QCOMPARE(byPathName(link, byPath), usb); // through a link to the port
        QCOMPARE(byPathName(dir.filePath("none"), byPath), QString());
    }

    void usbNames()
    {
        QCOMPARE(usbPort("/dev/ttyUSB0", 0x403, 0x6001, "").selector(), "usb:0403:6001");
        QCOMPARE(usbPort("/dev/ttyUSB0", 0x1a86, 0x7523, "A1").selector(), "usb:1a86:7523:A1");
        QCOMPARE(usbPort("/dev/ttyUSB0", 0x1a86, 0x7523, "A1").vidPid(), "1a86:7523");
        QCOMPARE(PortInfo().vidPid(), QString());
    }

    // The worst outcome decides: a device left with half an image first,
    // then one never reached, then one that never answered; a cancel last.
    void exitCode_data()
    {
        QTest::addColumn<QList<Outcome>>("outcomes");
        QTest::addColumn<bool>("signalled");
        QTest::addColumn<bool>("recordLost");
        QTest::addColumn<int>("code");
        using O = Outcome;
        QTest::newRow("none") << QList<O>{} << false << false << 0;
        QTest::newRow("all succeeded") << QList<O>{O::Success, O::Success} << false << false << 0;
        QTest::newRow("failed beats port error") << QList<O>{O::PortError, O::Failed, O::Timeout} << false << false << 1;
        QTest::newRow("port error beats timeout") << QList<O>{O::Timeout, O::PortError} << false << false << 4;
        QTest::newRow("timeout beats cancelled") << QList<O>{O::Cancelled, O::Success, O::Timeout} << false << false << 3;
        QTest::newRow("cancelled beats success") << QList<O>{O::Success, O::Cancelled} << false << false << 2;
        QTest::newRow("a signal is a cancel, whatever else") << QList<O>{O::Failed} << true << true << 2;
        QTest::newRow("record lost, all succeeded") << QList<O>{O::Success} << false << true << 1;
        QTest::newRow("record lost, timeout stays") << QList<O>{O::Timeout} << false << true << 3;
    }

    void exitCode()
    {
        QFETCH(QList<Outcome>, outcomes);
        QFETCH(bool, signalled);
        QFETCH(bool, recordLost);
        QFETCH(int, code);
        Output output(true, Output::Progress::None);
        for (const Outcome outcome : outcomes)
            output.count(outcome);
        if (recordLost)
            output.recordFailed("test: the record is gone");
        QCOMPARE(output.exitCode(signalled), code);
    }

    void presence_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("watched");
        QTest::addColumn<QStringList>("devices");       // device<slot
        QTest::addColumn<QStringList>("misconfigured"); // slot: why
        QTest::addColumn<QStringList>("folders");       // sorted

        const QStringList dev{"/dev d", "/dev/pts d", "/dev/pts/3 c", "/dev/pts/4 c", "/dev/ttyUSB0 c",
                              "/dev/ttyUSB1 c", "/line d"};
        QTest::newRow("slot not there yet: its nearest folder is watched")
            << dev << QStringList{"/line/a/s0"} << QStringList{} << QStringList{} << QStringList{"/line"};
        QTest::newRow("link to a device")
            << dev + QStringList{"/line/s0 -> /dev/pts/3"} << QStringList{"/line/s0"}
            << QStringList{"/dev/pts/3</line/s0"} << QStringList{} << QStringList{"/dev/pts", "/line"};
        QTest::newRow("two links to one device: the first slot has it")
            << dev + QStringList{"/line/s0 -> /dev/pts/3", "/line/s1 -> /line/s0"}
            << QStringList{"/line/s1", "/line/s0"} << QStringList{"/dev/pts/3</line/s1"} << QStringList{}
            << QStringList{"/dev/pts", "/line"};
        QTest::newRow("dangling link")
            << dev + QStringList{"/line/s0 -> /dev/pts/9"} << QStringList{"/line/s0"} << QStringList{}
            << QStringList{} << QStringList{"/dev/pts", "/line"};
        QTest::newRow("loop of links")
            << dev + QStringList{"/line/s0 -> /line/s1", "/line/s1 -> /line/s0"} << QStringList{"/line/s0"}
            << QStringList{} << QStringList{} << QStringList{"/line"};
        QTest::newRow("a folder and a regular file are no units")
            << dev + QStringList{"/line/f f", "/line/s1 -> /line/f"} << QStringList{"/line", "/line/s1", "/dev/pts/4"}
            << QStringList{"/dev/pts/4</dev/pts/4"}
            << QStringList{"/line: /line is a folder, not a serial device",
                           "/line/s1: /line/s1 is a regular file, not a serial device"}
            << QStringList{"/", "/dev/pts", "/line"};
        QTest::newRow("usb: every port it matches, udev's folders watched")
            << dev << QStringList{"usb:0403:6001"} << QStringList{"/dev/ttyUSB0<usb:0403:6001", "/dev/ttyUSB1<usb:0403:6001"}
            << QStringList{} << QStringList{"/dev", "/run/udev/data"};
        QTest::newRow("usb: with a serial number, beside a path to the same device")
            << dev << QStringList{"/dev/ttyUSB1", "usb:0403:6001:A1"} << QStringList{"/dev/ttyUSB1</dev/ttyUSB1"}
            << QStringList{} << QStringList{"/dev", "/run/udev/data"};
    }

    void presence()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, watched);
        QFETCH(QStringList, devices);
        QFETCH(QStringList, misconfigured);
        QFETCH(QStringList, folders);
        int asked = 0;
        const auto ports = [&asked] {
            ++asked;
            return QList<PortInfo>{usbPort("/dev/ttyUSB0", 0x0403, 0x6001, ""), usbPort("/dev/ttyUSB1", 0x0403, 0x6001, "A1")};
        };
        const Presence now = findPresent(watched, ports, MadeUpFiles(files));
        QCOMPARE(shown(now), devices);
        QStringList why;
        for (auto it = now.misconfigured.cbegin(); it != now.misconfigured.cend(); ++it)
            why << it.key() + ": " + it.value();
        QCOMPARE(why, misconfigured);
        QStringList looked = now.folders.values();
        looked.sort();
        QCOMPARE(looked, folders);
        // The port list is read for usb: slots only, and once a look.
        QCOMPARE(asked, int(std::count_if(watched.begin(), watched.end(), [](const QString &s) { return s.startsWith("usb:"); }) > 0));
    }

    // A unit has left when its slot no longer shows it, when something on
    // its way was made anew, or when a name on its way was removed between
    // two looks, even if the same names stand there again.
    void hasLeft_data()
    {
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<QStringList>("removed");
        QTest::addColumn<bool>("left");
        const QStringList before{"/dev d", "/dev/pts d", "/dev/pts/3 c", "/line d", "/line/s0 -> /dev/pts/3"};
        QTest::newRow("still there") << before << QStringList{} << false;
        QTest::newRow("unplugged") << QStringList{"/dev d", "/dev/pts d", "/line d"} << QStringList{} << true;
        QTest::newRow("another folder removed") << before << QStringList{"/line/s9"} << false;
        QTest::newRow("link removed and made again between looks") << before << QStringList{"/line/s0"} << true;
        // The same names on new numbers: a new pty behind the same link.
        QTest::newRow("node made anew") << QStringList{"/dev d", "/dev/pts d", "/line d", "/line/s0 -> /dev/pts/3", "/dev/pts/3 c"}
                                       << QStringList{} << true;
    }

    void hasLeft()
    {
        QFETCH(QStringList, after);
        QFETCH(QStringList, removed);
        QFETCH(bool, left);
        const auto none = [] { return QList<PortInfo>{}; };
        const QStringList before{"/dev d", "/dev/pts d", "/dev/pts/3 c", "/line d", "/line/s0 -> /dev/pts/3"};
        const Presence then = findPresent({"/line/s0"}, none, MadeUpFiles(before));
        const Presence now = findPresent({"/line/s0"}, none, MadeUpFiles(after));
        QVERIFY(then.devices.contains("/dev/pts/3"));
        const QSet<QString> gone(removed.begin(), removed.end());
        QCOMPARE(::hasLeft("/dev/pts/3", then.devices.value("/dev/pts/3"), now, gone), left);
    }
};

QTEST_GUILESS_MAIN(TstCliCore)
#include "tst_clicore.moc"
