#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// The line card's information segment (INFOA, 64 bytes at 0x10C0): a 16-bit
// checksum, then tagged records (tag, body length, body). One record of our
// own, the identity record, holds the platform bytes, the complemented
// line-card number and the bootloader password.
class InfoASegment
{
public:
    static constexpr int SEGMENT_SIZE = 64;
    static constexpr quint16 SEGMENT_ADDRESS = 0x10C0;

    static constexpr quint8 TAG_IDENTITY = 0xC0;
    static constexpr quint8 TAG_EXTRA = 0xC1;
    static constexpr quint8 TAG_ADC_CALIBRATION = 0x10;
    static constexpr quint8 TAG_EMPTY = 0xFE;
    static constexpr quint8 TAG_CLOCK_CALIBRATION = 0x01;

    // The calibration bodies put in place of the card's own.
    static QByteArray adcCalibrationBody();
    static QByteArray clockCalibrationBody();

    // Decodes a segment of any length. Erased tags (0xFF) at the standard
    // record offsets are first repaired in `bytes` itself. The stored
    // checksum is not verified.
    void parseInfoA(QByteArray &bytes);
    // Writes the decoded fields back into their records.
    void applyFields();
    // The records serialised behind a fresh checksum; 64 bytes when every
    // record kept the length it was read with.
    QByteArray buildInfoA() const;

    // Negated XOR of the little-endian words from offset 2; a last odd byte
    // counts with a high byte of 0.
    static quint16 infoaChecksum(const QByteArray &bytes);

    bool traceEnabled = false;
    QList<QByteArray> records;
    QByteArray tags;
    bool hasIdentity = false;
    quint8 platformId0 = 0;
    quint8 platformId1 = 0;
    quint32 serialNumber = 0;
    QByteArray password;
    bool hasExtra = false;
    quint8 extraByte0 = 0;
    quint8 extraByte1 = 0;
    quint32 extraValue = 0;

private:
    int indexOfTag(quint8 tag) const;
};
