#include "output.h"
#include "upgradejob.h"

#include <QJsonDocument>

#include <cstdio>

namespace {

void writeJson(const QJsonObject &object)
{
    std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QJsonObject merged(QJsonObject object, const QJsonObject &extra)
{
    for (auto it = extra.begin(); it != extra.end(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

} // namespace

void Output::event(const QJsonObject &object, const QString &text) const
{
    if (listen)
        listen(object);
    if (json) {
        writeJson(object);
    } else if (!text.isEmpty() && print) {
        print(text);
    } else if (!text.isEmpty()) {
        std::printf("%s\n", qPrintable(text));
        std::fflush(stdout);
    }
}

void Output::state(const UpgradeJob *job, const QJsonObject &extra) const
{
    const char *name = job->phase() == UpgradeJob::Phase::Preamble ? "preamble"
                       : job->phase() == UpgradeJob::Phase::Waiting ? "booting"
                                                                     : "flashing";
    const QJsonObject object = merged({{"event", "state"}, {"port", job->port()}, {"state", name}}, extra);
    if (listen)
        listen(object);
    // A step of progress: printed with the progress, as JSON only.
    if (json && progressMode == Progress::Steps)
        writeJson(object);
}

void Output::progress(const UpgradeJob *job, const QJsonObject &extra)
{
    const int tenth = job->percent() / 10;
    if (tenth <= reportedTenth.value(job))
        return;
    reportedTenth.insert(job, tenth);
    const double sending = job->sendingSeconds();
    const QJsonObject object = merged({{"event", "progress"}, {"port", job->port()}, {"percent", job->percent()},
                                       {"bytes", double(job->bytes())},
                                       {"rate", sending > 0 ? qRound(10 * job->bytes() / sending) / 10.0 : 0.0}},
                                      extra);
    if (listen)
        listen(object);
    if (progressMode == Progress::None)
        return;
    if (json) {
        writeJson(object);
    } else {
        std::fprintf(stderr, "%s: %d%% (%lld bytes)\n", qPrintable(job->port()), job->percent(),
                     static_cast<long long>(job->bytes()));
        std::fflush(stderr);
    }
}

void Output::result(const UpgradeJob *job, const QString &file, const QJsonObject &extra, const QString &suffix)
{
    reportedTenth.remove(job);
    event(merged(resultObject(job, file), extra), resultText(job) + suffix);
    if (!job->error().isEmpty())
        complain(QString("%1: %2").arg(job->port(), job->error()));
}

void Output::complain(const QString &text)
{
    std::fprintf(stderr, "qivo-dfu-cli: %s\n", qPrintable(text));
    std::fflush(stderr);
}

void Output::recordFailed(const QString &why)
{
    broken = true;
    complain(why);
}

void Output::count(Outcome outcome)
{
    if (severity(outcome) > severity(worstSoFar))
        worstSoFar = outcome;
}

int Output::exitCode(bool cancelled) const
{
    if (cancelled)
        return ExitCode::Cancelled;
    const int code = ::exitCode(worstSoFar);
    return broken && code == ExitCode::Success ? ExitCode::Failed : code;
}

QJsonObject Output::resultObject(const UpgradeJob *job, const QString &file)
{
    QJsonObject result{{"event", "result"},
                       {"port", job->port()},
                       {"file", file},
                       {"outcome", outcomeName(job->outcome())},
                       {"bytes", double(job->bytes())},
                       {"seconds", qRound(job->seconds() * 1000) / 1000.0}};
    if (!job->error().isEmpty())
        result.insert("error", job->error());
    return result;
}

QString Output::resultText(const UpgradeJob *job)
{
    const double rate = job->seconds() > 0 ? job->bytes() / job->seconds() : 0;
    return QString::asprintf("%s: %s, %lld bytes, %.2f s, %.0f bytes/s", qPrintable(job->port()),
                             qPrintable(outcomeName(job->outcome())), static_cast<long long>(job->bytes()),
                             job->seconds(), rate);
}
