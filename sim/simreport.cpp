#include "simreport.h"

#include <QList>

#include <cstdio>

namespace SimReport {

QString port(const QString &path)
{
    return "port " + path;
}

QString dir(const QString &path)
{
    return "dir " + path;
}

// Joined, not formatted with arg(): a name or an AT line holding "%1"
// would take the next field's place.
QString line(const QByteArray &text, int baud)
{
    return "line " + QString::fromLatin1(text) + ' ' + QString::number(baud);
}

QString restarting(int ms)
{
    return QString("restarting %1").arg(ms);
}

QString bootLoaderReady()
{
    return "boot loader ready";
}

QString receiving(const QString &name, qint64 size)
{
    return "receiving " + name + ' ' + QString::number(size);
}

QString stored(const QString &name, qint64 size, const QByteArray &sha256Hex, double seconds)
{
    return "stored " + name + ' ' + QString::number(size) + ' ' + QString::fromLatin1(sha256Hex) + ' '
           + QString::number(seconds, 'f', 3);
}

QString ended(const QString &outcome, const QString &name, qint64 bytes)
{
    return "ended " + outcome + ' ' + (name.isEmpty() ? QString("-") : name) + ' ' + QString::number(bytes);
}

void say(const QString &lines)
{
    std::fputs(qPrintable(lines + '\n'), stdout);
    std::fflush(stdout);
}

namespace {

// Splits `rest` at its last `count` spaces: the head, which may hold spaces,
// then `count` fields. False if there are fewer spaces.
bool splitTail(const QByteArray &rest, int count, QByteArray *head, QList<QByteArray> *fields)
{
    int end = rest.size();
    for (int i = 0; i < count; ++i) {
        const int space = end > 0 ? rest.lastIndexOf(' ', end - 1) : -1;
        if (space < 0)
            return false;
        fields->prepend(rest.mid(space + 1, end - space - 1));
        end = space;
    }
    *head = rest.left(end);
    return true;
}

} // namespace

Report parse(const QByteArray &text)
{
    const QByteArray whole = text.endsWith('\n') ? text.chopped(1) : text;
    const int space = whole.indexOf(' ');
    const QByteArray word = whole.left(space), rest = space < 0 ? QByteArray() : whole.mid(space + 1);
    Report r;
    QByteArray head;
    QList<QByteArray> fields;
    bool ok = true;
    if (whole == "boot loader ready") {
        r.kind = Kind::BootLoaderReady;
    } else if (space < 0) {
        return r;
    } else if (word == "port" || word == "dir") {
        r.kind = word == "port" ? Kind::Port : Kind::Dir;
        r.path = QString::fromLocal8Bit(rest);
    } else if (word == "line" && splitTail(rest, 1, &head, &fields)) {
        r.kind = Kind::Line;
        r.text = QString::fromLatin1(head);
        r.baud = fields[0].toInt(&ok);
    } else if (word == "restarting") {
        r.kind = Kind::Restarting;
        r.ms = rest.toInt(&ok);
    } else if (word == "receiving" && splitTail(rest, 1, &head, &fields)) {
        r.kind = Kind::Receiving;
        r.name = QString::fromLocal8Bit(head);
        r.size = fields[0].toLongLong(&ok);
    } else if (word == "stored" && splitTail(rest, 3, &head, &fields)) {
        r.kind = Kind::Stored;
        r.name = QString::fromLocal8Bit(head);
        bool sizeOk = false;
        r.size = fields[0].toLongLong(&sizeOk);
        r.sha256 = fields[1];
        r.seconds = fields[2].toDouble(&ok);
        ok = ok && sizeOk;
    } else if (word == "ended" && splitTail(rest, 1, &head, &fields) && head.contains(' ')) {
        r.kind = Kind::Ended;
        r.outcome = QString::fromLatin1(head.left(head.indexOf(' ')));
        r.name = QString::fromLocal8Bit(head.mid(head.indexOf(' ') + 1));
        r.bytes = fields[0].toLongLong(&ok);
    }
    return ok ? r : Report();
}

} // namespace SimReport
