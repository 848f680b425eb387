#pragma once

#include "emulator/EmulatedD2xx.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// The options of linecard-updater-emulated: the cards attached to the
// emulated controller, its timing, faults and capture, and the automatic run.
struct EmulatorOptions
{
    enum class Reflash { None, Ok, Fail };

    struct Fault
    {
        QString kind;      // no-device, open-fails, drop, corrupt, ...
        int number = 0;    // K, or the page P
        int times = -1;    // refuse-page M; -1: every time
        int ms = 0;        // slow, slow-from: how long the answer takes
        QByteArray bytes;  // device-id; stray, stray-after: the packet body
    };

    QList<EmulatedCardIdentity> cards;
    EmulatedD2xx::Timing timing = EmulatedD2xx::Timing::Wire;
    QString captureFile;
    Reflash reflash = Reflash::None;
    QList<Fault> faults;
    bool autoRun = false;
    int timeoutSeconds = 600;

    static EmulatedCardIdentity defaultCard();
    // One --fault SPEC; false when it does not read.
    static bool parseFault(const QString &spec, Fault *fault);
    // Gives the emulator and its cards the fault.
    static void applyFault(EmulatedD2xx &emulator, const Fault &fault);

    // Reads the program's arguments (the first is the program name). On a bad
    // option returns false and says why in *error. --help sets *helpText.
    bool parse(const QStringList &arguments, QString *error, QString *helpText = nullptr);
    // An emulator set up as the options say; null with *error when the
    // capture file cannot be written.
    std::shared_ptr<EmulatedD2xx> makeEmulator(QString *error) const;
};
