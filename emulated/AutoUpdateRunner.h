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
    // rewritten in place and cleared at the end (a terminal), or a line for
    // each stage.
    void setProgressOutput(std::FILE *stream, bool inPlace);
    // The "Results" pane, then the summary pane, each under its heading; the
    // summary's verdict carries the time from the click on "Connect to
    // controller" to it.
    QString report() const;
    // What summary lines say of an update: Finished, Failed, or -1 while it runs.
    static int outcomeOf(const QStringList &summaryLines);
    // "12.3 s", or "2 min 05 s" from a minute on.
    static QString duration(qint64 ms);
    // The stage line while pages go in: done of total, and the time left at
    // the pace of `paced` pages sent in spentMs (from two pages and a second on).
    static QString installLine(int done, int total, int paced, qint64 spentMs);

signals:
    void finished(int exitCode);

private:
    void poll();
    void finish(int exitCode);
    void showProgress(const QString &text);
    QString stage() const;
    QStringList summaryLines() const;
    QString paneText(const char *name) const;
    void notePages(int done, int total);

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
    // The installation's pace: pages and time at the first page of the
    // attempt that runs.
    int pacePages = 0;
    qint64 paceStartMs = -1;
    QString installText;   // the stage line while pages go in
    qint64 verdictMs = -1; // when the summary first stated a result
};
