#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <cstdio>

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
    // Shows what the update is doing on stream while it runs: one line
    // rewritten in place (a terminal), or a line for each stage.
    void setProgressOutput(std::FILE *stream, bool inPlace);
    // The summary pane, then the "Results" pane.
    QString report() const;
    // What summary lines say of an update: Finished, Failed, or -1 while it runs.
    static int outcomeOf(const QStringList &summaryLines);

signals:
    void finished(int exitCode);

private:
    void poll();
    void finish(int exitCode);
    void showProgress(const QString &text);
    QString stage() const;
    QStringList summaryLines() const;

    LineCardUpdaterWindow *window;
    QTimer pollTimer;
    QElapsedTimer clock;
    qint64 timeoutMs;
    bool updateClicked = false;
    int ledRequests = 0;
    int ledWrites = 0;
    std::FILE *progress = nullptr;
    bool progressInPlace = false;
    QString shownProgress;
    int pagesDone = 0;
    int pagesTotal = 0;
};
