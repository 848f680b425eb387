#pragma once

#include "emulator/EmulatedLineCard.h"

#include <QRecursiveMutex>
#include <QtGlobal>

// One card of an emulated controller, reached with its chip's (recursive)
// lock held for as long as this object lives, so that a test changes or
// reads the card whole while the I/O thread works the chip:
//
//     emu->card(0)->dropReplyTo(12);
//     QCOMPARE(emu->card(0)->bootloader().infoSegment(), before);
class EmulatedCardAccess
{
public:
    EmulatedCardAccess(QRecursiveMutex *mutex, EmulatedLineCard *card, int slot)
        : mutex(mutex), target(card), slot(slot)
    {
        mutex->lock();
    }
    ~EmulatedCardAccess() { mutex->unlock(); }
    EmulatedCardAccess(const EmulatedCardAccess &) = delete;
    EmulatedCardAccess &operator=(const EmulatedCardAccess &) = delete;

    // Whether the slot has a card.
    explicit operator bool() const { return target != nullptr; }
    EmulatedLineCard *operator->() const { return &operator*(); }
    EmulatedLineCard &operator*() const
    {
        if (!target)
            qFatal("no emulated card in slot %d", slot);
        return *target;
    }

private:
    QRecursiveMutex *mutex;
    EmulatedLineCard *target;
    int slot;
};
