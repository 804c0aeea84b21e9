#ifndef BLOCKZERO_H
#define BLOCKZERO_H

// YMODEM block 0 as a receiver reads it: name, 0x00, size field, 0x00, in
// 128 bytes. Shared by the receive worker and the device simulator.

#include <QByteArray>
#include <QString>

struct BlockZero
{
    explicit BlockZero(const unsigned char *block)
    {
        const QByteArray rawName = field(block, 0);
        const QByteArray sizeField = rawName.size() < 128 ? field(block, rawName.size() + 1) : QByteArray();
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
        while (end < 128 && block[end] != 0x00)
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
