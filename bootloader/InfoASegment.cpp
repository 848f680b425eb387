#include "bootloader/InfoASegment.h"

#include "bootloader/BslPacket.h"

#include <QDebug>

namespace {

// Where the standard records sit, and the tag and length restored when the
// tag byte there reads erased.
struct StandardRecord
{
    int offset;
    quint8 tag;
    quint8 length;
};

constexpr StandardRecord standardRecords[] = {
    {2, InfoASegment::TAG_IDENTITY, 0x16},
    {26, InfoASegment::TAG_ADC_CALIBRATION, 0x10},
    {44, InfoASegment::TAG_EMPTY, 0x08},
    {54, InfoASegment::TAG_CLOCK_CALIBRATION, 0x08},
};

quint8 byteAt(const QByteArray &bytes, int index)
{
    return index >= 0 && index < bytes.size() ? quint8(bytes.at(index)) : 0;
}

void appendLe32(QByteArray &bytes, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes.append(char((value >> (8 * i)) & 0xFF));
}

} // namespace

QByteArray InfoASegment::adcCalibrationBody()
{
    return QByteArray::fromHex("0080 0000 6C7F E602 7003 D37F BB01 0E02");
}

QByteArray InfoASegment::clockCalibrationBody()
{
    return QByteArray::fromHex("918F 968E 8580 C086");
}

int InfoASegment::indexOfTag(quint8 tag) const
{
    return tags.indexOf(char(tag));
}

void InfoASegment::parseInfoA(QByteArray &bytes)
{
    if (traceEnabled)
        qDebug().noquote() << "INFOA in hex:" << bytes.toHex(' ');

    // Only bytes inside the segment are repaired; a short segment is not
    // extended.
    for (const StandardRecord &standard : standardRecords) {
        if (standard.offset >= bytes.size() || quint8(bytes.at(standard.offset)) != 0xFF)
            continue;
        bytes[standard.offset] = char(standard.tag);
        if (standard.offset + 1 < bytes.size())
            bytes[standard.offset + 1] = char(standard.length);
    }

    records.clear();
    tags.clear();
    int offset = 2;
    while (offset < bytes.size()) {
        const int length = byteAt(bytes, offset + 1);
        tags.append(bytes.at(offset));
        records.append(bytes.mid(offset + 2, length));
        offset += 2 + length;
    }

    int identity = indexOfTag(TAG_IDENTITY);
    if (identity < 0 && !tags.isEmpty() && quint8(tags.at(0)) == TAG_EMPTY)
        identity = 0;
    hasIdentity = identity >= 0;
    if (hasIdentity) {
        QByteArray body = records.at(identity);
        if (!body.isEmpty() && body.count(char(0xFF)) == body.size())
            body[0] = 0;
        platformId0 = byteAt(body, 0);
        platformId1 = byteAt(body, 1);
        serialNumber = ~BslReply::readLe32(body, 2);
        password = body.mid(6, 16);
    }

    const int extra = indexOfTag(TAG_EXTRA);
    hasExtra = extra >= 0;
    if (hasExtra) {
        const QByteArray &body = records.at(extra);
        extraByte0 = byteAt(body, 0);
        extraByte1 = byteAt(body, 1);
        extraValue = BslReply::readLe32(body, 2);
    }

    const int adc = indexOfTag(TAG_ADC_CALIBRATION);
    if (adc >= 0)
        records[adc] = adcCalibrationBody();
    const int clock = indexOfTag(TAG_CLOCK_CALIBRATION);
    if (clock >= 0)
        records[clock] = clockCalibrationBody();
}

void InfoASegment::applyFields()
{
    if (hasIdentity) {
        int identity = indexOfTag(TAG_IDENTITY);
        if (identity < 0 && !tags.isEmpty() && quint8(tags.at(0)) == TAG_EMPTY) {
            tags[0] = char(TAG_IDENTITY);
            identity = 0;
        }
        if (identity >= 0 && identity < records.size()) {
            QByteArray body;
            body.append(char(platformId0));
            body.append(char(platformId1));
            appendLe32(body, ~serialNumber);
            body.append(password);
            records[identity] = body;
        }
    }
    if (hasExtra) {
        const int extra = indexOfTag(TAG_EXTRA);
        if (extra >= 0 && extra < records.size()) {
            QByteArray body;
            body.append(char(extraByte0));
            body.append(char(extraByte1));
            appendLe32(body, extraValue);
            records[extra] = body;
        }
    }
}

QByteArray InfoASegment::buildInfoA() const
{
    QByteArray segment(2, '\0');
    for (int i = 0; i < records.size(); ++i) {
        const QByteArray &body = records.at(i);
        segment.append(i < tags.size() ? tags.at(i) : char(0xFF));
        segment.append(char(body.size() & 0xFF));
        segment.append(body);
    }
    const quint16 checksum = infoaChecksum(segment);
    segment[0] = char(checksum & 0xFF);
    segment[1] = char(checksum >> 8);
    return segment;
}

quint16 InfoASegment::infoaChecksum(const QByteArray &bytes)
{
    quint16 sum = 0;
    for (int offset = 2; offset < bytes.size(); offset += 2)
        sum ^= BslReply::readLe16(bytes, offset);
    return quint16(-sum);
}
