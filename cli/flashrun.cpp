#include "flashrun.h"

#include "board.h"
#include "progressbars.h"
#include "record.h"
#include "request.h"
#include "upgradejob.h"

#include <unistd.h>

namespace {

Output::Progress progressOf(const Request &request, bool bars)
{
    return request.quiet || bars ? Output::Progress::None : Output::Progress::Steps;
}

bool wantsBars(const Request &request)
{
    return !request.json && !request.quiet && ::isatty(STDERR_FILENO);
}

} // namespace

FlashRun::FlashRun(const Request &request, Record *record, QObject *parent)
    : QObject(parent), request(request), record(record),
      output(request.json, progressOf(request, wantsBars(request)))
{
    for (const Request::Target &target : request.targets) {
        auto *job = new UpgradeJob(target.port, target.device, request.image, request.baud, request.preamble, this);
        connect(job, &UpgradeJob::progressed, this, [this, job] { output.progress(job); });
        connect(job, &UpgradeJob::phaseChanged, this, [this, job] { output.state(job); });
        connect(job, &UpgradeJob::finished, this, &FlashRun::jobEnded);
        jobs << job;
    }
    if (wantsBars(request))
        bars = new ProgressBars(jobs, this);
}

FlashRun::~FlashRun() = default;

bool FlashRun::showBoards(QString *error)
{
    if (request.http.isEmpty())
        return true;
    QStringList ports;
    for (const Request::Target &target : request.targets)
        ports << target.port;
    // The run's counts: each port a unit, counted once it has its result.
    const auto counts = [this] {
        int units = 0, succeeded = 0, failed = 0, cancelled = 0;
        for (const UpgradeJob *job : jobs) {
            ++units;
            if (job->phase() != UpgradeJob::Phase::Done)
                continue;
            succeeded += job->outcome() == Outcome::Success;
            cancelled += job->outcome() == Outcome::Cancelled;
            failed += job->outcome() != Outcome::Success && job->outcome() != Outcome::Cancelled;
        }
        const auto share = [units](int n) { return units ? qRound(1000.0 * n / units) / 1000.0 : 0.0; };
        return QJsonObject{{"units", units}, {"first_pass", succeeded}, {"after_retries", 0}, {"failed", failed},
                           {"cancelled", cancelled}, {"first_pass_yield", share(succeeded)},
                           {"final_yield", share(succeeded)}, {"units_per_hour", 0}};
    };
    board = std::make_unique<Board>(request.image, request.file, false, ports, counts);
    output.setListener([this](const QJsonObject &event) { board->event(event); });
    if (!board->serve(request.http, error))
        return false;
    Output::complain("board at " + board->url());
    return true;
}

void FlashRun::start()
{
    running = jobs.size();
    if (bars)
        bars->start();
    for (UpgradeJob *job : jobs)
        job->start();
}

void FlashRun::stop()
{
    interrupted = true;
    for (UpgradeJob *job : jobs)
        job->cancel();
}

// Once every port has ended: the final bars, then a result line per port,
// then the record. A record that lost an attempt fails the run: the caller
// must know.
void FlashRun::jobEnded()
{
    if (--running > 0)
        return;
    if (bars)
        bars->finish();
    for (const UpgradeJob *job : jobs) {
        output.result(job, request.file);
        output.count(job->outcome());
    }
    for (int i = 0; record && i < jobs.size(); ++i) {
        const UpgradeJob *job = jobs[i];
        const Attempt done{request.targets[i].port, job->port(), UnitIdentity::of(request.targets[i].device), 1,
                           job->outcome(), job->bytes(), job->seconds(), job->error()};
        QString why;
        if (!record->append(request.image, done, &why))
            output.recordFailed(why);
    }
    emit finished(output.exitCode(interrupted));
}
