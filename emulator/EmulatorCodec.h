#pragma once

#include <QByteArray>
#include <QtGlobal>

// The VX420's side of the wire, written from the protocol's description and
// nothing else: the emulator shares no code with the host it checks, so that
// a fault both sides would share cannot pass unseen.
//
// Frames (controller to host): the slot bytes, zero-eliminated with forward
// links (each code byte gives the distance to the next zero, the terminator
// included), then the terminator 0x00. Packets (both ways): the body,
// zero-eliminated with backward links (each zero replaced by the distance to
// the zero before it, a code byte after the body giving the distance from
// the last zero), then the marker 0x00, then two Fletcher-16 check bytes
// (modulus 255) that bring the packet's sum to zero.
class EmulatorCodec
{
public:
    // Controller opcodes: the low six bits of a body's header byte.
    static constexpr quint8 opcodeMask = 0x3F;
    static constexpr quint8 confused = 0x00;
    static constexpr quint8 bootloader = 0x02;
    static constexpr quint8 frameInterval = 0x03;
    static constexpr quint8 lineCardInfo = 0x04;
    static constexpr quint8 flashVersion = 0x06;
    static constexpr quint8 reflashAction = 0x07;
    static constexpr quint8 listen = 0x11;
    static constexpr quint8 continuity = 0x13;
    static constexpr quint8 ledRed = 0x21;
    static constexpr quint8 ledGreen = 0x22;
    static constexpr quint8 ledYellow = 0x23;
    static constexpr quint8 ledOff = 0x28;
    static constexpr quint8 ledOn = 0x29;
    static constexpr quint8 ledFlashSlow = 0x2A;
    // Header bit 7: the argument names one card (identify).
    static constexpr quint8 namesCard = 0x80;

    // Fletcher-16 with modulus 255: (sum2 << 8) | sum1.
    static quint16 fletcher16(const QByteArray &bytes);
    // The two bytes that bring the sum of bytes + them to zero; never 0x00.
    static QByteArray checkBytes(const QByteArray &bytes);

    // Body to the complete packet: encoded body, code byte, 0x00, check bytes.
    static QByteArray encodePacket(const QByteArray &body);
    // At least five bytes, the third-last 0x00.
    static bool isCompletePacket(const QByteArray &packet);
    // A complete packet's body; its sum is not looked at.
    static QByteArray decodePacket(const QByteArray &packet);

    // Slot bytes to the frame as it goes on the line, terminator included.
    // At most 254 slotBytes.
    static QByteArray encodeFrame(const QByteArray &slotBytes);
    // One frame, up to and including its 0x00, to its slot bytes; false
    // when it is malformed.
    static bool decodeFrame(const QByteArray &frame, QByteArray *slotBytes);

    // A 16-bit argument as its two base-255 digits, low first, a digit of 0
    // sent as 0xFF.
    static QByteArray argumentDigits(quint16 value);
    static quint16 argumentValue(char low, char high);
    // The frame-interval command's argument: digits taken as they are.
    static quint32 rawArgumentValue(char low, char high);

    static quint16 readLe16(const QByteArray &bytes, int at); // missing bytes read as 0
    static QByteArray le16(quint16 value);
    static QByteArray le32(quint32 value);
    // Upper-case hex, a blank between bytes.
    static QByteArray hex(const QByteArray &bytes);
};
