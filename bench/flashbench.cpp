// The command-line flasher over paced simulated devices: each device's share
// of a 115200 baud line from block 0 to the end (its own clock, on its side
// of the line), and the flasher's CPU time over the whole run as a share of
// one core. One device, then several at once. Prints figures.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace {

constexpr double LineBytesPerSecond = 115200 / 10.0;

struct Device
{
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    QTemporaryDir dir;
    QString port;
    QByteArray out;
};

struct CliRun
{
    int status = -1;
    double wall = 0;
    double cpu = 0;
};

// Started without Qt so that wait4 can hand back its resource usage.
CliRun runCli(const QStringList &args)
{
    std::vector<QByteArray> storage{QByteArray(QIVO_CLI)};
    for (const QString &arg : args)
        storage.push_back(arg.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    CliRun run;
    QElapsedTimer clock;
    clock.start();
    std::fflush(stdout); // the flasher's result lines follow ours
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return run;
    int status = 0;
    rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid)
        return run;
    run.wall = clock.nsecsElapsed() / 1e9;
    run.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6
            + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool measure(int count, const QString &file, qint64 size)
{
    std::vector<std::unique_ptr<Device>> devices;
    QStringList args{"-q", file};
    for (int i = 0; i < count; ++i) {
        auto device = std::make_unique<Device>();
        device->process->start(QIVO_SIM, {"--pace", "--once", "--dir", device->dir.path()});
        while (!device->out.contains("\ndir ") && device->process->waitForReadyRead(5000))
            device->out += device->process->readAllStandardOutput();
        if (!device->out.startsWith("port ")) {
            std::fprintf(stderr, "flashbench: the simulator did not start\n");
            return false;
        }
        device->port = QString::fromLocal8Bit(device->out.mid(5, device->out.indexOf('\n') - 5));
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
        device->out += device->process->readAllStandardOutput();
        const int at = device->out.indexOf("\nstored ");
        const QList<QByteArray> fields = at < 0 ? QList<QByteArray>()
            : device->out.mid(at + 1, device->out.indexOf('\n', at + 1) - at - 1).split(' ');
        const double seconds = fields.value(4).toDouble();
        if (fields.value(2).toLongLong() != size || seconds <= 0) {
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
    QByteArray content(int(bytes), Qt::Uninitialized);
    QRandomGenerator random(11);
    for (char &c : content)
        c = char(random.bounded(256));
    const QString file = work.filePath("firmware.bin");
    QFile out(file);
    if (bytes <= 0 || !out.open(QFile::WriteOnly) || out.write(content) != bytes)
        return 1;
    out.close();

    std::printf("paced at 115200 baud (%.0f bytes/s); share: payload bytes over the device's time from block 0 to the end\n",
                LineBytesPerSecond);
    for (const QString &count : parser.value(devices).split(','))
        if (!measure(count.toInt(), file, bytes))
            return 1;
    return 0;
}
