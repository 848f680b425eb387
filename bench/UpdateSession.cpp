#include "bench/UpdateSession.h"

#include "emulated/AutoUpdateRunner.h"
#include "app/LineCardUpdaterWindow.h"
#include "controller/Opcodes.h"
#include "controller/VX420Controller.h"

#include <QEventLoop>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

UpdateSession::UpdateSession(EmulatedD2xx::Timing timing,
                             const std::function<void(EmulatedD2xx &)> &setup)
    : emu(std::make_shared<EmulatedD2xx>(timing))
{
    emu->addCard();
    if (setup)
        setup(*emu);
    updaterWindow = std::make_unique<LineCardUpdaterWindow>(nullptr, emu);
    connectButton = updaterWindow->findChild<QPushButton *>(QStringLiteral("connectButton"));
    updateButton = updaterWindow->findChild<QPushButton *>(QStringLiteral("updateButton"));
    summaryPane = updaterWindow->findChild<QPlainTextEdit *>(QStringLiteral("summaryPane"));
}

UpdateSession::~UpdateSession() = default;

bool UpdateSession::waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0)
            return false;
        QEventLoop loop;
        QTimer::singleShot(int(std::min<qint64>(left, 5)), &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void UpdateSession::runEventsFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool UpdateSession::connectController(int timeoutMs)
{
    connectButton->click();
    return waitUntil([this] { return updateButton->isEnabled(); }, timeoutMs);
}

UpdateSession::Outcome UpdateSession::runUpdate(int timeoutMs)
{
    // The panes keep the lines of earlier updates; only the text written
    // since the click counts. (A line count would not do: an empty pane
    // already counts one block, which its first line then fills.)
    const int charsBefore = summaryPane->toPlainText().size();
    int outcome = -1;
    QEventLoop loop;
    QElapsedTimer clock;
    const auto check = [&] {
        if (outcome >= 0)
            return;
        const QString added = summaryPane->toPlainText().mid(charsBefore);
        outcome = AutoUpdateRunner::outcomeOf(added.split(QLatin1Char('\n')));
        if (outcome >= 0) {
            elapsedNs = clock.nsecsElapsed();
            endEmuUs = emu->nowUs();
            loop.quit();
        }
    };
    const QMetaObject::Connection watch = connect(summaryPane, &QPlainTextEdit::textChanged, &loop,
                                                  check);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);

    ledCommandsBefore = ledCommands();
    startEmuUs = emu->nowUs();
    clock.start();
    updateButton->click();
    loop.exec();
    disconnect(watch);

    if (outcome < 0) {
        elapsedNs = clock.nsecsElapsed();
        endEmuUs = emu->nowUs();
        return Outcome::TimedOut;
    }
    return outcome == AutoUpdateRunner::Finished ? Outcome::Finished : Outcome::Failed;
}

int UpdateSession::ledCommands() const
{
    return emu->card(0)->commandsReceived(OPCODE_LED_GREEN)
           + emu->card(0)->commandsReceived(OPCODE_LED_RED);
}

bool UpdateSession::waitUntilQuiet(int timeoutMs)
{
    return waitUntil(
        [this] {
            return ledCommands() > ledCommandsBefore
                   && !updaterWindow->controllerManager()->awaitingReply();
        },
        timeoutMs);
}
