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
                pagesDone = done;
                pagesTotal = total;
                showProgress(stage());
            });
    // Every stage the summary reaches is shown, however quickly the next
    // one follows.
    connect(window->findChild<QPlainTextEdit *>(QStringLiteral("summaryPane")),
            &QPlainTextEdit::textChanged, this, [this] { showProgress(stage()); });
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

QStringList AutoUpdateRunner::summaryLines() const
{
    return window->findChild<QPlainTextEdit *>(QStringLiteral("summaryPane"))
        ->toPlainText()
        .split(QLatin1Char('\n'));
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
    if (summary.contains(QStringLiteral("Loading firmware - please wait"))) {
        // Plain lines only every sixteenth page, and the last.
        const int shown = progressInPlace || pagesDone == pagesTotal ? pagesDone : pagesDone / 16 * 16;
        if (shown == 0)
            return QStringLiteral("Installing the firmware");
        return QStringLiteral("Installing the firmware: page %1/%2").arg(shown).arg(pagesTotal);
    }
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
    return window->findChild<QPlainTextEdit *>(QStringLiteral("summaryPane"))->toPlainText()
        + QLatin1Char('\n')
        + window->findChild<QPlainTextEdit *>(QStringLiteral("resultsPane"))->toPlainText()
        + QLatin1Char('\n');
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
    const bool ledSettled =
        ledWrites == ledRequests && !window->controllerManager()->awaitingReply();
    if (ledSettled)
        finish(result);
}

void AutoUpdateRunner::finish(int exitCode)
{
    pollTimer.stop();
    if (progress) {
        showProgress(exitCode == TimedOut ? QStringLiteral("No result in time")
                                          : summaryLines().last());
        if (progressInPlace)
            std::fputc('\n', progress);
        std::fflush(progress);
    }
    emit finished(exitCode);
}
