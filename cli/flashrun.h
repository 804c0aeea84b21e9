#ifndef FLASHRUN_H
#define FLASHRUN_H

#include "output.h"

#include <QObject>
#include <QVector>

#include <memory>

struct Request;
class Board;
class ProgressBars;
class Record;
class UpgradeJob;

// A one-shot run: every port of the request is upgraded at once, each with
// the image hashed before any port was touched, and each attempt recorded.
// finished() carries the exit code once every port has ended.
class FlashRun : public QObject
{
    Q_OBJECT

public:
    FlashRun(const Request &request, Record *record, QObject *parent = nullptr);
    ~FlashRun() override;

    // Serves the board with --http; false, with *error, when it cannot.
    bool showBoards(QString *error);
    void start();
    // Cancels every port; later calls change nothing.
    void stop();

signals:
    void finished(int exitCode);

private:
    void jobEnded();

    const Request &request;
    Record *const record;
    Output output;
    QVector<UpgradeJob *> jobs;
    ProgressBars *bars = nullptr;
    std::unique_ptr<Board> board;
    int running = 0;
    bool interrupted = false;
};

#endif // FLASHRUN_H
