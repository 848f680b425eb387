#pragma once

#include "emulator/EmulatedD2xx.h"

#include <QList>

// The shortest time the link could have taken for a recorded exchange: each
// transmission's break and characters, then its reply frames one frame
// interval apart (the first one interval after the command, as the
// controller sends them) and the characters of the last one. Characters are
// 11 bit times at 9600 baud. Host pauses and tick latencies are not in it.
struct WireTimeBound
{
    int transmissions = 0;
    int transmittedCharacters = 0; // sync bytes included
    int replyFrames = 0;
    double breakUs = 0;
    double transmitUs = 0;
    double replyUs = 0;

    double totalUs() const { return breakUs + transmitUs + replyUs; }

    static double charactersUs(int characters);
    // From the emulator's call and frame records, for the transmissions
    // written between fromUs and toUs (emulator time).
    static WireTimeBound fromRecord(const QList<EmulatorCall> &calls,
                                    const QList<EmulatorFrame> &frames, qint64 fromUs, qint64 toUs);
};
