// Our flasher and lrzsz's sb -k, each sending the same file to rb over a
// paced line that flips random bits both ways, with the same seeds for both:
// how often each ends with the file stored, with a failure it reports, or
// with a success it reports although rb has no good copy. Prints counts.

#include "benchsupport.h"
#include "pairing.h"
#include "testline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int Baud = 115200;
// How long rb may take to finish once the sender has ended: it needs a
// moment after the last ACK, more when that ACK got lost.
constexpr int ReceiverGraceMs = 20000;

enum class Kind { Success, CleanFailure, FalseSuccess };

struct Trial
{
    int level; // index into the levels
    quint32 seed;
    bool ours;
};

struct TrialResult
{
    Kind kind = Kind::CleanFailure;
    bool hung = false; // the sender outlived the limit and was killed
    double seconds = 0;
    QString detail; // what each side said, for runs that did not succeed
};

QString senderName(bool ours)
{
    return ours ? "ours" : "sb -k";
}

// The last words of a log; lrzsz redraws its progress with carriage returns.
QString tail(const QString &path)
{
    QFile f(path);
    if (!f.open(QFile::ReadOnly))
        return "(no log)";
    const QString text = QString::fromLocal8Bit(f.readAll()).replace('\r', '\n').simplified();
    return text.isEmpty() ? QString("(empty)") : text.right(160);
}

// The flasher's result line: outcome and error.
QJsonObject resultLine(const QString &path)
{
    QFile f(path);
    if (!f.open(QFile::ReadOnly))
        return {};
    QJsonObject last;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.value("event").toString() == "result")
            last = o;
    }
    return last;
}

TrialResult runTrial(const Trial &t, double flipRate, const QString &file, const QString &runDir, int limitMs)
{
    TrialResult r;
    const QString target = runDir + "/in";
    QDir(runDir).removeRecursively(); // rb would keep an earlier copy rather than overwrite it
    QDir().mkpath(target);

    TestLine::Options options;
    options.baud = Baud;
    options.flipRate = flipRate;
    options.seed = t.seed;
    TestLine line(options);
    QElapsedTimer clock;
    clock.start();

    // End 0 sends, end 1 is rb, started in an empty folder of its own.
    bool reported = false;
    QString said;
    if (t.ours) {
        // Through a link of this run's own: the serial port's lock file is
        // named after the path, and a /dev/pts number freed by another
        // program may still have its lock held.
        const QString pty = line.addPty(), port = runDir + "/port";
        if (pty.isEmpty() || !QFile::link(pty, port)
            || !line.addProcess({"rb", "--ymodem"}, target, runDir + "/rb.log")) {
            r.detail = "line set-up failed";
            return r;
        }
        line.start();
        const pid_t pid = startChild({QIVO_CLI, "--no-preamble", "--json", "-p", port, file},
                                     ChildStream::file("/dev/null"), ChildStream::file(runDir + "/cli.json"),
                                     ChildStream::file(runDir + "/cli.log"));
        const int code = pid > 0 ? stopChildAfter(pid, int(qMax<qint64>(0, limitMs - clock.elapsed()))) : -1;
        r.hung = code == StillRunning;
        const QJsonObject result = resultLine(runDir + "/cli.json");
        const QString outcome = result.value("outcome").toString();
        reported = code == 0 && outcome == "success";
        said = r.hung ? QString("ours still running after %1 s, stopped").arg(limitMs / 1000)
                      : QString("ours exit %1, %2").arg(code).arg(outcome.isEmpty() ? "no result line" : outcome);
        if (result.contains("error"))
            said += ": " + result.value("error").toString();
    } else {
        if (!line.addProcess({"sb", "-k", "--ymodem", file}, QFileInfo(file).absolutePath(), runDir + "/sb.log")
            || !line.addProcess({"rb", "--ymodem"}, target, runDir + "/rb.log")) {
            r.detail = "line set-up failed";
            return r;
        }
        line.start();
        // The first process end is sb's.
        const int code = line.waitForProcess(limitMs);
        r.hung = code == -1 && clock.elapsed() >= limitMs;
        reported = code == 0;
        said = r.hung ? QString("sb still running after %1 s, stopped").arg(limitMs / 1000)
                      : QString("sb exit %1: %2").arg(code).arg(tail(runDir + "/sb.log"));
    }
    r.seconds = clock.elapsed() / 1000.0;

    QString rbSaid = "rb not awaited";
    if (!r.hung) {
        const int rb = line.waitForProcess(ReceiverGraceMs);
        rbSaid = rb == -1 ? QString("rb still running or killed") : QString("rb exit %1").arg(rb);
        rbSaid += ": " + tail(runDir + "/rb.log");
    }
    // What each end put on the line, before the flips (the seed replays
    // them), for a look at a run kept with --keep.
    for (int end : {0, 1}) {
        QFile f(runDir + (end ? "/sent-by-rb.bin" : "/sent-by-sender.bin"));
        if (f.open(QFile::WriteOnly))
            f.write(line.sentBy(end));
    }
    const QString stored = checkReceived(file, target);
    if (!reported)
        r.kind = Kind::CleanFailure;
    else
        r.kind = stored.isEmpty() ? Kind::Success : Kind::FalseSuccess;
    r.detail = QString("%1 | %2 | file: %3").arg(said, rbSaid, stored.isEmpty() ? QString("intact") : stored);
    return r;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Our flasher against sb -k, both into rb, over a paced line with random bit flips.");
    parser.addHelpOption();
    const QCommandLineOption levelsOption("levels", "Bit flips per byte, both ways.", "list", "3e-4,6e-4,1e-3");
    const QCommandLineOption seedsOption("seeds", "Seeds per level (1..N), the same for both senders.", "n", "6");
    const QCommandLineOption jobsOption("jobs", "Runs at once; the line's pacing leaves them mostly idle.", "n", "4");
    const QCommandLineOption limitOption("limit", "Seconds a sender may run before it is killed.", "s", "120");
    const QCommandLineOption sizeOption("size", "Bytes in the random file.", "bytes", "16384");
    const QCommandLineOption keepOption("keep", "Keep each run's folder (logs, both ends' bytes, rb's file) under dir.", "dir");
    parser.addOptions({levelsOption, seedsOption, jobsOption, limitOption, sizeOption, keepOption});
    parser.process(app);

    const QStringList levelTexts = parser.value(levelsOption).split(',', Qt::SkipEmptyParts);
    QList<double> levels;
    for (const QString &text : levelTexts) {
        bool ok = false;
        levels << text.toDouble(&ok);
        if (!ok || levels.last() < 0 || levels.last() > 1) {
            std::fprintf(stderr, "noisebench: unreadable level %s\n", qPrintable(text));
            return 2;
        }
    }
    const int seeds = parser.value(seedsOption).toInt();
    const int jobs = parser.value(jobsOption).toInt();
    const int limit = parser.value(limitOption).toInt();
    const qint64 size = parser.value(sizeOption).toLongLong();
    if (levels.isEmpty() || seeds <= 0 || jobs <= 0 || limit <= 0 || size <= 0 || size > (1 << 30)) {
        std::fprintf(stderr, "noisebench: levels, seeds, jobs, limit and size must be positive\n");
        return 2;
    }

    QTemporaryDir temporary;
    const QString root = parser.isSet(keepOption) ? QDir(parser.value(keepOption)).absolutePath() : temporary.path();
    if (!QDir().mkpath(root)) {
        std::fprintf(stderr, "noisebench: cannot make %s\n", qPrintable(root));
        return 2;
    }
    const QString file = root + "/fw.bin";
    if (!writeRandomFile(file, size, 16))
        return 2;

    // Both senders of a seed sit next to each other, so with two or more
    // runs at once they share the machine's load too.
    std::vector<Trial> trials;
    for (int l = 0; l < levels.size(); ++l)
        for (int s = 1; s <= seeds; ++s)
            for (bool ours : {true, false})
                trials.push_back({l, quint32(s), ours});

    printLine(QString("%1 random bytes to rb --ymodem over a line paced at %2 baud (%3 bytes/s), bits flipped")
            .arg(size).arg(Baud).arg(Baud / 10));
    printLine(QString("both ways; seeds 1..%1 per level for both senders; %2 run(s) at once; a sender still running")
            .arg(seeds).arg(jobs));
    printLine(QString("after %1 s is stopped and counted as a clean failure (\"hung\").").arg(limit));
    printLine(QString("ours: qivo-dfu-cli --no-preamble on a pty; sb -k --ymodem on pipes. load average before: %1")
            .arg(loadAverage()));

    std::signal(SIGPIPE, SIG_IGN);
    QElapsedTimer total;
    total.start();
    std::vector<TrialResult> results(trials.size());
    std::atomic<size_t> next{0};
    std::atomic<int> done{0};
    std::mutex printing;
    auto work = [&] {
        for (size_t i = next++; i < trials.size(); i = next++) {
            const Trial &t = trials[i];
            const QString runDir = QString("%1/%2-seed%3-%4")
                                       .arg(root, levelTexts[t.level]).arg(t.seed).arg(t.ours ? "ours" : "sb");
            results[i] = runTrial(t, levels[t.level], file, runDir, limit * 1000);
            std::lock_guard<std::mutex> lock(printing);
            const TrialResult &r = results[i];
            std::fprintf(stderr, "[%d/%zu] %s seed %u %s: %s, %.1f s\n", ++done, trials.size(),
                         qPrintable(levelTexts[t.level]), t.seed, qPrintable(senderName(t.ours)),
                         r.kind == Kind::Success ? "success"
                             : r.kind == Kind::FalseSuccess ? "FALSE SUCCESS"
                             : r.hung ? "hung" : "clean failure",
                         r.seconds);
        }
    };
    std::vector<std::thread> workers;
    for (int j = 0; j < jobs; ++j)
        workers.emplace_back(work);
    for (std::thread &w : workers)
        w.join();

    printLine("");
    printLine(QString("%1 %2 %3 %4 %5 %6")
            .arg("level", -8).arg("sender", -7).arg("success", 8).arg("clean failure", 14)
            .arg("false success", 14).arg("mean s (succ.)", 15));
    for (int l = 0; l < levels.size(); ++l) {
        for (bool ours : {true, false}) {
            int counts[3] = {0, 0, 0}, hung = 0;
            double seconds = 0;
            for (size_t i = 0; i < trials.size(); ++i) {
                if (trials[i].level != l || trials[i].ours != ours)
                    continue;
                ++counts[int(results[i].kind)];
                hung += results[i].hung;
                if (results[i].kind == Kind::Success)
                    seconds += results[i].seconds;
            }
            const QString failures = QString("%1/%2").arg(counts[1]).arg(seeds)
                                   + (hung ? QString(" (%1 hung)").arg(hung) : QString());
            printLine(QString("%1 %2 %3 %4 %5 %6")
                    .arg(levelTexts[l], -8).arg(senderName(ours), -7)
                    .arg(QString("%1/%2").arg(counts[0]).arg(seeds), 8).arg(failures, 14)
                    .arg(QString("%1/%2").arg(counts[2]).arg(seeds), 14)
                    .arg(counts[0] ? QString::number(seconds / counts[0], 'f', 1) : QString("-"), 15));
        }
    }

    bool header = false;
    for (size_t i = 0; i < trials.size(); ++i) {
        if (results[i].kind == Kind::Success)
            continue;
        if (!header)
            printLine("\nRuns that did not succeed (sender | rb | rb's folder):");
        header = true;
        const Trial &t = trials[i];
        printLine(QString("  %1 seed %2 %3: %4")
                .arg(levelTexts[t.level]).arg(t.seed).arg(senderName(t.ours)).arg(results[i].detail));
    }
    printLine(QString("\ntotal time %1 s; load average after: %2")
            .arg(total.elapsed() / 1000.0, 0, 'f', 1).arg(loadAverage()));
    return 0;
}
