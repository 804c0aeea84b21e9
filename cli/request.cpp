#include "request.h"
#include "location.h"
#include "blockzero.h"
#include "board.h"
#include "outcome.h"
#include "output.h"
#include "serialline.h"
#include "usbport.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QSet>

#include <cstdio>

namespace {

const char kEpilogue[] =
    "\nPORT is a name like ttyUSB0 (/dev/ttyUSB0), a full path, or usb:VID:PID[:SERIAL]\n"
    "in hexadecimal as --list shows it. Every port gets the boot preamble (at+version\n"
    "and at+boot at --baud, at+update at 115200) and then FILE with YMODEM at 115200;\n"
    "several ports are flashed at once.\n"
    "\n"
    "An empty FILE goes out as a zero-length file, as the upgrade window sends it,\n"
    "with a warning: the device's boot loader, not the flasher, decides about it.\n"
    "\n"
    "Results: one line per port on stdout. Progress: on stderr, a bar per port on a\n"
    "terminal, otherwise a plain line per 10 %. --json: only JSON lines on stdout.\n"
    "\n"
    "Exit codes:\n"
    "   0  every port succeeded\n"
    "   1  a transfer failed, the --record file could not be written, or the --http\n"
    "      board could not be served\n"
    "   2  cancelled (by a device, or by SIGINT/SIGTERM/SIGHUP/SIGPIPE, which cancel\n"
    "      every port)\n"
    "   3  timeout: a device never answered\n"
    "   4  a port could not be opened, or usb:... named no single port\n"
    "  64  bad usage: unknown option, FILE unusable or not a regular file, a port\n"
    "      given twice, a --record that is not a regular file, a --http that is not\n"
    "      [ADDRESS:]PORT\n"
    "With several ports the worst outcome decides, in this order: failed, port\n"
    "error, timeout, cancelled. Those signals always exit with 2.\n"
    "\n"
    "--watch runs a station until SIGINT/SIGTERM: a PORT path may not exist yet, and a\n"
    "usb:VID:PID without a serial number is a family of slots. A device that appears\n"
    "is flashed; one left plugged in is not flashed again until it has gone. A slot\n"
    "that leads to something other than a serial device is reported once. Its exit\n"
    "code is 0 when every unit finally succeeded, otherwise the worst final outcome's;\n"
    "stopped while a transfer ran, 2; 1 at least once the record could not be\n"
    "written, after which it starts no more units.\n"
    "\n"
    "--http ADDRESS:PORT serves the board: / (a page with a tile per slot), /events\n"
    "(Server-Sent Events: a snapshot, then the objects --json prints), /status (the\n"
    "snapshot) and /metrics (Prometheus). It is read-only; stop the station with a\n"
    "signal or its service. On a terminal without --json, --watch draws a line per\n"
    "slot under the results.\n";

void complain(const QString &message)
{
    Output::complain(message);
}

void listPorts()
{
    const QList<PortInfo> ports = PortInfo::available();
    if (ports.isEmpty()) {
        complain("no serial ports found");
        return;
    }
    // Adapters of one make tell apart only by where they are plugged in.
    const QHash<QString, QString> locations = byPathNames();
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    std::printf("%-16s %-28s %-20s %-16s %-13s %s\n", "PORT", "DESCRIPTION", "MANUFACTURER", "SERIAL", "USB", "LOCATION");
    for (const QSerialPortInfo &info : infos) {
        const PortInfo port = PortInfo::of(info);
        const QString location = locations.value(QFileInfo(info.systemLocation()).canonicalFilePath());
        std::printf("%-16s %-28s %-20s %-16s %-13s %s\n", qPrintable(info.systemLocation()),
                    qPrintable(info.description().isEmpty() ? "-" : info.description()),
                    qPrintable(info.manufacturer().isEmpty() ? "-" : info.manufacturer()),
                    qPrintable(info.serialNumber().isEmpty() ? "-" : info.serialNumber()),
                    qPrintable(port.usb ? "usb:" + port.vidPid() : "-"),
                    qPrintable(location.isEmpty() ? "-" : location));
    }
}

QString candidates(const QList<PortInfo> &ports)
{
    QStringList lines;
    for (const PortInfo &port : ports)
        if (port.usb)
            lines << "  " + port.selector() + "  " + port.systemLocation;
    return lines.isEmpty() ? QString("  (no USB serial ports)") : lines.join('\n');
}

// The one port a usb:VID:PID[:SERIAL] selector names; empty with *code set.
QString resolveUsb(const QString &given, int *code)
{
    UsbSelector usb;
    if (!UsbSelector::parse(given, &usb)) {
        *code = ExitCode::Usage;
        complain(QString("%1: expected usb:VID:PID or usb:VID:PID:SERIAL, VID and PID in hexadecimal").arg(given));
        return QString();
    }
    QList<PortInfo> matches;
    const QList<PortInfo> ports = PortInfo::available();
    for (const PortInfo &port : ports)
        if (usb.matches(port))
            matches << port;

    if (matches.size() == 1)
        return matches.first().systemLocation;
    *code = ExitCode::PortError;
    if (matches.isEmpty())
        complain(QString("%1 matches no port; USB serial ports:\n%2").arg(given, candidates(ports)));
    else
        complain(QString("%1 matches %2 ports; add the serial number:\n%3")
                     .arg(given).arg(matches.size()).arg(candidates(matches)));
    return QString();
}

// Every port of a one-shot run, each device once. Returns -1 or an exit code.
int resolveTargets(const QStringList &given, Request *request)
{
    QSet<QString> seen;
    for (const QString &name : given) {
        if (name.isEmpty()) {
            complain("empty port name");
            return ExitCode::Usage;
        }
        int code = ExitCode::Usage;
        const QString path = UsbSelector::looksLike(name) ? resolveUsb(name, &code) : SerialLine::systemLocation(name);
        if (path.isEmpty())
            return code;
        // Two names for one device (a symlink, a by-id path) are the same
        // port; the job opens the device found here, not the name again.
        const QString canonical = QFileInfo(path).canonicalFilePath();
        const QString device = canonical.isEmpty() ? QFileInfo(path).absoluteFilePath() : canonical;
        if (seen.contains(device)) {
            complain(QString("%1: port given twice").arg(name));
            return ExitCode::Usage;
        }
        seen.insert(device);
        request->targets << Request::Target{path, device};
    }
    return -1;
}

// A station's slots: a slot may name a device that is not there yet, so
// it is looked up as devices come and go, not here. Returns -1 or an exit code.
int checkSlots(const QStringList &given, Request *request)
{
    QSet<QString> seen;
    for (const QString &name : given) {
        UsbSelector usb;
        const bool isUsb = UsbSelector::looksLike(name);
        if ((isUsb && !UsbSelector::parse(name, &usb)) || name.isEmpty()) {
            complain(QString("%1: expected a port path or usb:VID:PID[:SERIAL]").arg(name));
            return ExitCode::Usage;
        }
        const QString slot = isUsb ? name.toLower() : QFileInfo(SerialLine::systemLocation(name)).absoluteFilePath();
        if (seen.contains(slot)) {
            complain(QString("%1: slot given twice").arg(name));
            return ExitCode::Usage;
        }
        seen.insert(slot);
        request->watched << (isUsb ? name : SerialLine::systemLocation(name));
    }
    return -1;
}

// Opens and hashes FILE once, from its own bytes: text decoding cannot
// carry a name that is not valid UTF-8 back to the file system. FILE comes
// last, so the last argument that reads as it is the one.
int openImage(const QStringList &arguments, const QList<QByteArray> &raw, Request *request)
{
    QByteArray path = QFile::encodeName(request->file);
    for (int i = qMin(arguments.size(), raw.size()) - 1; i > 0; --i)
        if (arguments[i] == request->file) {
            path = raw[i];
            break;
        }
    QString imageError;
    if (!request->image.open(path, &imageError)) {
        complain(imageError);
        return ExitCode::Usage;
    }
    const int blockZero = BlockZero::length(request->image.name(), quint64(request->image.size()));
    if (blockZero > BlockZero::Size) {
        complain(QString("%1: the name is too long for YMODEM's block 0 (%2 of %3 bytes with the size); rename the file")
                     .arg(QFile::decodeName(request->image.name())).arg(blockZero).arg(BlockZero::Size));
        return ExitCode::Usage;
    }
    return -1;
}

} // namespace

int readRequest(const QStringList &arguments, const QList<QByteArray> &raw, Request *request)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Flashes FILE into QIVO devices on serial ports: the boot preamble, then YMODEM.");
    const QCommandLineOption help({"h", "help"}, "Show this help, with the exit codes.");
    const QCommandLineOption version({"v", "version"}, "Show the version.");
    const QCommandLineOption port({"p", "port"}, "Serial port; repeat it to flash several devices at once.", "PORT");
    const QCommandLineOption baud({"b", "baud"}, "Rate of the first two AT lines (default 115200); the last line and the transfer are always 115200.", "RATE", "115200");
    const QCommandLineOption noPreamble("no-preamble", "The device is already in its boot loader: send no AT lines.");
    const QCommandLineOption json("json", "Machine output: one JSON object per line on stdout, nothing else on stdout.");
    const QCommandLineOption list({"l", "list"}, "List serial ports (name, description, manufacturer, serial number, VID:PID, by-path location) and exit.");
    const QCommandLineOption quiet({"q", "quiet"}, "No progress.");
    const QCommandLineOption watch("watch", "Station: each PORT is a slot; flash every device that appears on one, once, until SIGINT/SIGTERM.");
    const QCommandLineOption retries("retries", "With --watch: start a unit that timed out or failed again, up to N times while it stays plugged in (default 0).", "N", "0");
    const QCommandLineOption record("record", "Append one JSON line per attempt to FILE, synced to disk.", "FILE");
    const QCommandLineOption http("http", "Serve a read-only board (/, /events, /status, /metrics) on [ADDRESS:]PORT, "
                                  "127.0.0.1 unless an address is given; with --watch or several ports. Empty: none.",
                                  "ADDRESS:PORT");
    parser.addOptions({port, baud, noPreamble, json, list, quiet, watch, retries, record, http, help, version});
    parser.addPositionalArgument("FILE", "The firmware image (.bin).");

    if (!parser.parse(arguments)) {
        complain(parser.errorText() + " (see --help)");
        return ExitCode::Usage;
    }
    if (parser.isSet(help)) {
        std::printf("%s%s", qPrintable(parser.helpText()), kEpilogue);
        return ExitCode::Success;
    }
    if (parser.isSet(version)) {
        std::printf("qivo-dfu-cli %s\n", QT_STRINGIFY(QIVO_VERSION));
        return ExitCode::Success;
    }
    if (parser.isSet(list)) {
        listPorts();
        return ExitCode::Success;
    }

    bool ok = false;
    request->baud = parser.value(baud).toInt(&ok);
    if (!ok || request->baud <= 0) {
        complain("bad rate: " + parser.value(baud));
        return ExitCode::Usage;
    }
    request->preamble = !parser.isSet(noPreamble);
    request->json = parser.isSet(json);
    request->quiet = parser.isSet(quiet);
    request->watch = parser.isSet(watch);
    request->retries = parser.value(retries).toInt(&ok);
    if (!ok || request->retries < 0 || (request->retries > 0 && !request->watch)) {
        complain("--retries takes a count of 0 or more, and only with --watch");
        return ExitCode::Usage;
    }
    request->record = parser.value(record);
    request->http = parser.value(http);
    QString host;
    quint16 httpPort = 0;
    if (!request->http.isEmpty() && !Board::parseAddress(request->http, &host, &httpPort)) {
        complain(QString("--http %1: expected [ADDRESS:]PORT, the address an IP address").arg(request->http));
        return ExitCode::Usage;
    }

    const QStringList files = parser.positionalArguments();
    if (files.size() != 1) {
        complain(files.isEmpty() ? "no FILE given (see --help)" : "give exactly one FILE");
        return ExitCode::Usage;
    }
    request->file = files.first();
    if (const int code = openImage(arguments, raw, request); code >= 0)
        return code;

    const QStringList givenPorts = parser.values(port);
    if (givenPorts.isEmpty()) {
        complain("no port given: use -p PORT (--list shows them)");
        return ExitCode::Usage;
    }
    if (const int code = request->watch ? checkSlots(givenPorts, request) : resolveTargets(givenPorts, request);
        code >= 0)
        return code;

    if (request->image.size() == 0)
        complain(QString("warning: %1 is empty; it goes out as a zero-length file, as the window sends it")
                     .arg(request->file));
    return -1;
}
