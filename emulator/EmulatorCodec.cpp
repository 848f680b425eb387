#include "emulator/EmulatorCodec.h"

quint16 EmulatorCodec::fletcher16(const QByteArray &bytes)
{
    int sum1 = 0;
    int sum2 = 0;
    for (char b : bytes) {
        sum1 = (sum1 + quint8(b)) % 255;
        sum2 = (sum2 + sum1) % 255;
    }
    return quint16(sum2 << 8 | sum1);
}

QByteArray EmulatorCodec::checkBytes(const QByteArray &bytes)
{
    const quint16 sums = fletcher16(bytes);
    const int sum1 = sums & 0xFF;
    const int sum2 = sums >> 8;
    const int c1 = 0xFF - (sum1 + sum2) % 255;
    const int c2 = 0xFF - (sum1 + c1) % 255;
    QByteArray check;
    check.append(char(c1));
    check.append(char(c2));
    return check;
}

QByteArray EmulatorCodec::encodePacket(const QByteArray &body)
{
    QByteArray packet = body;
    int distance = 0;
    for (int i = 0; i < packet.size(); ++i) {
        ++distance;
        if (packet.at(i) == '\0') {
            packet[i] = char(distance);
            distance = 0;
        }
    }
    packet.append(char(distance + 1));
    packet.append('\0');
    return packet + checkBytes(packet);
}

bool EmulatorCodec::isCompletePacket(const QByteArray &packet)
{
    return packet.size() >= 5 && packet.at(packet.size() - 3) == '\0';
}

QByteArray EmulatorCodec::decodePacket(const QByteArray &packet)
{
    if (packet.size() < 4)
        return {};
    QByteArray body = packet.left(packet.size() - 4);
    quint8 code = quint8(packet.at(packet.size() - 4));
    for (int i = body.size() - 1; i >= 0; --i) {
        --code;
        if (code == 0) {
            code = quint8(body.at(i));
            body[i] = '\0';
        }
    }
    return body;
}

QByteArray EmulatorCodec::encodeFrame(const QByteArray &slotBytes)
{
    QByteArray frame;
    QByteArray run;
    for (char b : slotBytes) {
        if (b == '\0') {
            frame.append(char(run.size() + 1));
            frame.append(run);
            run.clear();
        } else {
            run.append(b);
        }
    }
    // The terminator is the last zero the final code byte points at.
    frame.append(char(run.size() + 1));
    frame.append(run);
    frame.append('\0');
    return frame;
}

bool EmulatorCodec::decodeFrame(const QByteArray &frame, QByteArray *slotBytes)
{
    slotBytes->clear();
    if (frame.isEmpty() || frame.at(0) == '\0')
        return false;
    int code = quint8(frame.at(0));
    for (int i = 1; i < frame.size(); ++i) {
        --code;
        const char b = frame.at(i);
        if (b == '\0') {
            if (code != 0 || i != frame.size() - 1) {
                slotBytes->clear();
                return false;
            }
            return true;
        }
        if (code == 0) {
            slotBytes->append('\0');
            code = quint8(b);
        } else {
            slotBytes->append(b);
        }
    }
    slotBytes->clear();
    return false; // no terminator
}

QByteArray EmulatorCodec::argumentDigits(quint16 value)
{
    const int low = value % 255;
    const int high = (value / 255) & 0xFF;
    QByteArray digits;
    digits.append(char(low == 0 ? 0xFF : low));
    digits.append(char(high == 0 ? 0xFF : high));
    return digits;
}

quint16 EmulatorCodec::argumentValue(char low, char high)
{
    const int lo = quint8(low) == 0xFF ? 0 : quint8(low);
    const int hi = quint8(high) == 0xFF ? 0 : quint8(high);
    return quint16(hi * 255 + lo);
}

quint32 EmulatorCodec::rawArgumentValue(char low, char high)
{
    return quint32(quint8(low)) + 255u * quint8(high);
}

quint16 EmulatorCodec::readLe16(const QByteArray &bytes, int at)
{
    const quint16 low = at >= 0 && at < bytes.size() ? quint8(bytes.at(at)) : 0;
    const quint16 high = at + 1 >= 0 && at + 1 < bytes.size() ? quint8(bytes.at(at + 1)) : 0;
    return quint16(low | high << 8);
}

QByteArray EmulatorCodec::le16(quint16 value)
{
    QByteArray bytes;
    bytes.append(char(value & 0xFF));
    bytes.append(char(value >> 8));
    return bytes;
}

QByteArray EmulatorCodec::le32(quint32 value)
{
    return le16(quint16(value & 0xFFFF)) + le16(quint16(value >> 16));
}

QByteArray EmulatorCodec::hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}
