// qivo-device-sim: a QIVO module on a pseudo-terminal, for trying and
// testing the upgrade tools without hardware.

#include "devicesim.h"
#include "outcome.h"
#include "ptyline.h"
#include "simreport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t put = ::write(signalPipe[1], &byte, 1);
}

int usage(const QString &message)
{
    std::fprintf(stderr, "qivo-device-sim: %s\n", qPrintable(message));
    return ExitCode::Usage;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("qivo-device-sim");
    QCoreApplication::setApplicationVersion(QT_STRINGIFY(QIVO_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "A QIVO module on a pseudo-terminal. Prints the port to open, answers the AT lines, "
        "restarts into its boot loader after at+update and receives one file with YMODEM into "
        "its folder, then waits for the next upgrade.\n"
        "Output lines: port PATH | dir PATH | line TEXT BAUD | restarting MS | boot loader ready | "
        "receiving NAME SIZE | stored NAME SIZE SHA256 SECONDS | ended OUTCOME NAME BYTES.\n"
        "A line arriving at another rate than the tool must use is an error on standard error.");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption link("link", "Also make a symlink PATH to the port; PATH must not exist. Removed at exit while it still points to this port.", "PATH");
    const QCommandLineOption dir("dir", "Store received files in DIR (default: a new temporary folder).", "DIR");
    const QCommandLineOption baud("baud", "Rate the first AT lines must come at (default 115200).", "RATE", "115200");
    const QCommandLineOption bootMs("boot-ms", "Restart time after at+update (default 1000).", "MS", "1000");
    const QCommandLineOption once("once", "Exit after one upgrade: 0 when a file was stored and every line came at its rate.");
    const QCommandLineOption pace("pace", "Pace this end to the line's rate (10 bits a byte).");
    const QCommandLineOption silent("silent", "Never answer anything.");
    const QCommandLineOption noBoot("no-boot", "Answer the AT lines but never enter the boot loader.");
    const QCommandLineOption inBootLoader("in-boot-loader", "Start in the boot loader, as a module restarted before "
                                          "the flasher came (qivo-dfu-cli --no-preamble).");
    const QCommandLineOption cancelAfter("cancel-after", "Cancel after N data blocks.", "N");
    const QCommandLineOption noise("noise", "Flip each bit on the line with chance RATE, both ways, in the boot loader.", "RATE");
    const QCommandLineOption seed("seed", "Seed for --noise (default 1).", "S", "1");
    const QCommandLineOption eotAckFirst("eot-ack-first", "Answer the first EOT with ACK.");
    const QCommandLineOption nakAfter("nak-after", "Answer every data block after the first N with NAK, as a module "
                                      "whose flash refuses writes: the sender gives up at its error limit.", "N");
    parser.addOptions({link, dir, baud, bootMs, once, pace, silent, noBoot, inBootLoader, cancelAfter, noise, seed, eotAckFirst, nakAfter});
    if (!parser.parse(QCoreApplication::arguments()))
        return usage(parser.errorText());
    if (parser.isSet("help"))
        parser.showHelp(0);
    if (parser.isSet("version"))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return usage("unexpected argument " + parser.positionalArguments().first());

    DeviceSim::Options options;
    bool ok = true;
    auto number = [&](const QCommandLineOption &option, int min) {
        bool good = false;
        const int value = parser.value(option).toInt(&good);
        if (!good || value < min)
            ok = false;
        return value;
    };
    options.baud = number(baud, 1);
    options.bootMs = number(bootMs, 0);
    if (parser.isSet(cancelAfter))
        options.cancelAfter = number(cancelAfter, 0);
    if (parser.isSet(nakAfter))
        options.nakAfter = number(nakAfter, 0);
    const quint32 seedValue = quint32(number(seed, 0));
    double noiseRate = 0;
    if (parser.isSet(noise))
        noiseRate = parser.value(noise).toDouble(&ok);
    if (!ok || noiseRate < 0 || noiseRate > 1)
        return usage("bad number; see --help");
    options.once = parser.isSet(once);
    options.silent = parser.isSet(silent);
    options.noBoot = parser.isSet(noBoot);
    options.inBootLoader = parser.isSet(inBootLoader);
    options.eotAckFirst = parser.isSet(eotAckFirst);

    if (parser.isSet(dir)) {
        options.dir = QFileInfo(parser.value(dir)).absoluteFilePath();
        if (!QFileInfo(options.dir).isDir())
            return usage("no such folder: " + options.dir);
    } else {
        QByteArray pattern = QFile::encodeName(QDir::tempPath()) + "/qivo-device-sim-XXXXXX";
        if (!mkdtemp(pattern.data()))
            return usage("cannot create a temporary folder");
        options.dir = QFile::decodeName(pattern);
    }

    PtyLine line(parser.isSet(pace));
    QString error;
    if (!line.open(&error)) {
        std::fprintf(stderr, "qivo-device-sim: %s\n", qPrintable(error));
        return 1;
    }
    line.setNoise(noiseRate, seedValue);

    // The link never replaces what is at its path, which may be another
    // device's link or no link at all.
    const QByteArray linkPath = QFile::encodeName(parser.value(link));
    const QByteArray target = QFile::encodeName(line.slavePath());
    if (!linkPath.isEmpty() && ::symlink(target.constData(), linkPath.constData()) != 0) {
        std::fprintf(stderr, "qivo-device-sim: cannot make the link %s: %s\n", linkPath.constData(),
                     errno == EEXIST ? "the path exists; remove it first" : std::strerror(errno));
        return 1;
    }

    SimReport::say(SimReport::port(line.slavePath()) + '\n' + SimReport::dir(options.dir));

    // SIGINT/SIGTERM end the event loop so the link is removed.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
        return 1;
    QSocketNotifier signalled(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalled, &QSocketNotifier::activated, &app, [] { QCoreApplication::exit(0); });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    DeviceSim device(options, &line);
    QObject::connect(&device, &DeviceSim::done, &app, &QCoreApplication::exit);

    const int code = app.exec();
    // Only our own link goes: another simulator may have taken the path over.
    char points[PATH_MAX];
    const ssize_t length = linkPath.isEmpty() ? -1 : ::readlink(linkPath.constData(), points, sizeof points);
    if (length >= 0 && QByteArray(points, int(length)) == target)
        ::unlink(linkPath.constData());
    return code;
}
