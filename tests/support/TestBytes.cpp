#include "tests/support/TestBytes.h"

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray le16(quint16 value)
{
    return QByteArray(1, char(value & 0xFF)) + char(value >> 8);
}

QByteArray le32(quint32 value)
{
    QByteArray bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes.append(char((value >> shift) & 0xFF));
    return bytes;
}

QByteArray infoRecord(quint8 tag, const QByteArray &body)
{
    return char(tag) + (char(body.size()) + body);
}

quint16 xorOfWords(const QByteArray &segment)
{
    quint16 sum = 0;
    for (int i = 2; i < segment.size(); i += 2) {
        const quint16 low = quint8(segment.at(i));
        const quint16 high = i + 1 < segment.size() ? quint8(segment.at(i + 1)) : 0;
        sum ^= quint16(low | (high << 8));
    }
    return sum;
}

bool segmentChecksumHolds(const QByteArray &segment)
{
    if (segment.size() < 2)
        return false;
    const quint16 stored = quint16(quint8(segment.at(0)) | (quint8(segment.at(1)) << 8));
    return quint16(stored + xorOfWords(segment)) == 0;
}

QByteArray segmentOf(const QList<QByteArray> &records)
{
    QByteArray segment(2, '\0');
    for (const QByteArray &record : records)
        segment += record;
    segment = segment.leftJustified(64, '\xFF', true);
    const quint16 sum = quint16(0x10000 - xorOfWords(segment));
    segment[0] = char(sum & 0xFF);
    segment[1] = char(sum >> 8);
    return segment;
}

QByteArray textOfProgram(QByteArray output)
{
#ifdef Q_OS_WIN
    output.replace("\r\n", "\n");
#endif
    return output;
}
