#ifndef PROGRESSBARS_H
#define PROGRESSBARS_H

#include <QObject>
#include <QVector>

class UpgradeJob;
QT_BEGIN_NAMESPACE
class QTimer;
QT_END_NAMESPACE

// A bar per job on the terminal's stderr, redrawn in place on a clock (not
// per block: sixteen ports stay cheap), with the cursor hidden meanwhile.
class ProgressBars : public QObject
{
    Q_OBJECT

public:
    explicit ProgressBars(const QVector<UpgradeJob *> &jobs, QObject *parent = nullptr);
    ~ProgressBars() override;

    void start();
    // The final bars, and the terminal as it was.
    void finish();

    static QString bar(const UpgradeJob *job);

private:
    void draw();

    const QVector<UpgradeJob *> jobs;
    QTimer *redraw;
    bool drawn = false;
    bool cursorHidden = false;
};

#endif // PROGRESSBARS_H
