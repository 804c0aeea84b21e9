#include "station.h"

#include "portjob.h"
#include "report.h"
#include "request.h"

#include <QFileInfo>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QTimer>

#include <cstdio>

Station::Station(const Request &request, Record *record, QObject *parent)
    : QObject(parent), request(request), record(record), scanner(new QTimer(this))
{
    connect(scanner, &QTimer::timeout, this, &Station::scan);
}

void Station::start()
{
    // Hashed once: every unit gets what the record says, or nothing.
    image = Image{request.file, request.fileSize, Image::hash(request.file)};
    clock.start();
    scanner->start(ScanInterval);
    scan();
}

// A path slot is present while its path leads to a device; a usb: slot
// stands for every port that matches it. The port list is read only for
// usb: slots, once a scan.
void Station::scan()
{
    QMap<QString, QPair<QString, QString>> present; // device -> slot, port
    QList<QSerialPortInfo> ports;
    bool listed = false;
    for (const QString &slot : request.watched) {
        UsbSelector usb;
        if (!parseUsbSelector(slot, &usb)) {
            const QString device = QFileInfo(slot).canonicalFilePath();
            if (!device.isEmpty() && !present.contains(device))
                present.insert(device, {slot, slot});
            continue;
        }
        if (!std::exchange(listed, true))
            ports = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &info : ports) {
            const QString device = QFileInfo(info.systemLocation()).canonicalFilePath();
            if (usb.matches(info) && !device.isEmpty() && !present.contains(device))
                present.insert(device, {slot, info.systemLocation()});
        }
    }

    for (auto it = present.cbegin(); it != present.cend(); ++it)
        if (!units.contains(it.key()))
            found(it.value().first, it.value().second, it.key());
    for (const QString &device : units.keys()) {
        units[device].present = present.contains(device);
        // A unit pulled out mid-transfer leaves once its attempt has ended.
        if (!units[device].present && !units[device].job)
            left(device);
    }
}

void Station::found(const QString &slot, const QString &port, const QString &device)
{
    Unit &unit = units[device];
    unit.slot = slot;
    unit.port = port;
    unit.identity = UnitIdentity::of(device);
    ++tally.units;
    const QString name = unit.identity.unit(port);
    print({{"event", "appeared"}, {"slot", slot}, {"port", port}, {"unit", name}},
          QString("%1: appeared on %2 (unit %3)").arg(port, slot, name));
    attempt(device);
}

void Station::attempt(const QString &device)
{
    Unit &unit = units[device];
    ++unit.attempts;
    // Never a different image than the record names: a changed file is
    // refused until the operator restarts the station with it.
    if (Image::hash(image.path) != image.sha256) {
        Attempt refused{unit.slot, unit.port, unit.identity, unit.attempts, Outcome::Failed, 0, 0,
                        QString("%1 changed on disk since the station started; restart the station to flash it")
                            .arg(image.path)};
        unit.last = Outcome::Failed;
        print({{"event", "result"}, {"port", unit.port}, {"file", image.path}, {"outcome", "failed"},
               {"bytes", 0}, {"seconds", 0}, {"error", refused.error}, {"attempt", unit.attempts},
               {"unit", unit.identity.unit(unit.port)}, {"slot", unit.slot}},
              QString("%1: failed, 0 bytes (attempt %2)").arg(unit.port).arg(unit.attempts));
        std::fprintf(stderr, "qivo-dfu-cli: %s: %s\n", qPrintable(unit.port), qPrintable(refused.error));
        if (record && !record->append(image, refused))
            std::fprintf(stderr, "qivo-dfu-cli: the record could not be written\n");
        return;
    }

    unit.job = new PortJob(unit.port, device, request.file, request.fileSize, request.baud, request.preamble, this);
    PortJob *job = unit.job;
    auto tenth = std::make_shared<int>(0);
    connect(job, &PortJob::progressed, this, [this, job, device, tenth](int percent) {
        if (!request.json || request.quiet || percent / 10 <= *tenth)
            return;
        *tenth = percent / 10;
        const Unit &unit = units[device];
        writeJson({{"event", "progress"}, {"port", job->port()}, {"percent", percent},
                   {"attempt", unit.attempts}, {"unit", unit.identity.unit(unit.port)}});
    });
    connect(job, &PortJob::finished, this, [this, device] { attemptEnded(device); }, Qt::QueuedConnection);
    job->start();
}

void Station::attemptEnded(const QString &device)
{
    Unit &unit = units[device];
    PortJob *job = std::exchange(unit.job, nullptr);
    unit.last = job->outcome();
    const Attempt done{unit.slot, unit.port, unit.identity, unit.attempts, job->outcome(),
                       job->bytes(), job->seconds(), job->error()};
    QJsonObject result = resultObject(job, request.file);
    result.insert("attempt", unit.attempts);
    result.insert("unit", unit.identity.unit(unit.port));
    result.insert("slot", unit.slot);
    print(result, QString("%1 (attempt %2)").arg(resultText(job)).arg(unit.attempts));
    if (!job->error().isEmpty())
        std::fprintf(stderr, "qivo-dfu-cli: %s: %s\n", qPrintable(job->port()), qPrintable(job->error()));
    job->deleteLater();
    if (record && !record->append(image, done))
        std::fprintf(stderr, "qivo-dfu-cli: the record could not be written\n");

    const bool again = unit.last != Outcome::Success && unit.last != Outcome::Cancelled
                       && unit.attempts <= request.retries;
    if (stopping) {
        for (const Unit &other : units)
            if (other.job)
                return;
        summarize();
    } else if (again && unit.present) {
        // A moment for a device that was still settling when it was asked.
        QTimer::singleShot(1000, this, [this, device] {
            if (!stopping && units.contains(device) && units[device].present && !units[device].job)
                attempt(device);
        });
    }
}

void Station::left(const QString &device)
{
    const Unit unit = units.take(device);
    print({{"event", "left"}, {"slot", unit.slot}, {"port", unit.port}, {"unit", unit.identity.unit(unit.port)}},
          unit.port + ": left");
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
    scanner->stop();
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
    emit finished(cancelledRunning ? ExitCode::Cancelled : exitCode(tally.worst));
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
