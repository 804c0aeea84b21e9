#ifndef BLOCKZERO_H
#define BLOCKZERO_H

// YMODEM block 0: name, 0x00, size field, 0x00, in 128 bytes. How a
// sender fills it and whether a name fits; how a receiver reads it, for
// the receive worker and the device simulator alike.

#include "ymodem.h"

#include <QByteArray>
#include <QString>

#include <cstring>

struct BlockZero
{
    static constexpr int Size = int(Ymodem::PayloadSizeSoh);

    // Bytes that name and decimal size take with their two 0x00.
    static int length(const QByteArray &name, quint64 size)
    {
        return name.size() + 1 + QByteArray::number(size).size() + 1;
    }

    // Fills a zeroed block; false, leaving it untouched, when the name does
    // not fit: a name cut short would be stored as another file.
    static bool write(const QByteArray &name, quint64 size, unsigned char *block)
    {
        if (length(name, size) > Size)
            return false;
        const QByteArray digits = QByteArray::number(size);
        std::memcpy(block, name.constData(), size_t(name.size()));
        block[name.size()] = 0x00;
        std::memcpy(block + name.size() + 1, digits.constData(), size_t(digits.size()));
        block[name.size() + 1 + digits.size()] = 0x00;
        return true;
    }

    explicit BlockZero(const unsigned char *block)
    {
        const QByteArray rawName = field(block, 0);
        const QByteArray sizeField = rawName.size() < Size ? field(block, rawName.size() + 1) : QByteArray();
        name = safeBaseName(QString::fromLocal8Bit(rawName));
        // Only the part before the first space counts: sb adds a date and a mode.
        size = QString::fromLatin1(sizeField).section(' ', 0, 0).toULongLong(&sizeKnown, 10);
    }

    QString name;           // empty: refuse the file
    quint64 size = 0;
    bool sizeKnown = false; // the size is optional in YMODEM

private:
    // The bytes from offset `from` up to the next 0x00, never past the block.
    static QByteArray field(const unsigned char *block, int from)
    {
        int end = from;
        while (end < Size && block[end] != 0x00)
            ++end;
        return QByteArray(reinterpret_cast<const char *>(block) + from, end - from);
    }

    // The name is untrusted: keep only its last path component, and refuse
    // what would not name a plain file inside the target folder.
    static QString safeBaseName(const QString &name)
    {
        const int cut = qMax(name.lastIndexOf('/'), name.lastIndexOf('\\'));
        const QString base = name.mid(cut + 1);
        if (base.isEmpty() || base == "." || base == "..")
            return QString();
        for (const QChar c : base)
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                return QString();
        return base;
    }
};

#endif // BLOCKZERO_H
