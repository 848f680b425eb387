#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The firmware a line card of one board is built to run: where it loads, the
// initialisation vector it deciphers with, and its enciphered payload. The
// emulated card's application check passes only over exactly this. Read from
// a firmware image in its text format with a reader of the emulator's own.
struct CardFirmware
{
    quint32 loadAddress = 0;
    QByteArray iv;
    QByteArray payload;

    bool isKnown() const { return !payload.isEmpty(); }

    // The header line "#:CRYPTO_IV=..." gives the vector; "@address" starts
    // the data lines of hex pairs, "q" ends them. Nothing when it does not read.
    static CardFirmware fromText(const QByteArray &text);
    static CardFirmware fromFile(const QString &path);
    // The stand-in image of the board among the program's resources under
    // ":/firmware/"; nothing for a board without one.
    static CardFirmware forBoard(quint8 blockManufacturer, quint8 blockType);
    static QString boardImage(quint8 blockManufacturer, quint8 blockType);
    // The board's name; nothing for a board the emulator does not know.
    static QString boardName(quint8 blockManufacturer, quint8 blockType);
};
