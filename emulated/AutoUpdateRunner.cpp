#include "emulated/AutoUpdateRunner.h"

#include "app/LineCardUpdaterWindow.h"
#include "controller/VX420Controller.h"

#include <QPlainTextEdit>
#include <QPushButton>

AutoUpdateRunner::AutoUpdateRunner(LineCardUpdaterWindow *window, int timeoutSeconds)
    : window(window), timeoutMs(qint64(timeoutSeconds) * 1000)
{
    pollTimer.setInterval(20);
    connect(&pollTimer, &QTimer::timeout, this, &AutoUpdateRunner::poll);
    connect(window, &LineCardUpdaterWindow::reqLedGreen, this, [this] { ++ledRequests; });
    connect(window, &LineCardUpdaterWindow::reqLedRed, this, [this] { ++ledRequests; });
    connect(window->controllerManager(), &VX420Controller::notifyInstallProgress, this,
            [this](int done, int total) {
                notePages(done, total);
                showProgress(stage());
            });
    // Every stage the summary reaches is shown, however quickly the next
    // one follows; after the verdict, nothing (the report carries it).
    connect(window->findChild<QPlainTextEdit *>(QStringLiteral("summaryPane")),
            &QPlainTextEdit::textChanged, this, [this] {
                if (clock.isValid() && outcomeOf(summaryLines()) < 0)
                    showProgress(stage());
            });
    // The LED commands are the only transmissions once the update has ended.
    connect(window->controllerManager(), &VX420Controller::reqWrite, this, [this] {
        if (ledWrites < ledRequests)
            ++ledWrites;
    });
}

void AutoUpdateRunner::setProgressOutput(std::FILE *stream, bool inPlace)
{
    progress = stream;
    progressInPlace = inPlace;
}

QString AutoUpdateRunner::paneText(const char *name) const
{
    return window->findChild<QPlainTextEdit *>(QString::fromLatin1(name))->toPlainText();
}

QStringList AutoUpdateRunner::summaryLines() const
{
    return paneText("summaryPane").split(QLatin1Char('\n'));
}

void AutoUpdateRunner::notePages(int done, int total)
{
    // A new attempt starts from page 0: its pace is measured anew.
    if (done < pagesDone || paceStartMs < 0) {
        pacePages = done;
        paceStartMs = clock.elapsed();
    }
    pagesDone = done;
    pagesTotal = total;
    // Plain lines only every sixteenth page, and the last.
    if (!progressInPlace && done % 16 != 0 && done != total)
        return;
    installText = installLine(done, total, done - pacePages, clock.elapsed() - paceStartMs);
}

QString AutoUpdateRunner::installLine(int done, int total, int paced, qint64 spentMs)
{
    if (done <= 0 || total <= 0)
        return QString();
    QString text = QStringLiteral("Installing the firmware: %1% (page %2/%3)")
                       .arg(done * 100 / total)
                       .arg(done)
                       .arg(total);
    if (paced >= 2 && spentMs > 0) {
        const qint64 leftS = (spentMs * (total - done) / paced + 500) / 1000;
        if (leftS >= 60)
            text += QStringLiteral(", about %1 left").arg(duration(leftS * 1000));
        else if (leftS >= 1)
            text += QStringLiteral(", about %1 s left").arg(leftS);
    }
    return text;
}

QString AutoUpdateRunner::duration(qint64 ms)
{
    if (ms < 60000)
        return QString::asprintf("%.1f s", double(ms) / 1000.0);
    const qint64 seconds = (ms + 500) / 1000;
    return QString::asprintf("%lld min %02lld s", seconds / 60, seconds % 60);
}

QString AutoUpdateRunner::stage() const
{
    if (!updateClicked)
        return QStringLiteral("Connecting to the controller");
    const QStringList summary = summaryLines();
    if (summary.contains(QStringLiteral("Updating bootloader")))
        return QStringLiteral("Updating the card's bootloader");
    if (summary.contains(QStringLiteral("New firmware installed OK")))
        return QStringLiteral("Checking the card's bootloader");
    if (summary.contains(QStringLiteral("Loading firmware - please wait")))
        return installText.isEmpty() ? QStringLiteral("Installing the firmware") : installText;
    return QStringLiteral("Identifying the line card");
}

void AutoUpdateRunner::showProgress(const QString &text)
{
    if (!progress || text == shownProgress)
        return;
    shownProgress = text;
    if (progressInPlace)
        std::fprintf(progress, "\r%s\033[K", qPrintable(text));
    else
        std::fprintf(progress, "%s\n", qPrintable(text));
    std::fflush(progress);
}

void AutoUpdateRunner::start()
{
    clock.start();
    pollTimer.start();
    window->findChild<QPushButton *>(QStringLiteral("connectButton"))->click();
}

QString AutoUpdateRunner::report() const
{
    const QString results = paneText("resultsPane");
    QString text = QStringLiteral("== Results ==\n");
    if (!results.isEmpty())
        text += results + QLatin1Char('\n');
    text += QStringLiteral("\n== Summary ==\n");
    QStringList summary = summaryLines();
    const QString verdict = LineCardUpdaterWindow::verdictOf(summary);
    if (verdictMs >= 0 && outcomeOf(summary) >= 0) {
        for (int i = summary.size() - 1; i >= 0; --i) {
            if (summary.at(i) == verdict) {
                summary[i] += QStringLiteral("  (%1)").arg(duration(verdictMs));
                break;
            }
        }
    }
    if (!paneText("summaryPane").isEmpty())
        text += summary.join(QLatin1Char('\n')) + QLatin1Char('\n');
    if (verdictMs < 0)
        text += QStringLiteral("No result within %1\n").arg(duration(timeoutMs));
    return text;
}

int AutoUpdateRunner::outcomeOf(const QStringList &lines)
{
    for (const QString &line : lines) {
        if (line.contains(QLatin1String("ERROR")) || line.contains(QLatin1String("Error")))
            return Failed;
    }
    return lines.contains(QStringLiteral("Finished.")) ? Finished : -1;
}

void AutoUpdateRunner::poll()
{
    if (clock.elapsed() >= timeoutMs) {
        finish(TimedOut);
        return;
    }
    auto *update = window->findChild<QPushButton *>(QStringLiteral("updateButton"));
    if (!updateClicked && update->isEnabled()) {
        updateClicked = true;
        update->click();
        return;
    }
    const QStringList summary = summaryLines();
    const int result = outcomeOf(summary);
    if (result < 0) {
        showProgress(stage());
        return;
    }
    if (verdictMs < 0)
        verdictMs = clock.elapsed();
    const bool ledSettled = ledWrites == ledRequests
                            && !window->controllerManager()->awaitingReply();
    if (ledSettled)
        finish(result);
}

void AutoUpdateRunner::finish(int exitCode)
{
    pollTimer.stop();
    // The verdict is the report's: a terminal's progress line goes.
    if (progress && progressInPlace) {
        std::fputs("\r\033[K", progress);
        std::fflush(progress);
    }
    emit finished(exitCode);
}
