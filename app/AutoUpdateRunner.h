#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

class LineCardUpdaterWindow;

// Runs one update as a user would: "Connect to controller", then "Update
// card" as soon as it can be clicked, until the summary pane says
// "Finished." or shows an error, and the LED command that follows has been
// answered or has timed out.
class AutoUpdateRunner : public QObject
{
    Q_OBJECT

public:
    enum ExitCode { Finished = 0, Failed = 1, TimedOut = 2 };

    AutoUpdateRunner(LineCardUpdaterWindow *window, int timeoutSeconds);

    void start();
    // The summary pane, then the "Results" pane.
    QString report() const;
    // What summary lines say of an update: Finished, Failed, or -1 while it runs.
    static int outcomeOf(const QStringList &summaryLines);

signals:
    void finished(int exitCode);

private:
    void poll();
    void finish(int exitCode);

    LineCardUpdaterWindow *window;
    QTimer pollTimer;
    QElapsedTimer clock;
    qint64 timeoutMs;
    bool updateClicked = false;
    int ledRequests = 0;
    int ledWrites = 0;
};
