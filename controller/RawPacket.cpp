#include "controller/RawPacket.h"

#include "controller/PacketCodec.h"

bool RawPacket::setFromStream(int cardSlot, QByteArray &stream)
{
    const bool intact = PacketCodec::fletcher16(stream) == 0;
    if (intact) {
        raw = stream;
        rawLength = raw.size();
        local = toLocalFormat(raw);
        card = cardSlot;
    }
    stream.clear();
    return intact;
}

QByteArray RawPacket::toLocalFormat(const QByteArray &raw)
{
    // Trailer: code byte, 0x00 marker, two check bytes; the code byte stays
    // with the body for the decoder.
    if (raw.size() < 4)
        return {};
    return PacketCodec::decodePacketBody(raw.left(raw.size() - 3));
}
