#include "flashrun.h"

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
        connect(job, &UpgradeJob::finished, this, &FlashRun::jobEnded);
        jobs << job;
    }
    if (wantsBars(request))
        bars = new ProgressBars(jobs, this);
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
