#include "controller/PacketCodec.h"

namespace PacketCodec {

namespace {
struct FletcherSums
{
    unsigned sum1 = 0;
    unsigned sum2 = 0;
};

FletcherSums sums(const QByteArray &bytes)
{
    FletcherSums s;
    for (char c : bytes) {
        s.sum1 = (s.sum1 + quint8(c)) % 255;
        s.sum2 = (s.sum2 + s.sum1) % 255;
    }
    return s;
}
} // namespace

quint16 fletcher16(const QByteArray &bytes)
{
    const FletcherSums s = sums(bytes);
    return quint16((s.sum2 << 8) | s.sum1);
}

void appendCheckBytes(QByteArray &bytes)
{
    const FletcherSums s = sums(bytes);
    const unsigned c1 = 0xFF - ((s.sum1 + s.sum2) % 255);
    const unsigned c2 = 0xFF - ((s.sum1 + c1) % 255);
    bytes.append(char(c1));
    bytes.append(char(c2));
}

QByteArray encodePacketBody(const QByteArray &body)
{
    QByteArray out = body;
    quint8 distance = 0;
    for (int i = 0; i < out.size(); ++i) {
        ++distance;
        if (out.at(i) == '\0') {
            out[i] = char(distance);
            distance = 0;
        }
    }
    out.append(char(distance + 1));
    return out;
}

QByteArray decodePacketBody(const QByteArray &encodedWithCode)
{
    if (encodedWithCode.isEmpty())
        return {};
    QByteArray body = encodedWithCode.left(encodedWithCode.size() - 1);
    quint8 code = quint8(encodedWithCode.back());
    for (int i = body.size() - 1; i >= 0; --i) {
        --code;
        if (code == 0) {
            code = quint8(body.at(i));
            body[i] = '\0';
        }
    }
    return body;
}

bool isCompletePacket(const QByteArray &stream)
{
    return stream.size() >= 5 && stream.at(stream.size() - 3) == '\0';
}

QByteArray decodeFrame(const QByteArray &encoded)
{
    if (encoded.isEmpty() || encoded.at(0) == '\0')
        return {};
    QByteArray out;
    out.reserve(encoded.size());
    quint8 code = quint8(encoded.at(0));
    for (int i = 1; i < encoded.size(); ++i) {
        --code;
        const char b = encoded.at(i);
        if (b == '\0') {
            if (code != 0)
                return {};
            out.append('\0');
            return out;
        }
        if (code == 0) {
            out.append('\0');
            code = quint8(b);
        } else {
            out.append(b);
        }
    }
    return {}; // no terminator
}

QByteArray encodeFrame(const QByteArray &slotBytes)
{
    QByteArray out;
    out.reserve(slotBytes.size() + 2);
    int groupStart = 0;
    for (int i = 0; i <= slotBytes.size(); ++i) {
        if (i == slotBytes.size() || slotBytes.at(i) == '\0') {
            out.append(char(i - groupStart + 1));
            out.append(slotBytes.constData() + groupStart, i - groupStart);
            groupStart = i + 1;
        }
    }
    out.append('\0');
    return out;
}

QByteArray toHex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

} // namespace PacketCodec
