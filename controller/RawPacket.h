#pragma once

#include <QByteArray>

// One complete, checksum-valid packet received on one card slot's stream.
class RawPacket
{
public:
    // Takes the packet from `stream` when its Fletcher sum is zero. The
    // stream is emptied either way.
    bool setFromStream(int card, QByteArray &stream);

    // The decoded body of a raw packet: the 4-byte trailer dropped and the
    // zero elimination undone. Raw input shorter than the trailer gives an
    // empty body.
    static QByteArray toLocalFormat(const QByteArray &raw);

    QByteArray local;
    QByteArray raw;
    int card = -1;
    bool trace = false;
    int rawLength = 0;
};
