#include "progressbars.h"
#include "upgradejob.h"

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

} // namespace

ProgressBars::ProgressBars(const QVector<UpgradeJob *> &jobs, QObject *parent)
    : QObject(parent), jobs(jobs), redraw(new QTimer(this))
{
    connect(redraw, &QTimer::timeout, this, &ProgressBars::draw);
}

ProgressBars::~ProgressBars()
{
    // Whatever ended the run, the terminal keeps a cursor.
    if (cursorHidden)
        std::fputs(kShowCursor, stderr);
}

void ProgressBars::start()
{
    std::fputs(kHideCursor, stderr);
    cursorHidden = true;
    redraw->start(200);
    draw();
}

void ProgressBars::finish()
{
    redraw->stop();
    draw();
    std::fputs(kShowCursor, stderr);
    std::fflush(stderr);
    cursorHidden = false;
}

QString ProgressBars::bar(const UpgradeJob *job)
{
    const QString name = job->port().leftJustified(14);
    switch (job->phase()) {
    case UpgradeJob::Phase::Idle:
    case UpgradeJob::Phase::Preamble:
        return name + (job->cancelling() ? " cancelling" : " restarting the device into its boot loader");
    case UpgradeJob::Phase::Waiting:
        return name + (job->cancelling() ? " cancelling" : " waiting for the boot loader");
    case UpgradeJob::Phase::Done:
        return name + ' ' + outcomeName(job->outcome());
    case UpgradeJob::Phase::Sending:
        break;
    }
    constexpr int width = 24;
    const int filled = job->percent() * width / 100;
    const double sending = job->sendingSeconds();
    const double speed = sending > 0 ? job->bytes() / sending : 0;
    QString left = "--:--";
    if (speed > 0 && job->percent() > 0)
        left = duration((double(job->bytes()) * 100 / job->percent() - job->bytes()) / speed);
    return QString("%1 [%2%3] %4%  %5  %6/s  %7 left%8")
        .arg(name, QString(filled, '#'), QString(width - filled, '-'))
        .arg(job->percent(), 3)
        .arg(size(double(job->bytes())), size(speed), left, job->cancelling() ? "  cancelling" : "");
}

void ProgressBars::draw()
{
    QByteArray out;
    if (drawn)
        out += "\033[" + QByteArray::number(jobs.size()) + 'A';
    // A line that wraps would throw off the count of lines to go back up.
    winsize window {};
    const int columns = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col > 1 ? window.ws_col : 80;
    for (const UpgradeJob *job : jobs)
        out += "\r\033[2K" + bar(job).left(columns - 1).toLocal8Bit() + '\n';
    drawn = true;
    std::fputs(out.constData(), stderr);
    std::fflush(stderr);
}
