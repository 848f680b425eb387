#pragma once

#include "emulator/EmulatedD2xx.h"

#include <QElapsedTimer>
#include <QObject>

#include <functional>
#include <memory>

class LineCardUpdaterWindow;
class QPlainTextEdit;
class QPushButton;

// The window with its controller manager, worker and I/O thread in front of
// an emulated controller with one default card, driven as a technician
// would: "Connect to controller" once, then "Update card" as often as asked.
class UpdateSession : public QObject
{
    Q_OBJECT

public:
    enum class Outcome { Finished, Failed, TimedOut };
    Q_ENUM(Outcome)

    // setup configures the emulator and its card before the window opens.
    explicit UpdateSession(EmulatedD2xx::Timing timing,
                           const std::function<void(EmulatedD2xx &)> &setup = {});
    ~UpdateSession() override;

    EmulatedD2xx &emulator() { return *emu; }
    LineCardUpdaterWindow &window() { return *updaterWindow; }

    // True once "Update card" can be clicked.
    bool connectController(int timeoutMs);
    // Clicks "Update card" and runs until the summary reports the result.
    Outcome runUpdate(int timeoutMs);
    // Of the last runUpdate: from the click to the result line, in real and
    // in emulator time.
    qint64 updateElapsedNs() const { return elapsedNs; }
    qint64 updateStartUs() const { return startEmuUs; }
    qint64 updateEndUs() const { return endEmuUs; }
    // Waits until the card has received the LED command that follows the
    // result of the last update and the manager awaits no reply.
    bool waitUntilQuiet(int timeoutMs);

    // Runs the event loop until the condition holds or the time is up.
    static bool waitUntil(const std::function<bool()> &condition, int timeoutMs);
    static void runEventsFor(int ms);

private:
    int ledCommands() const;

    std::shared_ptr<EmulatedD2xx> emu;
    std::unique_ptr<LineCardUpdaterWindow> updaterWindow;
    QPushButton *connectButton = nullptr;
    QPushButton *updateButton = nullptr;
    QPlainTextEdit *summaryPane = nullptr;
    qint64 elapsedNs = 0;
    qint64 startEmuUs = 0;
    qint64 endEmuUs = 0;
    int ledCommandsBefore = 0;
};
