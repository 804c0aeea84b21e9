// qivo-dfu-cli: flashes one firmware image into one or many QIVO devices
// from scripts, with exit codes and optional JSON output.

#include "outcome.h"
#include "portjob.h"
#include "report.h"
#include "record.h"
#include "request.h"
#include "station.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Signals only write a byte here; the event loop does the cancelling, so a
// second Ctrl-C can never interrupt a port half-way through a write.
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t put = ::write(signalPipe[1], &byte, 1);
}

bool catchSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A closed terminal (SIGHUP) or a reader that went away (SIGPIPE, as
    // with "| head -1") must not leave a device holding part of an image:
    // they cancel as Ctrl-C does, and the writes that fail change nothing.
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        if (sigaction(number, &action, nullptr) != 0)
            return false;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("qivo-dfu-cli");

    QList<QByteArray> raw;
    for (int i = 0; i < argc; ++i)
        raw << QByteArray(argv[i]);
    Request request;
    const int early = readRequest(QCoreApplication::arguments(), raw, &request);
    if (early >= 0)
        return early;

    // From here on nothing blocks outside the event loop, which handles them.
    if (!catchSignals()) {
        std::fprintf(stderr, "qivo-dfu-cli: cannot install the signal handlers\n");
        return ExitCode::Failed;
    }

    Record record;
    QString recordError;
    if (!request.record.isEmpty() && !record.open(request.record, &recordError)) {
        std::fprintf(stderr, "qivo-dfu-cli: %s\n", qPrintable(recordError));
        return ExitCode::Usage;
    }
    QSocketNotifier signalled(signalPipe[0], QSocketNotifier::Read);
    const auto drainSignals = [] {
        char sink[16];
        while (::read(signalPipe[0], sink, sizeof sink) > 0) {
        }
    };

    if (request.watch) {
        Station station(request, record.isOpen() ? &record : nullptr);
        QObject::connect(&signalled, &QSocketNotifier::activated, &station, [&] {
            drainSignals();
            station.stop();
        });
        QObject::connect(&station, &Station::finished, &app, &QCoreApplication::exit);
        station.start();
        return app.exec();
    }

    // Every port is sent the image hashed before any port was touched, or
    // fails: the record names exactly what a success sent.
    QVector<PortJob *> jobs;
    for (int i = 0; i < request.ports.size(); ++i)
        jobs << new PortJob(request.ports[i], request.devices[i], request.image, request.baud, request.preamble, &app);

    Report::Style style = Report::Style::Lines;
    if (request.json)
        style = Report::Style::Json;
    else if (request.quiet)
        style = Report::Style::Quiet;
    else if (::isatty(STDERR_FILENO))
        style = Report::Style::Bars;
    Report report(style, request.quiet, request.file, jobs);

    bool interrupted = false;
    QObject::connect(&signalled, &QSocketNotifier::activated, &app, [&] {
        drainSignals();
        // Later signals find every job already stopping and change nothing.
        interrupted = true;
        for (PortJob *job : jobs)
            job->cancel();
    });

    int running = jobs.size();
    for (int i = 0; i < jobs.size(); ++i) {
        QObject::connect(jobs[i], &PortJob::progressed, &report, [&report, i] { report.progressed(i); });
        QObject::connect(jobs[i], &PortJob::finished, &app, [&running] {
            if (--running == 0)
                QCoreApplication::exit(0);
        });
    }

    report.start();
    for (PortJob *job : jobs)
        job->start();
    if (running > 0)
        app.exec();
    report.finish();
    // A record that lost an attempt fails the run: the caller must know.
    bool recorded = true;
    for (int i = 0; record.isOpen() && i < jobs.size(); ++i) {
        const PortJob *job = jobs[i];
        const Attempt done{request.ports[i], job->port(), UnitIdentity::of(request.devices[i]), 1, job->outcome(),
                           job->bytes(), job->seconds(), job->error()};
        QString why;
        if (!record.append(request.image, done, &why)) {
            std::fprintf(stderr, "qivo-dfu-cli: %s\n", qPrintable(why));
            recorded = false;
        }
    }

    if (interrupted)
        return ExitCode::Cancelled;
    Outcome worst = Outcome::Success;
    for (const PortJob *job : jobs)
        if (severity(job->outcome()) > severity(worst))
            worst = job->outcome();
    return !recorded && worst == Outcome::Success ? ExitCode::Failed : exitCode(worst);
}
