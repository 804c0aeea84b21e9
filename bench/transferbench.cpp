// Throughput of the transfer workers against each other and against lrzsz
// over a paced serial line, and the sender's peak memory for a small and a
// large file. Prints figures; judging them is left to the reader.

#include "benchsupport.h"
#include "pairing.h"
#include "sendermemory.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

struct Pairing
{
    const char *key;
    const char *label;
    EndProgram sender;
    EndProgram receiver;
};

const Pairing kPairings[] = {
    {"ours-ours", "ours -> ours", EndProgram::Ours, EndProgram::Ours},
    {"ours-rb", "ours -> rb", EndProgram::Ours, EndProgram::Lrzsz},
    {"sb-ours", "sb -k -> ours", EndProgram::Lrzsz, EndProgram::Ours},
    {"sb-rb", "sb -k -> rb", EndProgram::Lrzsz, EndProgram::Lrzsz},
};

// What we aim for on a 115200 baud line, as a share of its byte rate.
struct Target
{
    const char *key;
    qint64 size; // 0: every size measured
    double share;
};

const Target kTargets[] = {
    {"ours-rb", 1 << 20, 0.92},
    {"sb-ours", 1 << 20, 0.92},
    {"ours-ours", 1 << 20, 0.87},
};

// "64k", "1m", "100": a size in bytes; 0 if unreadable.
qint64 parseSize(QString text)
{
    text = text.trimmed().toLower();
    qint64 unit = 1;
    if (text.endsWith('k'))
        unit = 1 << 10;
    else if (text.endsWith('m'))
        unit = 1 << 20;
    if (unit > 1)
        text.chop(1);
    bool ok = false;
    const qint64 n = text.toLongLong(&ok);
    return ok && n > 0 ? n * unit : 0;
}

QList<qint64> parseSizes(const QString &list)
{
    QList<qint64> sizes;
    for (const QString &s : list.split(',', Qt::SkipEmptyParts))
        sizes << parseSize(s);
    return sizes;
}

QString sizeLabel(qint64 size)
{
    if (size % (1 << 20) == 0)
        return QString("%1 MiB").arg(size >> 20);
    if (size % (1 << 10) == 0)
        return QString("%1 KiB").arg(size >> 10);
    return QString("%1 B").arg(size);
}

QString randomFile(const QTemporaryDir &dir, qint64 size)
{
    const QString path = dir.filePath(QString("fw-%1.bin").arg(size));
    return writeRandomFile(path, size, quint32(size)) ? path : QString();
}

QString seconds(qint64 ms)
{
    return ms < 0 ? QString("-") : QString::number(ms / 1000.0, 'f', 2) + " s";
}

int runTransfers(const QTemporaryDir &dir, const QList<qint64> &sizes, const QStringList &keys, int baud)
{
    const double limit = baud / 10.0;
    printLine(QString("Transfers over a TestLine paced at %1 baud: limit %2 bytes/s, 10 bits a byte")
            .arg(baud).arg(limit, 0, 'f', 0));
    printLine("Time runs from setting up the ends (lrzsz start-up included) until both ends have ended:");
    printLine("our workers' final status, lrzsz's exit. \"1st block\" and \"EOT\": until the sender began its first");
    printLine("data block and sent its EOT (10 ms resolution).");
    printLine(QString("load average before: %1 (2 cores; other jobs may share them)").arg(loadAverage()));
    printLine("");
    printLine(QString("%1 %2 %3 %4 %5 %6 %7 %8")
            .arg("size", -8).arg("pairing", -14).arg("result", -6).arg("1st block", 10).arg("EOT", 10)
            .arg("time", 10).arg("bytes/s", 9).arg("of limit", 9));

    QMap<QString, double> share; // "<key>@<size>" -> share of the limit
    int failures = 0;
    for (qint64 size : sizes) {
        const QString file = randomFile(dir, size);
        for (const Pairing &p : kPairings) {
            if (!keys.contains(p.key))
                continue;
            const PairingResult r = runPairing(p.sender, p.receiver, file, baud, QCoreApplication::applicationFilePath());
            const double rate = r.totalMs > 0 ? size * 1000.0 / r.totalMs : 0;
            printLine(QString("%1 %2 %3 %4 %5 %6 %7 %8%9")
                    .arg(sizeLabel(size), -8).arg(p.label, -14).arg(r.ok ? "ok" : "FAIL", -6)
                    .arg(seconds(r.firstBlockMs), 10).arg(seconds(r.eotMs), 10).arg(seconds(r.totalMs), 10)
                    .arg(rate, 9, 'f', 0).arg(QString::number(100 * rate / limit, 'f', 1) + "%", 9)
                    .arg(r.ok ? QString() : "  " + r.problem));
            if (r.ok)
                share[QString("%1@%2").arg(p.key).arg(size)] = rate / limit;
            else
                ++failures;
        }
    }
    printLine(QString("load average after: %1").arg(loadAverage()));

    QStringList verdicts;
    for (const Target &t : kTargets) {
        for (qint64 size : sizes) {
            const QString key = QString("%1@%2").arg(t.key).arg(size);
            if ((t.size && t.size != size) || !share.contains(key))
                continue;
            const double got = share[key];
            verdicts << QString("  %1 %2 at least %3% of limit: %4% %5")
                            .arg(t.key, -9).arg(sizeLabel(size), -7).arg(t.share * 100, 0, 'f', 0)
                            .arg(got * 100, 0, 'f', 1)
                            .arg(got >= t.share ? "met"
                                                : QString("MISSED by %1 points").arg((t.share - got) * 100, 0, 'f', 1));
        }
    }
    const QString ours = QString("ours-ours@%1").arg(64 << 10), theirs = QString("sb-rb@%1").arg(64 << 10);
    if (share.contains(ours) && share.contains(theirs)) {
        // Same size on both sides, so the shares compare as the times do.
        verdicts << QString("  ours-ours 64 KiB faster end to end than sb-rb: %1")
                        .arg(share[ours] > share[theirs] ? "met" : "MISSED");
    }
    if (!verdicts.isEmpty()) {
        printLine("");
        printLine("Targets");
        for (const QString &v : verdicts)
            printLine(v);
    }
    return failures;
}

int runMemory(const QTemporaryDir &dir, const QList<qint64> &sizes, const QString &program)
{
    printLine("");
    printLine("Peak resident set (VmHWM) of a process running only our transmitter, unpaced, to rb --ymodem");
    printLine(QString("%1 %2 %3 %4").arg("size", -8).arg("result", -6).arg("time", 10).arg("VmHWM", 12));
    int failures = 0;
    qint64 first = -1;
    for (qint64 size : sizes) {
        const QString file = randomFile(dir, size);
        const MemoryResult r = measureSender(program, file);
        printLine(QString("%1 %2 %3 %4%5")
                .arg(sizeLabel(size), -8).arg(r.ok ? "ok" : "FAIL", -6).arg(seconds(r.totalMs), 10)
                .arg(QString::number(r.peakKiB) + " KiB", 12).arg(r.ok ? QString() : "  " + r.problem));
        failures += !r.ok;
        if (first < 0)
            first = r.peakKiB;
        else if (r.peakKiB >= 0)
            printLine(QString("growth from the first size: %1 KiB").arg(r.peakKiB - first));
        QFile::remove(file);
    }
    return failures;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Transfer throughput and sender memory figures.");
    parser.addHelpOption();
    const QCommandLineOption sizes("sizes", "Transfer sizes, e.g. 64k,1m.", "list", "64k,1m");
    const QCommandLineOption pairs("pairs", "Pairings: ours-ours,ours-rb,sb-ours,sb-rb.", "list",
                                   "ours-ours,ours-rb,sb-ours,sb-rb");
    const QCommandLineOption baud("baud", "Line pace for the transfers.", "rate", "115200");
    const QCommandLineOption memorySizes("memory-sizes", "File sizes for the memory part.", "list", "64k,16m");
    const QCommandLineOption skipTransfers("skip-transfers", "Leave out the transfers.");
    const QCommandLineOption skipMemory("skip-memory", "Leave out the memory part.");
    const QCommandLineOption sendOnly("send-only", "Internal: send one file and print the peak.", "file");
    const QCommandLineOption port("port", "Internal: port for --send-only.", "path");
    parser.addOptions({sizes, pairs, baud, memorySizes, skipTransfers, skipMemory, sendOnly, port});
    parser.process(app);

    if (parser.isSet(sendOnly))
        return runSendOnly(parser.value(sendOnly), parser.value(port));

    const QList<qint64> transferSizes = parseSizes(parser.value(sizes));
    const QList<qint64> memSizes = parseSizes(parser.value(memorySizes));
    const QStringList keys = parser.value(pairs).split(',', Qt::SkipEmptyParts);
    const int rate = parser.value(baud).toInt();
    if (transferSizes.contains(0) || memSizes.contains(0) || rate <= 0) {
        std::fprintf(stderr, "unreadable size list or baud rate\n");
        return 2;
    }
    for (const QString &k : keys) {
        if (std::none_of(std::begin(kPairings), std::end(kPairings), [&](const Pairing &p) { return k == p.key; })) {
            std::fprintf(stderr, "unknown pairing: %s\n", qPrintable(k));
            return 2;
        }
    }

    QTemporaryDir dir;
    int failures = 0;
    if (!parser.isSet(skipTransfers))
        failures += runTransfers(dir, transferSizes, keys, rate);
    if (!parser.isSet(skipMemory))
        failures += runMemory(dir, memSizes, QCoreApplication::applicationFilePath());
    return failures ? 1 : 0;
}
