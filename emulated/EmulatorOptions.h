#pragma once

#include "emulator/EmulatedD2xx.h"
#include "emulator/EmulatorFaults.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// The options of linecard-updater-emulated: the cards attached to the
// emulated controller, its timing, faults and capture, and the automatic run.
struct EmulatorOptions
{
    enum class Reflash { None, Ok, Fail };

    QList<EmulatedCardIdentity> cards;
    EmulatedD2xx::Timing timing = EmulatedD2xx::Timing::Wire;
    QString captureFile;
    Reflash reflash = Reflash::None;
    QList<EmulatorFault> faults;
    bool autoRun = false;
    bool showVersion = false;
    int timeoutSeconds = 600;

    static EmulatedCardIdentity defaultCard();

    // Reads the program's arguments (the first is the program name). On a bad
    // option returns false and says why in *error. --help sets *helpText,
    // --version showVersion.
    bool parse(const QStringList &arguments, QString *error, QString *helpText = nullptr);
    // An emulator set up as the options say; null with *error when the
    // capture file cannot be written.
    std::shared_ptr<EmulatedD2xx> makeEmulator(QString *error) const;
};
