#pragma once

#include "usb/D2xxTypes.h"

#include <QtGlobal>

// Types the emulated chips, controller and cards share; they depend on
// nothing of the emulator above them.

// Identity an emulated LQ770 line card reports in its information reply.
struct EmulatedCardIdentity
{
    quint8 blockManufacturer = 0;
    quint8 blockType = 0;
    quint8 pairByte = 10;
    quint8 productId = 0x21;
    quint8 platformId = 0x04;
    quint8 infoBytes[4] = {0x01, 0x02, 0x03, 0x04};
    quint32 serialNumber = 770001;
    quint32 secondWord = 0;
};

// A fault on the line in one of the frames that carry a card's answer: one
// byte changed, lost, or a spurious one inserted.
enum class LineFault { Flip, Lose, Extra };

// The line settings and pins the chip currently has; the defaults are its
// power-up state: 9600 baud, 8 data bits, 1 stop bit, no parity, CBUS pins
// inputs.
struct EmulatedLineState
{
    quint32 baudRate = 9600;
    quint8 wordLength = FT_BITS_8;
    quint8 stopBits = 0;
    quint8 parity = 0;
    quint16 flowControl = 0;
    quint8 xonChar = 0, xoffChar = 0;
    quint8 eventChar = 0, eventCharEnabled = 0, errorChar = 0, errorCharEnabled = 0;
    quint32 readTimeout = 0, writeTimeout = 0;
    bool rts = false;
    bool breakOn = false;
    quint8 bitMode = 0;        // last mode given to FT_SetBitMode
    quint8 cbusOutputs = 0;    // CBUS3..0 output enables (high nibble of the mask)
    quint8 cbusLevels = 0;     // levels driven on the outputs (low nibble of the mask)
    bool lineCardPath = false; // CBUS1 and CBUS0 driven low in CBUS bit-bang mode

    // A bit mode as the chip takes it: in CBUS bit-bang mode the mask's high
    // nibble enables CBUS3..0 as outputs, its low nibble drives them.
    void setBitMode(quint8 mask, quint8 mode);
};
