#ifndef TERMINALBOARD_H
#define TERMINALBOARD_H

#include <QObject>
#include <QString>

#include <functional>

class Board;
QT_BEGIN_NAMESPACE
class QJsonObject;
class QTimer;
QT_END_NAMESPACE

// The station's board on its terminal: a line per tile and the summary
// under them, redrawn in place, with result lines scrolling above.
class TerminalBoard : public QObject
{
    Q_OBJECT

public:
    TerminalBoard(const Board &board, std::function<QJsonObject()> tally, QObject *parent = nullptr);
    ~TerminalBoard() override;

    // A line above the board.
    void print(const QString &line);
    // Draws it once more, for good, and lets the terminal go.
    void finish();

    static QString line(const QString &slot, const QString &state, int percent, const QString &unit, int attempt,
                        qint64 seconds, int width);

private:
    void draw();
    void erase();

    const Board &board;
    const std::function<QJsonObject()> tally;
    QTimer *tick;
    int drawn = 0;
};

#endif // TERMINALBOARD_H
