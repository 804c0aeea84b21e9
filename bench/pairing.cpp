#include "pairing.h"

#include "testline.h"
#include "ymodemfilereceive.h"
#include "ymodemfiletransmit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

namespace {

// Follows a sender's stream frame by frame to time its first data block
// and its first EOT; frames are whole 128- or 1024-byte blocks.
struct SenderTrace
{
    int scanned = 0;

    void follow(const QByteArray &sent, qint64 nowMs, PairingResult &result)
    {
        while (result.eotMs < 0 && scanned < sent.size()) {
            if (scanned > 0 && result.firstBlockMs < 0)
                result.firstBlockMs = nowMs;
            const char b = sent.at(scanned);
            if (b == '\x04') {
                result.eotMs = nowMs;
                return;
            }
            const int frame = b == '\x01' ? 3 + 128 + 2 : b == '\x02' ? 3 + 1024 + 2 : 1;
            if (scanned + frame > sent.size())
                return;
            scanned += frame;
        }
    }
};

// Generous: three times the paced transfer, plus room for slow starts.
int deadlineMs(qint64 size, int baud)
{
    return baud > 0 ? int(size * 10 * 3000 / baud) + 60000 : 600000;
}

QString tail(const QString &log)
{
    QFile f(log);
    return f.open(QFile::ReadOnly) ? QString::fromLocal8Bit(f.readAll().right(200)).simplified() : QString();
}

} // namespace

QString checkReceived(const QString &source, const QString &folder)
{
    const QString name = QFileInfo(source).fileName();
    const QStringList stored = QDir(folder).entryList(QDir::Files);
    if (stored != QStringList{name})
        return QString("stored [%1]").arg(stored.join(", "));
    QFile a(source), b(QDir(folder).filePath(name));
    if (!a.open(QFile::ReadOnly) || !b.open(QFile::ReadOnly))
        return "cannot read back";
    if (a.size() != b.size())
        return QString("%1 bytes stored of %2").arg(b.size()).arg(a.size());
    while (!a.atEnd()) {
        if (a.read(1 << 16) != b.read(1 << 16))
            return "content differs";
    }
    return QString();
}

PairingResult runPairing(EndProgram sender, EndProgram receiver, const QString &file, int baud, const QString &program)
{
    PairingResult result;
    QTemporaryDir work;
    const QString target = work.filePath("in");
    QDir().mkpath(target);
    const QFileInfo source(file);

    TestLine::Options options;
    options.baud = baud;
    TestLine line(options);
    QElapsedTimer clock;
    clock.start();

    // End 0 sends, end 1 receives. lrzsz gets pipes and starts right here,
    // so its start-up counts as it would for someone running it by hand.
    QString txPort, rxPort;
    bool added = true;
    if (sender == EndProgram::Ours)
        added &= !(txPort = line.addPty()).isEmpty();
    else
        added &= line.addProcess({"sb", "--ymodem", "-k", source.absoluteFilePath()}, source.absolutePath(),
                                 work.filePath("sb.log"));
    if (receiver == EndProgram::Ours)
        added &= !(rxPort = line.addPty()).isEmpty();
    else
        added &= line.addProcess({"rb", "--ymodem"}, target, work.filePath("rb.log"));
    if (!added) {
        result.problem = "line set-up failed";
        return result;
    }
    line.start();

    int oursRunning = 0;
    bool oursFinished = true;
    qint64 lastEndMs = 0;
    auto onStatus = [&](Ymodem::Status s) {
        if (s < Ymodem::StatusFinish)
            return;
        --oursRunning;
        oursFinished &= s == Ymodem::StatusFinish;
        lastEndMs = clock.elapsed();
    };

    // Two of our workers on one thread tick in lock-step, so each ACK would
    // wait a whole extra tick; a PC and a device never share a thread.
    QProcess child;
    const bool senderApart = sender == EndProgram::Ours && receiver == EndProgram::Ours;
    std::unique_ptr<YmodemFileTransmit> tx;
    std::unique_ptr<YmodemFileReceive> rx;
    if (senderApart) {
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(program, {"--send-only", source.absoluteFilePath(), "--port", txPort});
    } else if (sender == EndProgram::Ours) {
        tx.reset(new YmodemFileTransmit);
        QObject::connect(tx.get(), &YmodemFileTransmit::transmitStatus, onStatus);
        tx->setFileName(source.absoluteFilePath());
        tx->setPortName(txPort);
        ++oursRunning;
        if (!tx->startTransmit()) {
            result.problem = "transmitter could not open its port";
            return result;
        }
    }
    if (receiver == EndProgram::Ours) {
        rx.reset(new YmodemFileReceive);
        QObject::connect(rx.get(), &YmodemFileReceive::receiveStatus, onStatus);
        rx->setFilePath(target);
        rx->setPortName(rxPort);
        ++oursRunning;
        if (!rx->startReceive()) {
            result.problem = "receiver could not open its port";
            return result;
        }
    }

    int processesRunning = (sender == EndProgram::Lrzsz) + (receiver == EndProgram::Lrzsz);
    bool processesClean = true;
    SenderTrace trace;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (result.eotMs < 0)
            trace.follow(line.sentBy(0), clock.elapsed(), result);
        if (oursRunning > 0 || (senderApart && child.state() != QProcess::NotRunning))
            return;
        if (senderApart) {
            oursFinished &= child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
            lastEndMs = qMax(lastEndMs, clock.elapsed());
        }
        // Only now: each look at a process that is still running sleeps
        // 10 ms, which would hold up the workers' ticks on this thread.
        while (oursFinished && processesRunning > 0) {
            const int code = line.waitForProcess(0);
            if (code == -1)
                return;
            processesClean &= code == 0;
            --processesRunning;
            lastEndMs = clock.elapsed();
        }
        loop.quit();
    });
    poll.start(10);
    QTimer::singleShot(deadlineMs(source.size(), baud), &loop, &QEventLoop::quit);
    loop.exec();
    poll.stop();
    result.totalMs = lastEndMs;

    if (oursRunning > 0 || (oursFinished && processesRunning > 0))
        result.problem = "no end within the deadline";
    else if (!oursFinished)
        result.problem = "our worker did not finish";
    else if (!processesClean)
        result.problem = "lrzsz exited with an error: " + tail(work.filePath(sender == EndProgram::Lrzsz ? "sb.log" : "rb.log"));
    else
        result.problem = checkReceived(source.absoluteFilePath(), target);
    result.ok = result.problem.isEmpty();
    if (tx && oursRunning > 0)
        tx->stopTransmit();
    if (child.state() != QProcess::NotRunning)
        child.kill();
    if (rx && oursRunning > 0)
        rx->stopReceive();
    return result;
}
