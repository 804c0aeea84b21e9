#include "incomingfile.h"
#include "blockzero.h"

bool IncomingFile::begin(const QString &folder, const unsigned char *blockZero)
{
    const BlockZero zero(blockZero);
    fileName = zero.name;
    fileSize = zero.size;
    announced = zero.sizeKnown;
    count = 0;
    failure.clear();
    // A link, a FIFO or a folder under that name is refused too: the sender
    // chooses the name, and a link would let it write outside the folder.
    if (fileName.isEmpty()) {
        failure = "block 0 names no usable file";
        return false;
    }
    if (!file.open(folder, fileName)) {
        failure = QString("%1 cannot be stored in the target folder").arg(fileName);
        return false;
    }
    return true;
}

bool IncomingFile::store(const unsigned char *block, unsigned int len)
{
    const quint64 wanted = announced ? qMin<quint64>(fileSize - count, len) : len;
    if (wanted > 0 && !file.write(block, qint64(wanted))) {
        file.discard();
        failure = QString("the disk did not take %1").arg(fileName);
        return false;
    }
    count += wanted;
    return true;
}

// Line noise can end a batch early: only the announced size is a file.
bool IncomingFile::finish()
{
    if (announced && count != fileSize) {
        file.discard();
        failure = QString("the transfer ended after %1 of %2 bytes").arg(count).arg(fileSize);
        return false;
    }
    if (!file.keep()) {
        failure = QString("%1 could not be kept on disk").arg(fileName);
        return false;
    }
    return true;
}

int IncomingFile::percent() const
{
    if (!announced)
        return 0;
    return fileSize == 0 ? 100 : int(count * 100 / fileSize);
}
