#include "ymodemfilereceive.h"
#include "incomingfile.h"

YmodemFileReceive::YmodemFileReceive(QObject *parent)
    : YmodemWorker(parent), file(new IncomingFile), fileSize(0), fileCount(0)
{
}

YmodemFileReceive::~YmodemFileReceive()
{
    delete file;
}

// An empty path means the working directory; "/" alone would put received
// files into the root directory.
void YmodemFileReceive::setFilePath(const QString &path)
{
    filePath = path.isEmpty() ? QString() : path + "/";
}

bool YmodemFileReceive::startReceive()
{
    return startTransfer();
}

void YmodemFileReceive::stopReceive()
{
    stopTransfer();
}

int YmodemFileReceive::getReceiveProgress()
{
    return progress;
}

Ymodem::Status YmodemFileReceive::getReceiveStatus()
{
    return status;
}

void YmodemFileReceive::step()
{
    receive();
}

void YmodemFileReceive::reportStatus(Status status)
{
    emit receiveStatus(status);
}

void YmodemFileReceive::dropFile()
{
    file->discard();
}

Ymodem::Code YmodemFileReceive::callback(Status status, unsigned char *buff, unsigned int *len)
{
    switch (status) {
    case StatusEstablish:
        if (!file->begin(filePath, buff))
            return fail(StatusError, file->errorString());
        fileName = file->name();
        fileSize = file->size();
        fileCount = 0;
        this->status = StatusEstablish;
        emit receiveStatus(StatusEstablish);
        return CodeAck;

    case StatusTransmit:
        // A write the disk did not take ends the transfer: the file would
        // be short while success is shown.
        if (!file->store(buff, *len))
            return fail(StatusError, file->errorString());
        fileCount = file->stored();
        bytesDone = qint64(fileCount);
        this->status = StatusTransmit;
        progress = file->percent();
        emit receiveProgress(progress);
        emit receiveStatus(StatusTransmit);
        return CodeAck;

    case StatusFinish:
        if (file->finish())
            endTransfer(StatusFinish);
        else
            endTransfer(StatusError, file->errorString());
        return CodeAck;

    case StatusAbort:
        return fail(StatusAbort, "the sender cancelled");

    case StatusTimeout:
        return fail(StatusTimeout, "the sender never sent a file");

    default:
        return fail(StatusError, "the transfer failed (line errors, silence or a refusal)");
    }
}

Ymodem::Code YmodemFileReceive::fail(Status ending, const QString &why)
{
    file->discard();
    endTransfer(ending, why);
    return CodeCan;
}
