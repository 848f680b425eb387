#pragma once

#include <QByteArray>
#include <QtGlobal>

// Byte-level codecs of the controller link: the Fletcher-16 check, the
// packet zero elimination (backward links) and the frame zero elimination.
namespace PacketCodec {

// Fletcher-16 with modulus 255; returns (sum2 << 8) | sum1. A packet whose
// whole sum is 0 is intact.
quint16 fletcher16(const QByteArray &bytes);

// Appends the two check bytes (never 0x00) that make the sum of the result 0.
void appendCheckBytes(QByteArray &bytes);

// Packet zero elimination: every 0x00 of the body becomes its distance to
// the previous zero, and a final code byte holds the distance from the last
// zero to the end. Runs of more than 254 non-zero bytes cannot be encoded;
// callers keep their bodies below that.
QByteArray encodePacketBody(const QByteArray &body);

// Inverse of encodePacketBody: takes the encoded body followed by its code
// byte and restores the zeros.
QByteArray decodePacketBody(const QByteArray &encodedWithCode);

// True when a card's packet stream holds a complete packet: at least five
// bytes, the third-last of them the 0x00 end-of-packet marker.
bool isCompletePacket(const QByteArray &stream);

// Frame decoding: `encoded` runs up to and including the frame's terminating
// 0x00. Returns the slot bytes followed by one 0x00, or an empty array when
// the frame is malformed (or has no terminator).
QByteArray decodeFrame(const QByteArray &encoded);

// Frame encoding as the controller does it: the slot bytes, zero-eliminated,
// followed by the 0x00 terminator. At most 254 slots.
QByteArray encodeFrame(const QByteArray &slotBytes);

// Upper-case hexadecimal with single blanks, for trace lines and captures.
QByteArray toHex(const QByteArray &bytes);

} // namespace PacketCodec
