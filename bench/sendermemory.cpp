#include "sendermemory.h"

#include "pairing.h"
#include "testline.h"
#include "ymodemfiletransmit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

qint64 peakResidentKiB()
{
    QFile status("/proc/self/status");
    if (!status.open(QFile::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

int runSendOnly(const QString &file, const QString &port)
{
    YmodemFileTransmit sender;
    QEventLoop loop;
    Ymodem::Status ending = Ymodem::StatusEstablish;
    QObject::connect(&sender, &YmodemFileTransmit::transmitStatus, [&](Ymodem::Status s) {
        if (s >= Ymodem::StatusFinish) {
            ending = s;
            loop.quit();
        }
    });
    sender.setFileName(file);
    sender.setPortName(port);
    if (!sender.startTransmit())
        return 2;
    loop.exec();
    std::printf("peak-kib %lld\nstatus %d\n", static_cast<long long>(peakResidentKiB()), int(ending));
    return ending == Ymodem::StatusFinish ? 0 : 1;
}

MemoryResult measureSender(const QString &program, const QString &file)
{
    MemoryResult result;
    QTemporaryDir work;
    const QString target = work.filePath("in");
    QDir().mkpath(target);

    // The line stays in this process: it keeps a copy of every byte it
    // carries, which must not count against the sender.
    TestLine line;
    const QString port = line.addPty();
    if (port.isEmpty() || !line.addProcess({"rb", "--ymodem"}, target, work.filePath("rb.log"))) {
        result.problem = "line set-up failed";
        return result;
    }
    line.start();

    QElapsedTimer clock;
    clock.start();
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(program, {"--send-only", file, "--port", port});
    const bool exited = child.waitForFinished(30 * 60 * 1000);
    result.totalMs = clock.elapsed();
    for (const QByteArray &l : child.readAllStandardOutput().split('\n')) {
        if (l.startsWith("peak-kib "))
            result.peakKiB = l.mid(9).toLongLong();
    }

    if (!exited)
        result.problem = "sender did not end";
    else if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        result.problem = QString("sender ended with code %1").arg(child.exitCode());
    else if (line.waitForProcess(10000) != 0)
        result.problem = "rb did not finish cleanly";
    else
        result.problem = checkReceived(file, target);
    result.ok = result.problem.isEmpty();
    if (!exited)
        child.kill();
    return result;
}
