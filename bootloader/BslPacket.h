#pragma once

#include <QByteArray>
#include <QtGlobal>

// Line-card bootloader opcodes.
constexpr quint8 BSL_FAST_FRAME = 0x03;
constexpr quint8 BSL_RX_DATA_BLOCK = 0x10;
constexpr quint8 BSL_RX_PASSWORD = 0x11;
constexpr quint8 BSL_ERASE_SEGMENT = 0x12;
constexpr quint8 BSL_TOGGLE_INFO_LOCK = 0x13;
constexpr quint8 BSL_MASS_ERASE = 0x15;
constexpr quint8 BSL_CRC_CHECK = 0x16;
constexpr quint8 BSL_TX_DATA_BLOCK = 0x18;
constexpr quint8 BSL_TX_BSL_VERSION = 0x19;
constexpr quint8 BSL_TX_BUFFER_SIZE = 0x1A;
constexpr quint8 BSL_BLANK_CHECK = 0x1C;
constexpr quint8 BSL_GET_PLATFORM_ID = 0x1D;
constexpr quint8 BSL_GET_DEVICE_ID = 0x1E;
constexpr quint8 BSL_CAPACITY_CHECK = 0x1F;
constexpr quint8 BSL_APPLICATION_CHECK = 0x20;
constexpr quint8 BSL_RX_CRYPTO_IV = 0x21;
constexpr quint8 BSL_RX_APP_CODE = 0x22;

// Reply types (byte 3 of a received bootloader packet).
constexpr quint8 BSL_DATA_REPLY = 0x3A;
constexpr quint8 BSL_MESSAGE_REPLY = 0x3B;

// Message code of a reply that is not a message reply.
constexpr quint8 BSL_NOT_A_MESSAGE = 0xEE;

// One command to the line card's bootloader.
class BslPacket
{
public:
    BslPacket() = default;
    BslPacket(quint8 opcode, quint16 address = 0, const QByteArray &data = QByteArray());

    // The opcode, then for opcodes that take one the address as three bytes
    // (least significant first, the third always 0), then the data.
    QByteArray encode() const;

    static bool carriesAddress(quint8 opcode);

    quint8 opcode = 0;
    quint16 address = 0;
    QByteArray data;
};

// One decoded reply of the bootloader.
class BslReply
{
public:
    BslReply() = default;
    // Decodes a received controller packet of the bootloader opcode: byte 3
    // is the reply type, bytes 4 onwards the data. Fewer than 4 bytes give
    // type 0 and no data.
    static BslReply fromPacket(const QByteArray &packet);

    bool isDataReply() const { return type == BSL_DATA_REPLY; }
    bool isMessageReply() const { return type == BSL_MESSAGE_REPLY; }

    // Data byte 0 of a message reply (0 when there is none), otherwise
    // BSL_NOT_A_MESSAGE.
    quint8 messageCode() const;

    // Little-endian values from data byte 0; missing bytes read as 0.
    quint16 value16() const { return readLe16(data, 0); }
    quint32 value32() const { return readLe32(data, 0); }

    // Little-endian reads at `offset`; bytes outside `bytes` read as 0.
    static quint16 readLe16(const QByteArray &bytes, int offset);
    static quint32 readLe32(const QByteArray &bytes, int offset);

    quint8 type = 0;
    QByteArray data;
};
