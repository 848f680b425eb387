#include "app/AutoUpdateRunner.h"

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
    // The LED commands are the only transmissions once the update has ended.
    connect(window->controllerManager(), &VX420Controller::reqWrite, this, [this] {
        if (ledWrites < ledRequests)
            ++ledWrites;
    });
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

int AutoUpdateRunner::outcomeOf(const QStringList &summaryLines)
{
    for (const QString &line : summaryLines) {
        if (line.contains(QLatin1String("ERROR")) || line.contains(QLatin1String("Error")))
            return Failed;
    }
    return summaryLines.contains(QStringLiteral("Finished.")) ? Finished : -1;
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
    const int result = outcomeOf(window->findChild<QPlainTextEdit *>(QStringLiteral("summaryPane"))
                                     ->toPlainText()
                                     .split(QLatin1Char('\n')));
    if (result < 0)
        return;
    const bool ledSettled =
        ledWrites == ledRequests && !window->controllerManager()->awaitingReply();
    if (ledSettled)
        finish(result);
}

void AutoUpdateRunner::finish(int exitCode)
{
    pollTimer.stop();
    emit finished(exitCode);
}
