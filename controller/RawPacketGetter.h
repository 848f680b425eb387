#pragma once

#include "controller/RawPacket.h"

#include <QByteArray>
#include <QList>
#include <QVector>

// Deals decoded frames out to one packet stream per card slot and lifts
// complete, checksum-valid packets off those streams.
class RawPacketGetter
{
public:
    // A stream that reaches this many bytes without completing a packet is
    // emptied; real packets are far shorter.
    static constexpr int maxStreamBytes = 1024;

    // False when the frame is empty or its slot count differs from the
    // current one (the streams are then re-created from this frame).
    bool addFrame(const QByteArray &frame);
    // Complete packets in slot order; their streams are emptied.
    QVector<RawPacket> getAllCompletePackets();
    void clearStreams();

    int streamCount() const { return streams.size(); }
    const QByteArray &stream(int slot) const { return streams.at(slot); }

    bool trace = false;

private:
    QList<QByteArray> streams;
};
