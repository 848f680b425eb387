#include "controller/CommandPacket.h"

#include "controller/PacketCodec.h"

CommandPacket::CommandPacket(quint8 opcode, quint16 argument, quint8 flags)
    : opcode(opcode), flags(flags), argument(argument)
{ }

void CommandPacket::setPayload(const QByteArray &bytes)
{
    payload = bytes;
}

quint8 CommandPacket::lowDigit(quint16 argument)
{
    const quint8 digit = quint8(argument % 255);
    return digit == 0 ? 0xFF : digit;
}

quint8 CommandPacket::highDigit(quint16 argument)
{
    const quint8 digit = quint8(argument / 255);
    return digit == 0 ? 0xFF : digit;
}

QByteArray CommandPacket::build() const
{
    QByteArray body;
    body.reserve(3 + payload.size());
    body.append(char(opcode | flags));
    body.append(char(lowDigit(argument)));
    body.append(char(highDigit(argument)));
    body.append(payload);

    QByteArray wire = PacketCodec::encodePacketBody(body);
    wire.append('\0');
    PacketCodec::appendCheckBytes(wire);
    return wire;
}
