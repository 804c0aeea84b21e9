#include "report.h"
#include "portjob.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const char kHideCursor[] = "\033[?25l";
const char kShowCursor[] = "\033[?25h";

QString size(double bytes)
{
    if (bytes < 1024)
        return QString("%1 B").arg(qint64(bytes));
    if (bytes < 1024 * 1024)
        return QString("%1 KiB").arg(bytes / 1024, 0, 'f', 1);
    return QString("%1 MiB").arg(bytes / (1024 * 1024), 0, 'f', 2);
}

QString duration(double seconds)
{
    const qint64 s = qint64(seconds + 0.5);
    return QString("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QChar('0'));
}

double rate(qint64 bytes, double seconds)
{
    return seconds > 0 ? bytes / seconds : 0;
}

} // namespace

void writeJson(const QJsonObject &object)
{
    std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QJsonObject resultObject(const PortJob *job, const QString &file)
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

QString resultText(const PortJob *job)
{
    return QString::asprintf("%s: %s, %lld bytes, %.2f s, %.0f bytes/s", qPrintable(job->port()),
                             qPrintable(outcomeName(job->outcome())), static_cast<long long>(job->bytes()),
                             job->seconds(), rate(job->bytes(), job->seconds()));
}

Report::Report(Style style, bool quiet, const QString &file, const QVector<PortJob *> &jobs, QObject *parent)
    : QObject(parent), style(style), quiet(quiet), file(file), jobs(jobs), reportedTenth(jobs.size(), 0)
{
}

Report::~Report()
{
    // Whatever ended the run, the terminal keeps a cursor.
    if (cursorHidden)
        std::fputs(kShowCursor, stderr);
}

void Report::start()
{
    if (style != Style::Bars)
        return;
    std::fputs(kHideCursor, stderr);
    cursorHidden = true;
    // Redrawn on a clock, not per block: sixteen ports stay cheap.
    redraw = new QTimer(this);
    connect(redraw, &QTimer::timeout, this, &Report::drawBars);
    redraw->start(200);
    drawBars();
}

void Report::progressed(int index)
{
    if (quiet || (style != Style::Lines && style != Style::Json))
        return;
    const PortJob *job = jobs[index];
    const int tenth = job->percent() / 10;
    if (tenth <= reportedTenth[index])
        return;
    reportedTenth[index] = tenth;
    if (style == Style::Json) {
        writeJson({{"event", "progress"}, {"port", job->port()}, {"percent", job->percent()}});
    } else {
        std::fprintf(stderr, "%s: %d%% (%lld bytes)\n", qPrintable(job->port()), job->percent(),
                     static_cast<long long>(job->bytes()));
        std::fflush(stderr);
    }
}

QString Report::bar(const PortJob *job) const
{
    const QString name = job->port().leftJustified(14);
    switch (job->phase()) {
    case PortJob::Phase::Idle:
    case PortJob::Phase::Preamble:
        return name + (job->cancelling() ? " cancelling" : " restarting the device into its boot loader");
    case PortJob::Phase::Waiting:
        return name + (job->cancelling() ? " cancelling" : " waiting for the boot loader");
    case PortJob::Phase::Done:
        return name + ' ' + outcomeName(job->outcome());
    case PortJob::Phase::Sending:
        break;
    }
    constexpr int width = 24;
    const int filled = job->percent() * width / 100;
    const double speed = rate(job->bytes(), job->sendingSeconds());
    QString left = "--:--";
    if (speed > 0 && job->percent() > 0)
        left = duration((double(job->bytes()) * 100 / job->percent() - job->bytes()) / speed);
    return QString("%1 [%2%3] %4%  %5  %6/s  %7 left%8")
        .arg(name, QString(filled, '#'), QString(width - filled, '-'))
        .arg(job->percent(), 3)
        .arg(size(double(job->bytes())), size(speed), left, job->cancelling() ? "  cancelling" : "");
}

void Report::drawBars()
{
    QByteArray out;
    if (drawn)
        out += "\033[" + QByteArray::number(jobs.size()) + 'A';
    // A line that wraps would throw off the count of lines to go back up.
    winsize window {};
    const int columns = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col > 1 ? window.ws_col : 80;
    for (const PortJob *job : jobs)
        out += "\r\033[2K" + bar(job).left(columns - 1).toLocal8Bit() + '\n';
    drawn = true;
    std::fputs(out.constData(), stderr);
    std::fflush(stderr);
}

void Report::finish()
{
    if (style == Style::Bars) {
        redraw->stop();
        drawBars();
        std::fputs(kShowCursor, stderr);
        std::fflush(stderr);
        cursorHidden = false;
    }

    for (const PortJob *job : jobs) {
        if (style == Style::Json)
            writeJson(resultObject(job, file));
        else
            std::printf("%s\n", qPrintable(resultText(job)));
        if (!job->error().isEmpty())
            std::fprintf(stderr, "qivo-dfu-cli: %s: %s\n", qPrintable(job->port()), qPrintable(job->error()));
    }
    std::fflush(stdout);
    std::fflush(stderr);
}
