// The command-line flasher over paced simulated devices: each device's share
// of a 115200 baud line from block 0 to the end (its own clock, on its side
// of the line), and the flasher's CPU time over the whole run as a share of
// one core. One device, then several at once. Prints figures.

#include "benchsupport.h"
#include "simreport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr double LineBytesPerSecond = 115200 / 10.0;

struct Device
{
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    QTemporaryDir dir;
    QString port;
    bool started = false; // it has said where it stores
    SimReport::Report stored; // what it said when it stored the file
    QByteArray pending;

    void read()
    {
        pending += process->readAllStandardOutput();
        for (const QByteArray &line : takeLines(pending)) {
            const SimReport::Report report = SimReport::parse(line);
            if (report.kind == SimReport::Kind::Port)
                port = report.path;
            else if (report.kind == SimReport::Kind::Dir)
                started = true;
            else if (report.kind == SimReport::Kind::Stored)
                stored = report;
        }
    }
};

struct CliRun
{
    int status = -1;
    double wall = 0;
    double cpu = 0;
};

// Started by hand so that its CPU time can be read once it has ended.
CliRun runCli(const QStringList &args)
{
    CliRun run;
    QElapsedTimer clock;
    clock.start();
    std::fflush(stdout); // the flasher's result lines follow ours
    const pid_t pid = startChild(QStringList{QIVO_CLI} + args);
    if (pid < 0)
        return run;
    run.status = waitForChild(pid, -1, &run.cpu);
    run.wall = clock.nsecsElapsed() / 1e9;
    return run;
}

bool measure(int count, const QString &file, qint64 size)
{
    std::vector<std::unique_ptr<Device>> devices;
    QStringList args{"-q", file};
    for (int i = 0; i < count; ++i) {
        auto device = std::make_unique<Device>();
        device->process->start(QIVO_SIM, {"--pace", "--once", "--dir", device->dir.path()});
        while (!device->started && device->process->waitForReadyRead(5000))
            device->read();
        if (device->port.isEmpty()) {
            std::fprintf(stderr, "flashbench: the simulator did not start\n");
            return false;
        }
        args << "-p" << device->port;
        devices.push_back(std::move(device));
    }

    const CliRun cli = runCli(args);
    std::printf("\n%d device(s), %lld bytes each: flasher exit %d, %.1f s, CPU %.2f s = %.2f%% of one core\n",
                count, static_cast<long long>(size), cli.status, cli.wall, cli.cpu,
                cli.wall > 0 ? 100 * cli.cpu / cli.wall : 0);
    std::printf("%-14s %10s %10s %8s\n", "port", "seconds", "bytes/s", "of line");
    double worst = 1;
    for (const auto &device : devices) {
        device->process->waitForFinished(10000);
        device->read();
        const double seconds = device->stored.seconds;
        if (device->stored.kind != SimReport::Kind::Stored || device->stored.size != size || seconds <= 0) {
            std::printf("%-14s not stored\n", qPrintable(device->port));
            worst = 0;
            continue;
        }
        const double share = size / seconds / LineBytesPerSecond;
        worst = qMin(worst, share);
        std::printf("%-14s %10.2f %10.0f %7.1f%%\n", qPrintable(device->port), seconds, size / seconds, 100 * share);
    }
    std::printf("lowest share %.1f%%\n", 100 * worst);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Flashes paced simulated devices with qivo-dfu-cli and prints line shares and CPU time.");
    parser.addHelpOption();
    const QCommandLineOption size("size", "Bytes per file (default 1048576).", "BYTES", "1048576");
    const QCommandLineOption devices("devices", "Device counts to run, in order (default 1,8).", "LIST", "1,8");
    parser.addOptions({size, devices});
    parser.process(app);

    QTemporaryDir work;
    const qint64 bytes = parser.value(size).toLongLong();
    const QString file = work.filePath("firmware.bin");
    if (bytes <= 0 || !writeRandomFile(file, bytes, 11))
        return 1;

    std::printf("paced at 115200 baud (%.0f bytes/s); share: payload bytes over the device's time from block 0 to the end\n",
                LineBytesPerSecond);
    for (const QString &count : parser.value(devices).split(','))
        if (!measure(count.toInt(), file, bytes))
            return 1;
    return 0;
}
