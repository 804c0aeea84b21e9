#include "terminalboard.h"
#include "board.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

QString clock(qint64 seconds)
{
    const qint64 s = qMax<qint64>(seconds, 0);
    return s >= 3600 ? QString("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QChar('0')).arg(s % 60, 2, 10, QChar('0'))
                     : QString("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QChar('0'));
}

int columns()
{
    winsize window {};
    return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col > 1 ? window.ws_col : 80;
}

} // namespace

TerminalBoard::TerminalBoard(const Board &board, std::function<QJsonObject()> tally, QObject *parent)
    : QObject(parent), board(board), tally(std::move(tally)), tick(new QTimer(this))
{
    // Often enough for a state's clock and a bar; nothing to do between.
    connect(tick, &QTimer::timeout, this, &TerminalBoard::draw);
    tick->start(250);
    std::fputs("\033[?25l", stdout);
    draw();
}

TerminalBoard::~TerminalBoard()
{
    std::fputs("\033[?25h", stdout);
    std::fflush(stdout);
}

QString TerminalBoard::line(const QString &slot, const QString &state, int percent, const QString &unit, int attempt,
                            qint64 seconds, int width)
{
    QString what = state;
    if (state == "waiting")
        what = "waiting for a unit";
    else if (state == "booting")
        what = "waiting for the boot loader";
    else if (state == "flashing") {
        constexpr int bar = 16;
        const int filled = percent * bar / 100;
        what = QString("flashing [%1%2] %3%").arg(QString(filled, '#'), QString(bar - filled, '-')).arg(percent, 3);
    }
    QString text = QString("%1 %2 %3").arg(slot.left(20).leftJustified(20), what.leftJustified(36), clock(seconds).rightJustified(7));
    if (!unit.isEmpty())
        text += QString("  %1 #%2").arg(unit, QString::number(attempt));
    // A line that wraps would throw off the count of lines to go back up.
    return text.left(width - 1);
}

void TerminalBoard::erase()
{
    if (drawn > 0)
        std::printf("\033[%dA\r\033[J", drawn);
    drawn = 0;
}

void TerminalBoard::draw()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const int width = columns();
    QByteArray out;
    if (drawn > 0)
        out += "\033[" + QByteArray::number(drawn) + "A\r\033[J";
    int lines = 0;
    for (const Board::Tile &t : board.tiles()) {
        const QString name = QFileInfo(t.port).fileName();
        out += line(name.isEmpty() ? t.port : name, t.state, t.percent, t.unit, t.attempt, (now - t.since) / 1000, width)
                   .toLocal8Bit()
               + '\n';
        ++lines;
    }
    const QJsonObject counts = tally();
    out += QString("units %1 · first pass %2 · after retries %3 · failed %4 · cancelled %5")
               .arg(counts.value("units").toInt()).arg(counts.value("first_pass").toInt())
               .arg(counts.value("after_retries").toInt()).arg(counts.value("failed").toInt())
               .arg(counts.value("cancelled").toInt())
               .left(width - 1).toLocal8Bit()
           + '\n';
    drawn = lines + 1;
    std::fputs(out.constData(), stdout);
    std::fflush(stdout);
}

void TerminalBoard::print(const QString &text)
{
    erase();
    std::printf("%s\n", qPrintable(text));
    draw();
}

void TerminalBoard::finish()
{
    tick->stop();
    draw();
}
