#include "controller/RawPacketGetter.h"

#include "controller/PacketCodec.h"

#include <QDebug>

bool RawPacketGetter::addFrame(const QByteArray &frame)
{
    if (frame.isEmpty())
        return false;
    const int slotCount = frame.size() - 1;
    bool ok = true;
    if (streams.size() != slotCount) {
        if (!streams.isEmpty()) {
            ok = false;
            if (trace)
                qDebug().noquote() << "ERROR: frame len " << slotCount << " doesn't match existing "
                                   << streams.size() << ":" << PacketCodec::toHex(frame);
        }
        streams.clear();
        for (int i = 0; i < slotCount; ++i)
            streams.append(QByteArray());
    }
    for (int i = 0; i < slotCount; ++i) {
        QByteArray &s = streams[i];
        s.append(frame.at(i));
        if (s.size() >= maxStreamBytes && !PacketCodec::isCompletePacket(s))
            s.clear();
    }
    return ok;
}

QVector<RawPacket> RawPacketGetter::getAllCompletePackets()
{
    if (trace)
        qDebug() << "RawPacketGetter::getAllCompletePackets()";
    QVector<RawPacket> packets;
    for (int i = 0; i < streams.size(); ++i) {
        QByteArray &s = streams[i];
        if (trace)
            qDebug().noquote() << "RawPacketGetter::getCompletePacket i:" << i
                               << "pkt:" << PacketCodec::toHex(s);
        if (!PacketCodec::isCompletePacket(s))
            continue;
        if (trace)
            qDebug().noquote() << "raw packet: " << PacketCodec::toHex(s);
        RawPacket packet;
        packet.trace = trace;
        if (packet.setFromStream(i, s))
            packets.append(packet);
    }
    return packets;
}

void RawPacketGetter::clearStreams()
{
    for (QByteArray &s : streams)
        s.clear();
}
