#include "bootloader/BslPacket.h"

namespace {

quint8 byteAt(const QByteArray &bytes, qint64 index)
{
    if (index < 0 || index >= bytes.size())
        return 0;
    return quint8(bytes.at(int(index)));
}

} // namespace

BslPacket::BslPacket(quint8 opcode, quint16 address, const QByteArray &data)
    : opcode(opcode), address(address), data(data)
{ }

bool BslPacket::carriesAddress(quint8 opcode)
{
    switch (opcode) {
    case BSL_RX_DATA_BLOCK:
    case BSL_ERASE_SEGMENT:
    case BSL_CRC_CHECK:
    case 0x17: // takes an address but is never sent
    case BSL_TX_DATA_BLOCK:
    case BSL_BLANK_CHECK:
    case BSL_CAPACITY_CHECK:
    case BSL_RX_CRYPTO_IV:
    case BSL_RX_APP_CODE:
        return true;
    default:
        return false;
    }
}

QByteArray BslPacket::encode() const
{
    QByteArray bytes;
    bytes.reserve(4 + data.size());
    bytes.append(char(opcode));
    if (carriesAddress(opcode)) {
        bytes.append(char(address & 0xFF));
        bytes.append(char(address >> 8));
        bytes.append('\0');
    }
    bytes.append(data);
    return bytes;
}

BslReply BslReply::fromPacket(const QByteArray &packet)
{
    BslReply reply;
    if (packet.size() >= 4) {
        reply.type = quint8(packet.at(3));
        reply.data = packet.mid(4);
    }
    return reply;
}

quint8 BslReply::messageCode() const
{
    if (!isMessageReply())
        return BSL_NOT_A_MESSAGE;
    return byteAt(data, 0);
}

quint16 BslReply::readLe16(const QByteArray &bytes, int offset)
{
    return quint16(byteAt(bytes, offset) | (byteAt(bytes, qint64(offset) + 1) << 8));
}

quint32 BslReply::readLe32(const QByteArray &bytes, int offset)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | byteAt(bytes, qint64(offset) + i);
    return value;
}
