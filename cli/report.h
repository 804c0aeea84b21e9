#ifndef REPORT_H
#define REPORT_H

#include <QObject>
#include <QVector>

class PortJob;
QT_BEGIN_NAMESPACE
class QJsonObject;
class QTimer;
QT_END_NAMESPACE

// Everything the flasher prints about its jobs. Progress: a bar per port
// redrawn in place on a terminal, a plain line per 10 % otherwise, JSON
// events with --json, nothing when quiet. Results: one line per port.
class Report : public QObject
{
    Q_OBJECT

public:
    enum class Style { Bars, Lines, Json, Quiet };

    // `quiet` drops the JSON progress events too.
    Report(Style style, bool quiet, const QString &file, const QVector<PortJob *> &jobs,
           QObject *parent = nullptr);
    ~Report() override;

    void start();
    void progressed(int index);
    // Final bars, the terminal as it was, then the results and reasons.
    void finish();

private:
    void drawBars();
    QString bar(const PortJob *job) const;

    const Style style;
    const bool quiet;
    const QString file;
    const QVector<PortJob *> jobs;
    QVector<int> reportedTenth; // last 10 % step reported per job
    QTimer *redraw = nullptr;
    bool drawn = false;
    bool cursorHidden = false;
};

// One JSON object as one line on stdout, flushed.
void writeJson(const QJsonObject &object);
// A finished job's result, as the JSON object and as the text line.
QJsonObject resultObject(const PortJob *job, const QString &file);
QString resultText(const PortJob *job);

#endif // REPORT_H
