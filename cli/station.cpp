#include "station.h"

#include "firmwareimage.h"
#include "portjob.h"
#include "report.h"
#include "request.h"
#include "slotwatch.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QTimer>

#include <cstdio>
#include <sys/stat.h>

namespace {

// The identity of what a path leads to: a node made again (a replug, a new
// pty on a reused number) or a link made again gets new numbers.
void addIdentity(QByteArray *fingerprint, const struct stat &status)
{
    *fingerprint += QByteArray::number(quint64(status.st_dev)) + ':' + QByteArray::number(quint64(status.st_ino)) + ':'
                    + QByteArray::number(quint64(status.st_rdev)) + ' ';
}

QString kindOf(mode_t mode)
{
    return S_ISDIR(mode) ? "a folder" : S_ISREG(mode) ? "a regular file" : S_ISFIFO(mode) ? "a FIFO"
           : S_ISSOCK(mode) ? "a socket" : S_ISBLK(mode) ? "a block device" : "not a device";
}

// The nearest folder that exists on the way to `folder`: where the next
// step of a slot's path will appear.
QString existingFolder(QString folder)
{
    while (!QFileInfo(folder).isDir() && folder != "/")
        folder = QFileInfo(folder).absolutePath();
    return folder;
}

// Follows a slot's path link by link. Returns the device's canonical path,
// or empty when it leads nowhere yet; *why says what it leads to instead
// of a serial device.
QString follow(const QString &path, Station::Seen *seen, QSet<QString> *folders, QString *why)
{
    QString at = path;
    for (int depth = 0; depth < 16; ++depth) {
        seen->chain << at;
        folders->insert(existingFolder(QFileInfo(at).absolutePath()));
        struct stat link {};
        if (::lstat(QFile::encodeName(at).constData(), &link) != 0)
            return QString();
        addIdentity(&seen->fingerprint, link);
        if (!S_ISLNK(link.st_mode))
            break;
        const QString target = QFileInfo(at).symLinkTarget();
        if (target.isEmpty())
            return QString();
        at = target;
    }
    struct stat node {};
    if (::stat(QFile::encodeName(path).constData(), &node) != 0)
        return QString();
    if (!S_ISCHR(node.st_mode)) {
        *why = QString("%1 is %2, not a serial device").arg(path, kindOf(node.st_mode));
        return QString();
    }
    return QFileInfo(path).canonicalFilePath();
}

} // namespace

Station::Station(const Request &request, Record *record, QObject *parent)
    : QObject(parent), request(request), record(record), watcher(new SlotWatch(this))
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
        usbSlots = usbSlots || parseUsbSelector(slot, &usb);
    }
}

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
        std::fprintf(stderr, "qivo-dfu-cli: cannot watch the slots with inotify; looking every 0.5 s instead\n");
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
// the units that left: gone from their slot, made anew (other numbers), or
// with a name on their path removed since the last look, whatever stands
// there now. A usb: slot stands for every port that matches it; the port
// list is read only for usb: slots, once a look.
void Station::scan(const QSet<QString> &removed)
{
    QMap<QString, Seen> present; // device -> how it was seen
    QSet<QString> folders;
    QList<QSerialPortInfo> ports;
    bool listed = false;
    paths.clear();
    for (const QString &slot : request.watched) {
        UsbSelector usb;
        if (!parseUsbSelector(slot, &usb)) {
            Seen seen{slot, slot, {}, {}};
            QString why;
            const QString device = follow(slot, &seen, &folders, &why);
            paths << seen.chain;
            if (why.isEmpty()) {
                misconfigured.remove(slot);
            } else if (misconfigured.value(slot) != why) {
                misconfigured.insert(slot, why);
                print({{"event", "misconfigured"}, {"slot", slot}, {"error", why}},
                      QString("%1: misconfigured slot: %2").arg(slot, why));
            }
            if (!device.isEmpty() && !present.contains(device))
                present.insert(device, seen);
            continue;
        }
        // A USB port is there once udev has described it.
        folders << "/dev" << "/run/udev/data";
        if (!std::exchange(listed, true))
            ports = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &info : ports) {
            if (!usb.matches(info))
                continue;
            Seen seen{slot, info.systemLocation(), {}, {}};
            QString why;
            const QString device = follow(info.systemLocation(), &seen, &folders, &why);
            paths << seen.chain;
            if (!device.isEmpty() && !present.contains(device))
                present.insert(device, seen);
        }
    }
    watcher->watch(folders);

    for (auto it = units.begin(); it != units.end(); ++it) {
        const auto now = present.constFind(it.key());
        bool gone = now == present.cend() || now->fingerprint != it->seen.fingerprint;
        for (const QString &step : it->seen.chain)
            gone = gone || removed.contains(step);
        if (gone)
            it->present = false;
    }
    // A unit pulled out mid-transfer leaves once its attempt has ended.
    for (const QString &device : units.keys())
        if (!units[device].present && !units[device].job)
            left(device);
    for (auto it = present.cbegin(); it != present.cend(); ++it)
        if (!units.contains(it.key()))
            found(it.key(), it.value());
}

void Station::found(const QString &device, const Seen &seen)
{
    if (recordBroken || stopping)
        return;
    Unit &unit = units[device];
    unit.seen = seen;
    unit.identity = UnitIdentity::of(device);
    ++tally.units;
    const QString name = unit.identity.unit(seen.port);
    print({{"event", "appeared"}, {"slot", seen.slot}, {"port", seen.port}, {"unit", name}},
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
        print({{"event", "result"}, {"port", port}, {"file", request.file}, {"outcome", "failed"},
               {"bytes", 0}, {"seconds", 0}, {"error", refused.error}, {"attempt", unit.attempts},
               {"unit", unit.identity.unit(port)}, {"slot", unit.seen.slot}},
              QString("%1: failed, 0 bytes (attempt %2)").arg(port).arg(unit.attempts));
        std::fprintf(stderr, "qivo-dfu-cli: %s: %s\n", qPrintable(port), qPrintable(refused.error));
        keep(refused);
        return;
    }

    unit.job = new PortJob(port, device, request.image, request.baud, request.preamble, this);
    PortJob *job = unit.job;
    auto tenth = std::make_shared<int>(0);
    connect(job, &PortJob::progressed, this, [this, job, device, tenth](int percent) {
        if (!request.json || request.quiet || percent / 10 <= *tenth)
            return;
        *tenth = percent / 10;
        const Unit &unit = units[device];
        writeJson({{"event", "progress"}, {"port", job->port()}, {"percent", percent},
                   {"attempt", unit.attempts}, {"unit", unit.identity.unit(unit.seen.port)}});
    });
    connect(job, &PortJob::finished, this, [this, device] { attemptEnded(device); }, Qt::QueuedConnection);
    job->start();
}

void Station::attemptEnded(const QString &device)
{
    Unit &unit = units[device];
    PortJob *job = std::exchange(unit.job, nullptr);
    unit.last = job->outcome();
    const Attempt done{unit.seen.slot, unit.seen.port, unit.identity, unit.attempts, job->outcome(),
                       job->bytes(), job->seconds(), job->error()};
    QJsonObject result = resultObject(job, request.file);
    result.insert("attempt", unit.attempts);
    result.insert("unit", unit.identity.unit(unit.seen.port));
    result.insert("slot", unit.seen.slot);
    print(result, QString("%1 (attempt %2)").arg(resultText(job)).arg(unit.attempts));
    if (!job->error().isEmpty())
        std::fprintf(stderr, "qivo-dfu-cli: %s: %s\n", qPrintable(job->port()), qPrintable(job->error()));
    job->deleteLater();
    keep(done);

    const bool again = unit.last != Outcome::Success && unit.last != Outcome::Cancelled
                       && unit.attempts <= request.retries && !recordBroken;
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
    if (!record || record->append(request.image, attempt, &why) || recordBroken)
        return;
    recordBroken = true;
    const QString text = why + "; the station starts no more units until it is restarted";
    print({{"event", "error"}, {"error", text}}, "error: " + text);
    std::fprintf(stderr, "qivo-dfu-cli: %s\n", qPrintable(text));
}

void Station::left(const QString &device)
{
    const Unit unit = units.take(device);
    const QString port = unit.seen.port;
    print({{"event", "left"}, {"slot", unit.seen.slot}, {"port", port}, {"unit", unit.identity.unit(port)}},
          port + ": left");
    count(unit);
}

// A unit's last outcome is its final one.
void Station::count(const Unit &unit)
{
    if (unit.last == Outcome::Success)
        ++(unit.attempts == 1 ? tally.firstPass : tally.afterRetries);
    else
        ++(unit.last == Outcome::Cancelled ? tally.cancelled : tally.failed);
    if (severity(unit.last) > severity(tally.worst))
        tally.worst = unit.last;
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

void Station::summarize()
{
    for (const Unit &unit : units) // still plugged in
        count(unit);
    const double hours = double(clock.elapsed()) / 3.6e6;
    const int succeeded = tally.firstPass + tally.afterRetries;
    const auto share = [&](int n) { return tally.units ? qRound(1000.0 * n / tally.units) / 1000.0 : 0.0; };
    const double perHour = hours > 0 ? qRound(10 * succeeded / hours) / 10.0 : 0.0;
    print({{"event", "summary"}, {"units", tally.units}, {"first_pass", tally.firstPass},
           {"after_retries", tally.afterRetries}, {"failed", tally.failed}, {"cancelled", tally.cancelled},
           {"first_pass_yield", share(tally.firstPass)}, {"final_yield", share(succeeded)},
           {"units_per_hour", perHour}, {"seconds", qRound(hours * 3.6e6) / 1000.0}},
          QString("summary: units seen %1, succeeded first time %2, after retries %3, failed %4, cancelled %5; "
                  "first-pass yield %6 %, final yield %7 %; %8 units per hour")
              .arg(tally.units).arg(tally.firstPass).arg(tally.afterRetries).arg(tally.failed).arg(tally.cancelled)
              .arg(100 * share(tally.firstPass)).arg(100 * share(succeeded)).arg(perHour));
    // Units the record lost make the run a failure, even if they succeeded.
    const int code = exitCode(tally.worst);
    emit finished(cancelledRunning ? ExitCode::Cancelled : recordBroken && code == 0 ? ExitCode::Failed : code);
}

void Station::print(const QJsonObject &object, const QString &text)
{
    if (request.json) {
        writeJson(object);
    } else {
        std::printf("%s\n", qPrintable(text));
        std::fflush(stdout);
    }
}
