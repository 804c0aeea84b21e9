#ifndef WORKERLINKS_H
#define WORKERLINKS_H

// Transfer workers wired to a TestLine, the way the worker tests use them.

#include "rawport.h"
#include "testline.h"
#include "workerlog.h"

#include <QFile>

#include <random>

const int Establish = Ymodem::StatusEstablish, Transmit = Ymodem::StatusTransmit, Finish = Ymodem::StatusFinish,
          Abort = Ymodem::StatusAbort, Timeout = Ymodem::StatusTimeout, Error = Ymodem::StatusError;
const QByteArray kCancel(5, '\x18');

inline QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray b(size, Qt::Uninitialized);
    std::mt19937 rng(seed);
    for (char &c : b)
        c = char(rng());
    return b;
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QFile::WriteOnly) && f.write(data) == data.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QFile::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Our sender on end 0, our receiver on end 1.
struct WorkerPair
{
    TestLine line;
    QString txPort = line.addPty();
    QString rxPort = line.addPty();
    YmodemFileTransmit sender;
    YmodemFileReceive receiver;
    WorkerLog sent{&sender, txPort};
    WorkerLog got{&receiver, rxPort};

    explicit WorkerPair(const TestLine::Options &options = TestLine::Options()) : line(options) { line.start(); }

    bool start(const QString &file, const QString &targetDir)
    {
        sender.setFileName(file);
        sender.setPortName(txPort);
        receiver.setFilePath(targetDir);
        receiver.setPortName(rxPort);
        return sender.startTransmit() && receiver.startReceive();
    }
    bool ended() const { return sent.ended() && got.ended(); }
};

// One worker on end 0, a peer scripted by the test on end 1.
template <class Worker>
struct PeerLink
{
    TestLine line;
    QString port = line.addPty();
    QString peerPort = line.addPty();
    RawPort peer{peerPort};
    Worker worker;
    WorkerLog log{&worker, port};

    PeerLink()
    {
        line.start();
        worker.setPortName(port);
    }
};

#endif // WORKERLINKS_H
