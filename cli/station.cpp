#include "station.h"

#include "board.h"
#include "firmwareimage.h"
#include "request.h"
#include "slotwatch.h"
#include "terminalboard.h"
#include "upgradejob.h"

#include <QFileInfo>
#include <QTimer>

#include <unistd.h>

Station::Station(const Request &request, Record *record, QObject *parent)
    : QObject(parent), request(request), record(record),
      output(request.json, request.json && !request.quiet ? Output::Progress::Steps : Output::Progress::None),
      watcher(new SlotWatch(this))
{
    // A slot's folder may be a busy one, such as /tmp: only a change on a
    // slot's way is worth a look, and only one in /dev or udev's database
    // is worth reading the port list for.
    connect(watcher, &SlotWatch::changed, this, [this](const QSet<QString> &touched, const QSet<QString> &removed) {
        if (stopping)
            return;
        for (const QString &path : touched)
            if (concerns(path))
                return scan(removed);
    });
    for (const QString &slot : request.watched) {
        UsbSelector usb;
        usbSlots = usbSlots || UsbSelector::parse(slot, &usb);
    }
}

Station::~Station() = default;

bool Station::concerns(const QString &path) const
{
    if (usbSlots && (QFileInfo(path).path() == "/dev" || path.startsWith("/run/udev/data")))
        return true;
    for (const QString &step : paths)
        if (step == path || step.startsWith(path + '/'))
            return true;
    return false;
}

void Station::start()
{
    clock.start();
    if (!watcher->isValid()) {
        // Out of inotify instances: looking twice a second still works.
        Output::complain("cannot watch the slots with inotify; looking every 0.5 s instead");
        auto *poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [this] {
            if (!stopping)
                scan();
        });
        poll->start(500);
    }
    scan();
}

// What every slot shows now, the folders to watch for the next change, and
// the units that left. A unit pulled out mid-transfer leaves once its
// attempt has ended.
void Station::scan(const QSet<QString> &removed)
{
    const Presence now = findPresent(request.watched, &PortInfo::available, FileSystemView());
    paths = now.paths;
    watcher->watch(now.folders);
    for (const QString &slot : request.watched) {
        const QString why = now.misconfigured.value(slot);
        if (why.isEmpty()) {
            misconfigured.remove(slot);
        } else if (misconfigured.value(slot) != why) {
            misconfigured.insert(slot, why);
            output.event({{"event", "misconfigured"}, {"slot", slot}, {"error", why}},
                         QString("%1: misconfigured slot: %2").arg(slot, why));
        }
    }

    for (auto it = units.begin(); it != units.end(); ++it)
        if (hasLeft(it.key(), it->seen, now, removed))
            it->present = false;
    for (const QString &device : units.keys())
        if (!units[device].present && !units[device].job)
            left(device);
    for (auto it = now.devices.cbegin(); it != now.devices.cend(); ++it)
        if (!units.contains(it.key()))
            found(it.key(), it.value());
}

void Station::found(const QString &device, const Seen &seen)
{
    if (output.recordBroken() || stopping)
        return;
    Unit &unit = units[device];
    unit.seen = seen;
    unit.identity = UnitIdentity::of(device);
    ++tally.units;
    const QString name = unit.identity.unit(seen.port);
    output.event({{"event", "appeared"}, {"slot", seen.slot}, {"port", seen.port}, {"unit", name}},
          QString("%1: appeared on %2 (unit %3)").arg(seen.port, seen.slot, name));
    attempt(device);
}

void Station::attempt(const QString &device)
{
    Unit &unit = units[device];
    ++unit.attempts;
    const QString port = unit.seen.port;
    // What goes out is always the image opened at the start; a file changed
    // on disk since is refused rather than ignored, until the operator
    // restarts the station with it.
    if (FirmwareImage::hashOf(request.image.path()) != request.image.sha256()) {
        const Attempt refused{unit.seen.slot, port, unit.identity, unit.attempts, Outcome::Failed, 0, 0,
                              QString("%1 changed on disk since the station started; restart the station to flash it")
                                  .arg(request.file)};
        unit.last = Outcome::Failed;
        output.event({{"event", "result"}, {"port", port}, {"file", request.file}, {"outcome", "failed"},
                      {"bytes", 0}, {"seconds", 0}, {"error", refused.error}, {"attempt", unit.attempts},
                      {"unit", unit.identity.unit(port)}, {"slot", unit.seen.slot}},
                     QString("%1: failed, 0 bytes (attempt %2)").arg(port).arg(unit.attempts));
        Output::complain(QString("%1: %2").arg(port, refused.error));
        keep(refused);
        return;
    }

    unit.job = new UpgradeJob(port, device, request.image, request.baud, request.preamble, this);
    UpgradeJob *job = unit.job;
    const auto about = [this, device] {
        const Unit &unit = units[device];
        return QJsonObject{{"attempt", unit.attempts}, {"unit", unit.identity.unit(unit.seen.port)},
                           {"slot", unit.seen.slot}};
    };
    connect(job, &UpgradeJob::progressed, this, [this, job, about] { output.progress(job, about()); });
    connect(job, &UpgradeJob::phaseChanged, this, [this, job, about] { output.state(job, about()); });
    connect(job, &UpgradeJob::finished, this, [this, device] { attemptEnded(device); }, Qt::QueuedConnection);
    job->start();
}

void Station::attemptEnded(const QString &device)
{
    Unit &unit = units[device];
    UpgradeJob *job = std::exchange(unit.job, nullptr);
    unit.last = job->outcome();
    const Attempt done{unit.seen.slot, unit.seen.port, unit.identity, unit.attempts, job->outcome(),
                       job->bytes(), job->seconds(), job->error()};
    output.result(job, request.file,
                  {{"attempt", unit.attempts}, {"unit", unit.identity.unit(unit.seen.port)}, {"slot", unit.seen.slot}},
                  QString(" (attempt %1)").arg(unit.attempts));
    job->deleteLater();
    keep(done);

    const bool again = unit.last != Outcome::Success && unit.last != Outcome::Cancelled
                       && unit.attempts <= request.retries && !output.recordBroken();
    if (stopping) {
        for (const Unit &other : units)
            if (other.job)
                return;
        summarize();
        return;
    }
    if (again && unit.present) {
        // A moment for a device that was still settling when it was asked.
        QTimer::singleShot(1000, this, [this, device] {
            if (!stopping && units.contains(device) && units[device].present && !units[device].job)
                attempt(device);
        });
    }
    // Whatever changed while the attempt ran: a unit that left meanwhile
    // goes, and one that took its place is found.
    scan();
}

// Each attempt is on disk before the next unit starts. A record that cannot
// take one more stops the station from starting units: a unit flashed
// without its line would be a unit nobody can account for.
void Station::keep(const Attempt &attempt)
{
    QString why;
    if (!record || record->append(request.image, attempt, &why) || output.recordBroken())
        return;
    const QString text = why + "; the station starts no more units until it is restarted";
    output.event({{"event", "error"}, {"error", text}}, "error: " + text);
    output.recordFailed(text);
}

void Station::left(const QString &device)
{
    const Unit unit = units.take(device);
    const QString port = unit.seen.port;
    // Counted first: the boards show the counts as of this event.
    count(unit);
    output.event({{"event", "left"}, {"slot", unit.seen.slot}, {"port", port}, {"unit", unit.identity.unit(port)}},
                 port + ": left");
}

// A unit's last outcome is its final one.
void Station::count(const Unit &unit)
{
    if (unit.last == Outcome::Success)
        ++(unit.attempts == 1 ? tally.firstPass : tally.afterRetries);
    else
        ++(unit.last == Outcome::Cancelled ? tally.cancelled : tally.failed);
    output.count(unit.last);
}

void Station::stop()
{
    if (std::exchange(stopping, true))
        return;
    watcher->watch({});
    bool running = false;
    for (Unit &unit : units)
        if (unit.job) {
            running = true;
            unit.job->cancel();
        }
    cancelledRunning = running;
    if (!running)
        summarize();
}

// The units' counts: in the summary, and on the boards while the station runs.
QJsonObject Station::counts() const
{
    const double hours = double(clock.elapsed()) / 3.6e6;
    const int succeeded = tally.firstPass + tally.afterRetries;
    // Of the units with a final result: while the station runs, those still
    // on their fixtures have none yet; once it stops, every unit has one.
    const int finished = succeeded + tally.failed + tally.cancelled;
    const auto share = [&](int n) { return finished ? qRound(1000.0 * n / finished) / 1000.0 : 0.0; };
    return {{"units", tally.units}, {"first_pass", tally.firstPass}, {"after_retries", tally.afterRetries},
            {"failed", tally.failed}, {"cancelled", tally.cancelled}, {"first_pass_yield", share(tally.firstPass)},
            {"final_yield", share(succeeded)},
            {"units_per_hour", hours > 0 ? qRound(10 * succeeded / hours) / 10.0 : 0.0}};
}

void Station::summarize()
{
    for (const Unit &unit : units) // still plugged in
        count(unit);
    QJsonObject summary = counts();
    summary.insert("event", "summary");
    summary.insert("seconds", qRound(double(clock.elapsed())) / 1000.0);
    if (terminal)
        terminal->finish();
    output.event(summary,
                 QString("summary: units seen %1, succeeded first time %2, after retries %3, failed %4, cancelled %5; "
                         "first-pass yield %6 %, final yield %7 %; %8 units per hour")
                     .arg(tally.units).arg(tally.firstPass).arg(tally.afterRetries).arg(tally.failed).arg(tally.cancelled)
                     .arg(100 * summary.value("first_pass_yield").toDouble())
                     .arg(100 * summary.value("final_yield").toDouble())
                     .arg(summary.value("units_per_hour").toDouble()));
    // Units the record lost make the run a failure, even if they succeeded.
    emit finished(output.exitCode(cancelledRunning));
}

bool Station::showBoards(QString *error)
{
    const bool onTerminal = !request.json && ::isatty(STDOUT_FILENO);
    if (request.http.isEmpty() && !onTerminal)
        return true;
    board = std::make_unique<Board>(request.image, request.file, true, request.watched, [this] { return counts(); });
    output.setListener([this](const QJsonObject &event) { board->event(event); });
    if (!request.http.isEmpty()) {
        if (!board->serve(request.http, error))
            return false;
        Output::complain("board at " + board->url());
    }
    if (onTerminal) {
        terminal = new TerminalBoard(*board, [this] { return counts(); }, this);
        output.setPrinter([this](const QString &line) { terminal->print(line); });
    }
    return true;
}
