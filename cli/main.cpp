// qivo-dfu-cli: flashes one firmware image into one or many QIVO devices
// from scripts, with exit codes and optional JSON output.

#include "flashrun.h"
#include "output.h"
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
        Output::complain("cannot install the signal handlers");
        return ExitCode::Failed;
    }

    Record record;
    QString recordError;
    if (!request.record.isEmpty() && !record.open(request.record, &recordError)) {
        Output::complain(recordError);
        return ExitCode::Usage;
    }
    Record *const kept = record.isOpen() ? &record : nullptr;

    // Later signals find every job already stopping and change nothing.
    QSocketNotifier signalled(signalPipe[0], QSocketNotifier::Read);
    const auto onSignals = [&signalled](auto *run) {
        QObject::connect(&signalled, &QSocketNotifier::activated, run, [run] {
            char sink[16];
            while (::read(signalPipe[0], sink, sizeof sink) > 0) {
            }
            run->stop();
        });
        QString why;
        if (!run->showBoards(&why)) {
            Output::complain(why);
            return ExitCode::Failed;
        }
        // Queued: a run may end inside start(), before the loop runs.
        QObject::connect(run, &std::remove_pointer_t<decltype(run)>::finished, qApp, &QCoreApplication::exit,
                         Qt::QueuedConnection);
        run->start();
        return QCoreApplication::exec();
    };
    if (request.watch) {
        Station station(request, kept);
        return onSignals(&station);
    }
    FlashRun run(request, kept);
    return onSignals(&run);
}
