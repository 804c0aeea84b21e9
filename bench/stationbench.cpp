// The command-line flasher as a factory station: one `qivo-dfu-cli --watch`
// over path slots while paced simulated devices come and go on them, each
// after a random handling gap, several in sequence per slot. Counts the units
// flashed, missed and flashed twice, sets the units per hour against what
// the line, the preamble's waits, the boot time and the gaps allow, and
// measures the flasher's CPU time as a share of one core and its resident
// memory over the run. With --board-clients, the flasher serves its board
// and the bench loads it all along (boardload.h). Prints figures.

#include "benchsupport.h"
#include "boardload.h"
#include "bootpreamble.h"
#include "simreport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>
#include <map>
#include <memory>
#include <vector>

namespace {

constexpr int BootMs = 1000;
// How long the board's readers get to catch up with the flasher's stdout
// before it is stopped, and to see their streams end after.
constexpr int BoardCatchUpMs = 3000;
constexpr double LineBitsPerSecond = BootPreamble::TransferBaudRate;

double preambleSeconds()
{
    int ms = 0;
    for (const BootPreamble::Step &step : BootPreamble::Steps)
        ms += step.waitMs;
    return ms / 1000.0;
}

// The CPU time (user and system) of a process's first thread, in seconds,
// or -1: the rest of its time went to its other threads, ended ones too.
double mainThreadCpuSeconds(pid_t pid)
{
    QFile statFile(QString("/proc/%1/task/%1/stat").arg(pid));
    if (!statFile.open(QFile::ReadOnly))
        return -1;
    const QByteArray stat = statFile.readAll();
    // Fields after the command name, which may hold spaces and parentheses.
    const QList<QByteArray> f = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return (f.value(11).toDouble() + f.value(12).toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

// A process's resident set in KiB, or -1.
qint64 residentKiB(pid_t pid)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QFile::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

struct Sample
{
    double at;
    qint64 kib;
};

struct Unit
{
    int slot = 0;
    double gap = 0;      // handling time before it is plugged in
    double started = -1; // seconds since the station started
    double exited = -1;
    std::unique_ptr<QProcess> process;
    QByteArray pending; // a line not yet complete
    QString port;
    int receiving = 0;
    bool stored = false;
    bool storedRight = false; // the image's size and SHA-256
    bool overdue = false;     // never flashed in time, stopped by us
    int successes = 0;        // the flasher's success results for it
    // When things happened, in seconds since the station started: the link
    // made, the flasher's "appeared", the first AT line, the boot loader
    // ready, block 0, the image stored.
    double linked = -1, appeared = -1, firstLine = -1, bootLoader = -1, blockZero = -1, storedAt = -1;
};

struct Slot
{
    QString path;
    QString dir;
    std::vector<std::unique_ptr<Unit>> units;
    int next = 0;
};

class StationRun
{
public:
    StationRun(const QString &image, const QByteArray &sha, qint64 size, double unitLimit, int boardClients)
        : image(image), sha(sha), size(size), unitLimit(unitLimit), boardClients(boardClients)
    {
    }

    std::vector<Slot> bays; // the slots; Qt keeps the word `slots` to itself

    // Runs until every unit has exited, then stops the flasher. False when
    // the flasher could not be started or, with board clients, its board
    // not loaded (boardError says why).
    bool run()
    {
        QStringList args{"--watch", "--json"};
        for (const Slot &slot : bays)
            args << "-p" << slot.path;
        if (boardClients > 0)
            args << "--http" << "127.0.0.1:0";
        args << image;
        QObject::connect(&flasher, &QProcess::readyReadStandardOutput, [this] { readFlasher(); });
        QObject::connect(&flasher, &QProcess::readyReadStandardError, [this] {
            flasherErrors += flasher.readAllStandardError();
            boardSeen.quit();
        });
        QObject::connect(&flasher, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), [this] {
            if (stopping)
                return;
            flasherDied = true;
            std::fprintf(stderr, "stationbench: the flasher ended before the units were done\n");
            abandon();
        });
        flasher.start(QIVO_CLI, args);
        if (!flasher.waitForStarted(5000))
            return false;
        clock.start();
        // The board's readers are in before the first unit, so that each of
        // them is owed every event the flasher prints.
        if (boardClients > 0 && !loadBoard()) {
            stopping = true;
            flasher.kill();
            flasher.waitForFinished(5000);
            return false;
        }
        clock.start();
        if (load)
            load->startClock();
        // The first look a second in: a process looked at as it starts is
        // not yet the flasher.
        QObject::connect(&memoryTimer, &QTimer::timeout, [this] { sampleMemory(); });
        memoryTimer.start(1000);
        for (int s = 0; s < int(bays.size()); ++s)
            scheduleNext(s);
        loop.exec();
        if (load)
            load->stop(BoardCatchUpMs);
        return true;
    }

    QEventLoop loop;
    QProcess flasher;
    QElapsedTimer clock;
    double lastExit = 0;
    double flasherWall = 0;
    double flasherCpu = -1;
    double flasherMainCpu = -1; // its event loop's thread alone
    int flasherExit = -1;
    bool flasherDied = false; // ended before we stopped it
    QByteArray flasherErrors;
    QJsonObject summary;
    std::map<QString, int> outcomes;
    int appeared = 0;
    int results = 0;
    int unattributed = 0;

    struct Unsuccessful
    {
        double at;
        const Unit *unit;
        QJsonObject result;
    };
    std::vector<Unsuccessful> unsuccessful; // results other than success, with their device's marks
    std::vector<uint64_t> lines; // eventHash of each --json line, in order
    int linesAtStop = -1;        // those printed before SIGINT
    double caughtUp = -1;        // how long the board's readers took to have them all
    std::vector<Sample> memory;  // the flasher's VmRSS, every second until SIGINT
    std::unique_ptr<BoardLoad> load;
    quint16 boardPort = 0;
    QString boardError;

private:
    const QString image;
    const QByteArray sha;
    const qint64 size;
    const double unitLimit;
    const int boardClients;
    QByteArray flasherPending;
    int finished = 0;
    bool stopping = false;
    QEventLoop boardSeen;
    QTimer memoryTimer;

    // Reads where the board is from the flasher's stderr and starts the load.
    bool loadBoard()
    {
        QTimer::singleShot(10000, &boardSeen, [this] { boardSeen.exit(1); });
        const QRegularExpression where("board at http://127\\.0\\.0\\.1:(\\d+)/");
        QRegularExpressionMatch match;
        for (;;) {
            match = where.match(QString::fromUtf8(flasherErrors));
            if (match.hasMatch() || flasher.state() != QProcess::Running || boardSeen.exec() != 0)
                break;
        }
        if (!match.hasMatch()) {
            boardError = "the flasher did not say where its board is";
            return false;
        }
        boardPort = quint16(match.captured(1).toUInt());
        load = std::make_unique<BoardLoad>(boardPort, boardClients);
        return load->start(10000, &boardError);
    }

    void sampleMemory()
    {
        if (flasher.state() != QProcess::Running)
            return;
        const qint64 kib = residentKiB(pid_t(flasher.processId()));
        if (kib >= 0)
            memory.push_back({now(), kib});
    }

    double now() const { return clock.nsecsElapsed() / 1e9; }

    int total() const
    {
        int count = 0;
        for (const Slot &slot : bays)
            count += int(slot.units.size());
        return count;
    }

    void scheduleNext(int s)
    {
        Slot &slot = bays[size_t(s)];
        if (slot.next >= int(slot.units.size()))
            return;
        Unit *unit = slot.units[size_t(slot.next++)].get();
        QTimer::singleShot(int(unit->gap * 1000), [this, s, unit] {
            if (!stopping)
                plugIn(s, unit);
        });
    }

    void plugIn(int s, Unit *unit)
    {
        const Slot &slot = bays[size_t(s)];
        // A simulator stopped the hard way leaves its link; the next one
        // would refuse the path.
        if (QFileInfo(slot.path).isSymLink())
            QFile::remove(slot.path);
        unit->process = std::make_unique<QProcess>();
        QProcess *process = unit->process.get();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(process, &QProcess::readyReadStandardOutput, [this, unit] { readUnit(unit); });
        QObject::connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                         [this, s, unit] { unplugged(s, unit); });
        unit->started = now();
        process->start(QIVO_SIM, {"--link", slot.path, "--once", "--pace", "--boot-ms", QString::number(BootMs),
                                  "--dir", slot.dir});
        QTimer::singleShot(int(unitLimit * 1000), process, [unit] {
            if (unit->exited >= 0)
                return;
            unit->overdue = true;
            unit->process->terminate(); // SIGTERM: it removes its link
            QTimer::singleShot(5000, unit->process.get(), [unit] { unit->process->kill(); });
        });
    }

    void readUnit(Unit *unit)
    {
        unit->pending += unit->process->readAllStandardOutput();
        for (const QByteArray &line : takeLines(unit->pending)) {
            const SimReport::Report report = SimReport::parse(line);
            const auto mark = [this](double *at) { if (*at < 0) *at = now(); };
            if (report.kind == SimReport::Kind::Port)
                unit->port = report.path;
            else if (report.kind == SimReport::Kind::Dir) // printed once the link is made
                mark(&unit->linked);
            else if (report.kind == SimReport::Kind::Line)
                mark(&unit->firstLine);
            else if (report.kind == SimReport::Kind::BootLoaderReady)
                mark(&unit->bootLoader);
            else if (report.kind == SimReport::Kind::Receiving) {
                mark(&unit->blockZero);
                ++unit->receiving;
            } else if (report.kind == SimReport::Kind::Stored) {
                mark(&unit->storedAt);
                unit->stored = true;
                unit->storedRight = report.size == size && report.sha256 == sha;
            }
        }
    }

    void unplugged(int s, Unit *unit)
    {
        readUnit(unit);
        unit->exited = now();
        lastExit = qMax(lastExit, unit->exited);
        if (stopping)
            return;
        if (++finished == total()) {
            settle();
            return;
        }
        scheduleNext(s);
    }

    // Without a flasher nothing more can be flashed: the devices plugged in
    // are pulled and the rest never come.
    void abandon()
    {
        stopping = true;
        memoryTimer.stop();
        flasherWall = now();
        for (Slot &slot : bays)
            for (auto &unit : slot.units)
                if (unit->process && unit->exited < 0) {
                    unit->process->terminate();
                    if (!unit->process->waitForFinished(5000))
                        unit->process->kill();
                }
        finish();
    }

    // The last result may still be on its way when its device has gone:
    // wait for one per appearance, briefly, before the flasher is stopped.
    void settle()
    {
        QElapsedTimer waited;
        waited.start();
        auto *poll = new QTimer(&loop);
        QObject::connect(poll, &QTimer::timeout, [this, poll, waited] {
            if (results < appeared && waited.elapsed() < 5000 && flasher.state() == QProcess::Running)
                return;
            poll->stop();
            catchUp();
        });
        poll->start(50);
    }

    // The board's readers have had every line the flasher printed, or a
    // while to get them, before it is stopped.
    void catchUp()
    {
        if (!load) {
            stop();
            return;
        }
        QElapsedTimer waited;
        waited.start();
        auto *poll = new QTimer(&loop);
        QObject::connect(poll, &QTimer::timeout, [this, poll, waited] {
            readFlasher();
            const bool all = load->fewestEvents() >= int(lines.size());
            if (!all && waited.elapsed() < BoardCatchUpMs && flasher.state() == QProcess::Running)
                return;
            caughtUp = all ? waited.elapsed() / 1000.0 : -1;
            poll->stop();
            stop();
        });
        poll->start(20);
    }

    void stop()
    {
        stopping = true;
        sampleMemory();
        memoryTimer.stop();
        flasherWall = now();
        readFlasher();
        linesAtStop = int(lines.size());
        if (load)
            load->stopScraping();
        if (flasher.state() == QProcess::Running) {
            flasherCpu = cpuSeconds(pid_t(flasher.processId()));
            flasherMainCpu = mainThreadCpuSeconds(pid_t(flasher.processId()));
            ::kill(pid_t(flasher.processId()), SIGINT);
            if (!flasher.waitForFinished(30000))
                flasher.kill();
        }
        finish();
    }

    // The flasher has ended: what it said last, and how it ended.
    void finish()
    {
        readFlasher();
        flasherErrors += flasher.readAllStandardError();
        flasherExit = flasher.exitStatus() == QProcess::NormalExit ? flasher.exitCode() : -1;
        loop.quit();
    }

    Slot *slotNamed(const QString &name)
    {
        for (Slot &slot : bays)
            if (slot.path == name)
                return &slot;
        for (Slot &slot : bays)
            if (QFileInfo(slot.path).fileName() == QFileInfo(name).fileName())
                return &slot;
        return nullptr;
    }

    // A pty's number comes back to later devices, so a result is matched by
    // its slot to the device on it now (the next one is plugged in seconds
    // after the last has gone), by port where the port tells them apart.
    Unit *unitFor(const QJsonObject &event)
    {
        Slot *slot = slotNamed(event.value("slot").toString());
        if (!slot)
            return nullptr;
        const QString port = event.value("port").toString();
        const QString unit = event.value("unit").toString();
        Unit *latest = nullptr;
        for (auto &candidate : slot->units) {
            if (candidate->started < 0)
                break;
            latest = candidate.get();
        }
        for (auto it = slot->units.rbegin(); it != slot->units.rend(); ++it)
            if ((*it)->started >= 0 && !(*it)->port.isEmpty() && ((*it)->port == port || (*it)->port == unit))
                return it->get();
        return latest;
    }

    void readFlasher()
    {
        flasherPending += flasher.readAllStandardOutput();
        for (const QByteArray &line : takeLines(flasherPending)) {
            lines.push_back(eventHash(line));
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            const QString kind = event.value("event").toString();
            if (kind == "appeared") {
                ++appeared;
                if (Unit *unit = unitFor(event); unit && unit->appeared < 0)
                    unit->appeared = now();
            } else if (kind == "result") {
                ++results;
                const QString outcome = event.value("outcome").toString();
                ++outcomes[outcome];
                Unit *unit = unitFor(event);
                if (!unit)
                    ++unattributed;
                else if (outcome == "success")
                    ++unit->successes;
                if (outcome != "success")
                    unsuccessful.push_back({now(), unit, event});
            } else if (kind == "summary") {
                summary = event;
            }
        }
    }
};

QString summaryText(const QJsonObject &summary)
{
    if (summary.isEmpty())
        return "none";
    QStringList parts;
    for (const char *key : {"units", "first_pass", "after_retries", "failed", "cancelled", "first_pass_yield",
                            "final_yield", "units_per_hour", "seconds"})
        parts << QString("%1 %2").arg(key).arg(summary.value(key).toDouble());
    return parts.join(", ");
}

// The flasher's resident set over the run; flat is what a station that
// runs for weeks needs, so the growth after the first minute (start-up,
// the first units, the first clients) is set against the hour.
void printMemory(const std::vector<Sample> &memory)
{
    if (memory.empty()) {
        std::printf("flasher RSS            not measured\n");
        return;
    }
    const Sample &first = memory.front(), &last = memory.back();
    const Sample &most = *std::max_element(memory.begin(), memory.end(),
                                           [](const Sample &a, const Sample &b) { return a.kib < b.kib; });
    std::printf("flasher RSS            first %lld KiB (%.0f s), max %lld KiB (%.0f s), last %lld KiB (%.0f s); "
                "%zu samples, one a second\n",
                static_cast<long long>(first.kib), first.at, static_cast<long long>(most.kib), most.at,
                static_cast<long long>(last.kib), last.at, memory.size());
    QStringList minutes;
    for (int m = 1;; ++m) {
        const auto at = std::find_if(memory.begin(), memory.end(), [m](const Sample &s) { return s.at >= 60 * m; });
        if (at == memory.end())
            break;
        minutes << QString::number(at->kib);
    }
    if (!minutes.isEmpty())
        std::printf("RSS each minute        %s KiB\n", qPrintable(minutes.join(' ')));
    const auto minute = std::find_if(memory.begin(), memory.end(), [](const Sample &s) { return s.at >= 60; });
    if (minute == memory.end() || last.at - minute->at < 60) {
        std::printf("RSS growth             not measured: under two minutes of samples\n");
        return;
    }
    const double perHour = double(last.kib - minute->kib) / (last.at - minute->at) * 3600;
    std::printf("RSS growth             %lld KiB at %.0f s, %lld KiB at %.0f s: %+lld KiB, %+.0f KiB an hour "
                "extrapolated (%s; flat: under 300)\n",
                static_cast<long long>(minute->kib), minute->at, static_cast<long long>(last.kib), last.at,
                static_cast<long long>(last.kib - minute->kib), perHour, perHour < 300 ? "flat" : "growing");
}

// What the board's clients saw, set against the flasher's own --json lines.
void printBoard(const StationRun &station, const BoardLoad &load)
{
    const std::vector<BoardLoad::Client> &clients = load.clients();
    const int n = int(clients.size());
    const int cut = station.linesAtStop;
    const std::vector<uint64_t> &lines = station.lines;
    int answered = 0, snapshotFirst = 0, whole = 0, afterToo = 0;
    int fewest = INT_MAX, most = 0, fewestPings = INT_MAX, mostPings = 0;
    int ends[4] = {};
    double lastEnd = -1;
    QString firstGap;
    for (int i = 0; i < n; ++i) {
        const BoardLoad::Client &c = clients[size_t(i)];
        answered += c.answered;
        snapshotFirst += c.snapshotFirst;
        fewest = std::min(fewest, c.messages);
        most = std::max(most, c.messages);
        fewestPings = std::min(fewestPings, c.pings);
        mostPings = std::max(mostPings, c.pings);
        ++ends[int(c.end)];
        lastEnd = std::max(lastEnd, c.endedAt);
        const auto gap = std::mismatch(lines.begin(), lines.begin() + cut, c.events.begin(), c.events.end());
        if (gap.first == lines.begin() + cut) {
            ++whole;
            afterToo += c.events.size() == lines.size() && std::equal(lines.begin(), lines.end(), c.events.begin());
        } else if (firstGap.isEmpty()) {
            firstGap = gap.second == c.events.end()
                           ? QString("client %1 had %2 events").arg(i + 1).arg(c.events.size())
                           : QString("client %1 differs at event %2").arg(i + 1).arg(gap.second - c.events.begin() + 1);
            if (!c.error.isEmpty())
                firstGap += ": " + c.error;
        }
    }
    std::printf("board clients          %d on /events (and one that never reads): %d answered, %d with the "
                "snapshot first\n",
                n, answered, snapshotFirst);
    std::printf("events per client      min %d, max %d, the snapshot included; the flasher printed %d --json "
                "lines before SIGINT, %d results\n",
                fewest, most, cut, station.results);
    std::printf("every event, in order  %d/%d clients: the snapshot, then each line the flasher printed before "
                "SIGINT (%s)%s\n",
                whole, n,
                station.caughtUp >= 0 ? qPrintable(QString("all there %1 s after the last result")
                                                       .arg(station.caughtUp, 0, 'f', 2))
                                      : "not all there 3 s after the last result",
                firstGap.isEmpty() ? "" : qPrintable("; first short: " + firstGap));
    std::printf("pings per client       min %d, max %d\n", fewestPings, mostPings);
    std::printf("after SIGINT           %d/%d clients had the %d lines printed after it too (the summary); streams "
                "ended: %d with the last chunk, %d closed without it, %d reset, %d open %.1f s later\n",
                afterToo, n, int(lines.size()) - cut, ends[int(BoardLoad::Client::End::Clean)],
                ends[int(BoardLoad::Client::End::Closed)], ends[int(BoardLoad::Client::End::Reset)],
                ends[int(BoardLoad::Client::End::Open)], BoardCatchUpMs / 1000.0);
    const BoardLoad::Scrapes &scrapes = load.scrapes();
    std::printf("metrics scrapes        %d done, %d failed of %d (one every 100 ms, %d ticks skipped); mean %.1f ms, "
                "slowest %.1f ms%s\n",
                scrapes.done, scrapes.failed, scrapes.asked, scrapes.late,
                scrapes.done ? 1000 * scrapes.total / scrapes.done : 0.0, 1000 * scrapes.slowest,
                scrapes.firstFailure.isEmpty() ? "" : qPrintable("; first failure " + scrapes.firstFailure));
    const BoardLoad::Stalled &stalled = load.stalled();
    if (!stalled.connected) {
        std::printf("stalled client         not connected\n");
        return;
    }
    const bool dropped = stalled.closedAt >= 0 && stalled.closedAt < station.flasherWall;
    if (dropped)
        std::printf("stalled client         closed by the server at %.1f s (%.1f s after it connected; its end "
                    "seen in %s); %lld bytes queued for it at most, the last of them at %.1f s\n",
                    stalled.closedAt, stalled.closedAt - stalled.connectedAt, qPrintable(stalled.closedAs),
                    static_cast<long long>(stalled.queued), stalled.fullAt);
    else
        std::printf("stalled client         not closed by the server in the %.1f s of the run: %lld bytes queued for "
                    "it at most (both ends' kernels), the last of them at %.1f s; its end %s\n",
                    station.flasherWall, static_cast<long long>(stalled.queued), stalled.fullAt,
                    stalled.closedAt >= 0 ? qPrintable(QString("went %1 s after SIGINT (%2)")
                                                           .arg(stalled.closedAt - station.flasherWall, 0, 'f', 1)
                                                           .arg(stalled.closedAs))
                                          : "was still there");
    std::printf("stalled client, read   %lld bytes once the run was over: %s%s\n",
                static_cast<long long>(stalled.drained), qPrintable(stalled.drainedEnd),
                stalled.hangUpAt >= 0 ? qPrintable(QString("; it saw the server hang up at %1 s")
                                                       .arg(stalled.hangUpAt, 0, 'f', 1))
                                      : "");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Runs qivo-dfu-cli --watch over path slots while paced simulated devices are plugged in and out "
        "of them, and prints units flashed, missed and flashed twice, units per hour against the ideal, "
        "the flasher's CPU time and its memory. With --board-clients, the flasher serves its board and the "
        "bench loads it over the whole run: clients reading /events, a /metrics scrape every 100 ms, and one "
        "/events client that never reads.");
    parser.addHelpOption();
    const QCommandLineOption slotsOption("slots", "Slots (default 8).", "N", "8");
    const QCommandLineOption unitsOption("units", "Units per slot, one after another (default 10).", "N", "10");
    const QCommandLineOption sizeOption("size", "Bytes in the image (default 262144).", "BYTES", "262144");
    const QCommandLineOption seedOption("seed", "Seed for the image and the gaps (default 1).", "S", "1");
    const QCommandLineOption gapMinOption("gap-min", "Shortest handling gap in seconds (default 2).", "S", "2");
    const QCommandLineOption gapMaxOption("gap-max", "Longest handling gap in seconds (default 6).", "S", "6");
    const QCommandLineOption boardOption("board-clients",
                                         "Clients holding the board's /events open (default 0: no board served).",
                                         "N", "0");
    parser.addOptions({slotsOption, unitsOption, sizeOption, seedOption, gapMinOption, gapMaxOption, boardOption});
    parser.process(app);

    bool ok = true;
    auto number = [&](const QCommandLineOption &option) {
        bool good = false;
        const double value = parser.value(option).toDouble(&good);
        ok = ok && good;
        return value;
    };
    const int slotCount = int(number(slotsOption));
    const int unitCount = int(number(unitsOption));
    const qint64 size = qint64(number(sizeOption));
    const quint32 seed = quint32(number(seedOption));
    const double gapMin = number(gapMinOption);
    const double gapMax = number(gapMaxOption);
    const int boardClients = int(number(boardOption));
    if (!ok || boardClients < 0 || slotCount < 1 || unitCount < 1 || size < 1 || size > (1 << 30) || gapMin < 0 || gapMax < gapMin) {
        std::fprintf(stderr, "stationbench: bad number; see --help\n");
        return 64;
    }

    QTemporaryDir work;
    if (!work.isValid())
        return 1;
    const QString image = work.filePath("firmware.bin");
    QFile written(image);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!writeRandomFile(image, size, seed) || !written.open(QFile::ReadOnly) || !hash.addData(&written))
        return 1;
    const QByteArray sha = hash.result().toHex();
    // The gaps a seed gave when the image was drawn from this generator too.
    QRandomGenerator random(seed);
    random.discard(quint64(size));

    const double lineSeconds = size * 10.0 / LineBitsPerSecond;
    const double idealUnit = lineSeconds + preambleSeconds() + BootMs / 1000.0;
    // Far past what a unit takes: one still waiting then was never flashed.
    const double unitLimit = 3 * idealUnit + 30;
    StationRun station(image, sha, size, unitLimit, boardClients);
    for (int s = 0; s < slotCount; ++s) {
        Slot slot;
        slot.path = work.filePath(QString("slot%1").arg(s + 1));
        slot.dir = work.filePath(QString("device%1").arg(s + 1));
        if (!QDir().mkpath(slot.dir))
            return 1;
        // Gaps are drawn up front so that a seed gives the same ones however the run goes.
        for (int u = 0; u < unitCount; ++u) {
            auto unit = std::make_unique<Unit>();
            unit->slot = s;
            unit->gap = gapMin + random.generateDouble() * (gapMax - gapMin);
            slot.units.push_back(std::move(unit));
        }
        station.bays.push_back(std::move(slot));
    }

    std::printf("%d slots x %d units, %lld-byte image, seed %u, gaps %.1f-%.1f s, %d board clients\n", slotCount,
                unitCount, static_cast<long long>(size), seed, gapMin, gapMax, boardClients);
    std::printf("ideal unit: line %.2f s + preamble waits %.2f s + boot %.2f s = %.2f s, then its gap\n",
                lineSeconds, preambleSeconds(), BootMs / 1000.0, idealUnit);
    std::fflush(stdout);
    if (!station.run()) {
        if (!station.boardError.isEmpty())
            std::fprintf(stderr, "stationbench: the board: %s\n%s\n", qPrintable(station.boardError),
                         station.flasherErrors.right(800).trimmed().constData());
        else
            std::fprintf(stderr, "stationbench: the flasher did not start\n");
        return 1;
    }

    // Where a flashed unit's time goes, as means over the units that have every mark.
    enum { StartUp, Detection, Preamble, FirstC, Transfer, Leaving, Parts };
    double parts[Parts] = {};
    int timed = 0;
    for (const Slot &slot : station.bays)
        for (const auto &u : slot.units) {
            const double marks[] = {u->started, u->linked, u->appeared, u->firstLine, u->bootLoader, u->blockZero,
                                    u->storedAt, u->exited};
            if (!u->storedRight || std::any_of(std::begin(marks), std::end(marks), [](double t) { return t < 0; }))
                continue;
            ++timed;
            parts[StartUp] += u->linked - u->started;
            parts[Detection] += u->appeared - u->linked;
            parts[Preamble] += u->bootLoader - u->appeared;
            parts[FirstC] += u->blockZero - u->bootLoader;
            parts[Transfer] += u->storedAt - u->blockZero;
            parts[Leaving] += u->exited - u->storedAt;
        }
    for (double &part : parts)
        part /= qMax(1, timed);
    const int blocks = int((size + 1023) / 1024);

    int flashed = 0, missed = 0, wrong = 0, twice = 0, receivedTwice = 0, overdue = 0;
    int pluggedIn = 0, never = 0;
    double slowestIdeal = 0, unitTime = 0;
    // A slot's share of the line: the image's time on it over the time from
    // block 0 to stored, as a mean over its units. Its ratio: its units per
    // hour to its last exit against its own ideal.
    std::printf("\n%-5s %8s %7s %10s %10s %10s %6s %6s\n", "slot", "flashed", "missed", "gaps", "ideal", "last exit",
                "line", "ratio");
    for (const Slot &slot : station.bays) {
        int slotFlashed = 0, slotMissed = 0, transfers = 0;
        double gaps = 0, lineShare = 0;
        for (const auto &unit : slot.units) {
            gaps += unit->gap;
            if (unit->storedRight && unit->blockZero >= 0 && unit->storedAt > unit->blockZero) {
                lineShare += lineSeconds / (unit->storedAt - unit->blockZero);
                ++transfers;
            }
            slotFlashed += unit->storedRight;
            slotMissed += !unit->stored;
            wrong += unit->stored && !unit->storedRight;
            twice += qMax(0, unit->successes - 1);
            receivedTwice += unit->receiving > 1;
            overdue += unit->overdue;
            never += unit->started < 0;
            if (unit->started >= 0 && unit->exited >= 0) {
                unitTime += unit->exited - unit->started;
                ++pluggedIn;
            }
        }
        const double ideal = gaps + idealUnit * double(slot.units.size());
        slowestIdeal = qMax(slowestIdeal, ideal);
        flashed += slotFlashed;
        missed += slotMissed;
        const double lastExit = slot.units.back()->exited;
        std::printf("%-5s %5d/%-2d %7d %8.1f s %8.1f s %8.1f s %5.1f%% %6.3f\n",
                    qPrintable(QFileInfo(slot.path).fileName().mid(4)), slotFlashed, int(slot.units.size()),
                    slotMissed, gaps, ideal, lastExit, 100 * lineShare / qMax(1, transfers),
                    lastExit > 0 ? slotFlashed * ideal / (double(slot.units.size()) * lastExit) : 0.0);
    }

    const int units = slotCount * unitCount;
    const double perHour = station.lastExit > 0 ? flashed / station.lastExit * 3600 : 0;
    const double idealPerHour = units / slowestIdeal * 3600;
    const double share = station.flasherWall > 0 ? station.flasherCpu / station.flasherWall : 0;
    QStringList outcomes;
    for (const auto &entry : station.outcomes)
        outcomes << QString("%1 %2").arg(entry.first).arg(entry.second);

    std::printf("\nunits flashed          %d/%d (stored with the image's size and SHA-256)\n", flashed, units);
    if (wrong > 0)
        std::printf("stored but wrong       %d\n", wrong);
    std::printf("units missed           %d (no file stored; %d stopped after %.0f s unflashed, %d never plugged in)\n",
                missed, overdue, unitLimit, never);
    std::printf("units flashed twice    %d (success results beyond one per unit); devices that received twice: %d\n",
                twice, receivedTwice);
    std::printf("flasher results        %d for %d appearances: %s%s\n", station.results, station.appeared,
                outcomes.isEmpty() ? "none" : qPrintable(outcomes.join(", ")),
                station.unattributed > 0 ? qPrintable(QString("; %1 on no known slot").arg(station.unattributed)) : "");
    // A result the device disagrees with is the flasher's to explain: when
    // it came against what the device did.
    for (const StationRun::Unsuccessful &u : station.unsuccessful) {
        std::printf("  %s at %.2f s on %s: %s (attempt %d, %.0f bytes)\n",
                    qPrintable(u.result.value("outcome").toString()), u.at,
                    qPrintable(QFileInfo(u.result.value("slot").toString()).fileName()),
                    qPrintable(u.result.value("error").toString()), u.result.value("attempt").toInt(),
                    u.result.value("bytes").toDouble());
        if (u.unit)
            std::printf("    its device: plugged in %.2f s, block 0 %.2f s, stored %s at %.2f s, exited %.2f s\n",
                        u.unit->started, u.unit->blockZero, u.unit->storedRight ? "right" : "nothing right",
                        u.unit->storedAt, u.unit->exited);
    }
    std::printf("mean unit time         %.2f s plugged in (ideal %.2f s)\n", unitTime / qMax(1, pluggedIn),
                idealUnit);
    std::printf("where a unit's time goes (means over %d units):\n"
                "  simulator start-up   %6.3f s (to its link)\n"
                "  detection            %6.3f s (link to the flasher's \"appeared\")\n"
                "  preamble and boot    %6.3f s (\"appeared\" to the boot loader ready; waits %.2f s, boot %.2f s after the last line)\n"
                "  boot loader to block 0 %4.3f s\n"
                "  transfer             %6.3f s (block 0 to stored; the image alone is %.3f s on the line, so\n"
                "                                %.1f ms a block of %d goes to framing and turnaround)\n"
                "  stored to exit       %6.3f s\n",
                timed, parts[StartUp], parts[Detection], parts[Preamble], preambleSeconds(), BootMs / 1000.0,
                parts[FirstC], parts[Transfer], lineSeconds, 1000 * (parts[Transfer] - lineSeconds) / blocks, blocks,
                parts[Leaving]);
    std::printf("units per hour         %.1f (%d in %.1f s, from the start to the last device's exit)\n", perHour,
                flashed, station.lastExit);
    std::printf("ideal units per hour   %.1f (%d in %.1f s, the slowest slot's gaps and ideal units)\n",
                idealPerHour, units, slowestIdeal);
    std::printf("ratio                  %.3f (target >= 0.97)\n", perHour / idealPerHour);
    if (station.flasherCpu >= 0)
        std::printf("flasher CPU            %.2f s over %.1f s = %.2f%% of one core (target < 5%%)\n",
                    station.flasherCpu, station.flasherWall, 100 * share);
    if (station.flasherCpu >= 0 && station.flasherMainCpu >= 0)
        std::printf("  its threads          %.2f s its event loop's, %.2f s the others'%s\n", station.flasherMainCpu,
                    station.flasherCpu - station.flasherMainCpu,
                    boardClients > 0 ? " (the board's server among them)" : "");
    else
        std::printf("flasher CPU            not measured: it was gone before the end\n");
    rusage own{};
    ::getrusage(RUSAGE_SELF, &own);
    std::printf("bench CPU              %.2f s (this process%s); load average %s\n",
                double(own.ru_utime.tv_sec + own.ru_stime.tv_sec)
                    + double(own.ru_utime.tv_usec + own.ru_stime.tv_usec) / 1e6,
                boardClients > 0 ? ", the board's clients included" : "", qPrintable(loadAverage()));
    printMemory(station.memory);
    if (station.load)
        printBoard(station, *station.load);
    std::printf("flasher exit           %d%s\n", station.flasherExit,
                station.flasherDied ? " (it ended before it was stopped)" : " after SIGINT");
    std::printf("flasher summary        %s\n", qPrintable(summaryText(station.summary)));
    if (!station.flasherErrors.trimmed().isEmpty())
        std::printf("flasher stderr (last lines):\n%s\n",
                    station.flasherErrors.right(800).trimmed().constData());
    return 0;
}
