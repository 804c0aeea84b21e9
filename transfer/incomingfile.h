#ifndef INCOMINGFILE_H
#define INCOMINGFILE_H

#include "receivedfile.h"

#include <QString>

// What a YMODEM receiver does with a file: block 0 names it and may give
// its size, data blocks are kept up to that size (the fill bytes of the
// last block never), and the file is kept only whole. The receive worker
// and the device simulator store through this, so both keep the same bytes.
class IncomingFile
{
public:
    // Block 0 as the engine delivers it (128 bytes). False when the name is
    // refused or nothing can be made under it; then nothing is started.
    bool begin(const QString &folder, const unsigned char *blockZero);
    // The part of a data block that belongs to the file; false when the disk
    // did not take it, and then nothing is left of the file.
    bool store(const unsigned char *block, unsigned int len);
    // Named, on disk, when every announced byte arrived; otherwise discarded.
    bool finish();
    void discard() { file.discard(); }

    QString name() const { return fileName; }
    quint64 size() const { return fileSize; }
    bool sizeKnown() const { return announced; }
    quint64 stored() const { return count; }
    // Share of the announced size stored; 0 without a size until the end.
    int percent() const;
    // Why the last step failed, in words for a user.
    QString errorString() const { return failure; }

private:
    ReceivedFile file;
    QString fileName;
    quint64 fileSize = 0;
    bool announced = false;
    quint64 count = 0;
    QString failure;
};

#endif // INCOMINGFILE_H
