#ifndef OUTPUT_H
#define OUTPUT_H

#include "outcome.h"

#include <QHash>
#include <QJsonObject>
#include <QString>

#include <functional>

class UpgradeJob;

// Everything the flasher prints, for a one-shot run and a station alike,
// and what it hands to a board: every event, result and progress step as
// the JSON object --json prints, whatever is printed.
// Events and results go to stdout: one JSON object a line with --json,
// else one text line. Progress is thinned to each 10 % step: JSON events,
// or text lines on stderr; none when quiet or drawn as bars. Errors for
// people go to stderr. It also keeps what the exit code is made of.
class Output
{
public:
    enum class Progress { None, Steps };

    Output(bool json, Progress progress) : json(json), progressMode(progress) {}

    // Every object from now on, also those not printed.
    void setListener(std::function<void(const QJsonObject &)> listener) { listen = std::move(listener); }
    // Where text lines go instead of stdout (a board drawn under them).
    void setPrinter(std::function<void(const QString &)> printer) { print = std::move(printer); }

    // An empty `text` prints nothing in text mode.
    void event(const QJsonObject &object, const QString &text) const;
    // `extra` is added to the JSON event.
    void progress(const UpgradeJob *job, const QJsonObject &extra = {});
    // The job's phase, as a "state" event: preamble, booting or flashing;
    // printed as JSON with the progress, never as text.
    void state(const UpgradeJob *job, const QJsonObject &extra = {}) const;
    // A finished job: its result, `extra` added to the JSON object and
    // `suffix` to the text, then its error, if any, on stderr.
    void result(const UpgradeJob *job, const QString &file, const QJsonObject &extra = {},
                const QString &suffix = {});
    static void complain(const QString &text);

    // The record did not take an attempt: said, and the run fails.
    void recordFailed(const QString &why);
    bool recordBroken() const { return broken; }

    // A final outcome, of which the worst makes the exit code.
    void count(Outcome outcome);
    // Stopped by a signal while a transfer ran: cancelled, whatever else.
    // Otherwise the worst outcome's code, and failed for a lost record line.
    int exitCode(bool cancelled) const;

    static QJsonObject resultObject(const UpgradeJob *job, const QString &file);
    static QString resultText(const UpgradeJob *job);

private:
    const bool json;
    const Progress progressMode;
    std::function<void(const QJsonObject &)> listen;
    std::function<void(const QString &)> print;
    QHash<const UpgradeJob *, int> reportedTenth; // last 10 % step reported per running job
    bool broken = false;
    Outcome worstSoFar = Outcome::Success;
};

#endif // OUTPUT_H
