#include "bootloader/InfoASegment.h"
#include "tests/support/TestBytes.h"

#include <QtTest>

#include <cstring>
#include <memory>

namespace {

const QByteArray adcBody = hex("00 80 00 00 6C 7F E6 02 70 03 D3 7F BB 01 0E 02");
const QByteArray clockBody = hex("91 8F 96 8E 85 80 C0 86");

quint16 storedChecksum(const QByteArray &segment)
{
    return quint16(quint8(segment.at(0)) | (quint8(segment.at(1)) << 8));
}

// A card's segment as it comes from the factory: identity with platform
// 04 01, line-card number 1234 and a password, the card's own ADC and clock
// calibration, an empty record. The stored checksum is wrong on purpose.
QByteArray cardSegment()
{
    return hex("12 34") + hex("C0 16 04 01 2D FB FF FF") + QByteArray("PASSWORD-0123456")
           + hex("10 10 11 22 33 44 55 66 77 88 99 AA BB CC DD EE F0 01")
           + hex("FE 08 FF FF FF FF FF FF FF FF") + hex("01 08 A1 A2 A3 A4 A5 A6 A7 A8");
}

// Record sizes as one byte each, for table columns.
QByteArray sizesOf(const QList<QByteArray> &records)
{
    QByteArray sizes;
    for (const QByteArray &record : records)
        sizes.append(char(record.size()));
    return sizes;
}

} // namespace

class tst_InfoASegment : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void erasedSegment();
    void cardSegmentRoundTrip();
    void applyFieldsWritesIdentity();
    void extraRecordKeepsSixBytes();
    void emptyFirstRecordRetagged();
    void noIdentityRecord();
    void checksum_data();
    void checksum();
    void oddSegments_data();
    void oddSegments();

private:
    InfoASegment segment;
};

void tst_InfoASegment::init()
{
    segment = InfoASegment();
}

void tst_InfoASegment::erasedSegment()
{
    QByteArray bytes(64, char(0xFF));
    segment.parseInfoA(bytes);

    QByteArray repaired(64, char(0xFF));
    repaired.replace(2, 2, hex("C0 16"));
    repaired.replace(26, 2, hex("10 10"));
    repaired.replace(44, 2, hex("FE 08"));
    repaired.replace(54, 2, hex("01 08"));
    QCOMPARE(bytes, repaired);

    QCOMPARE(segment.tags, hex("C0 10 FE 01"));
    QCOMPARE(segment.records.size(), 4);
    QCOMPARE(segment.records.at(0), QByteArray(22, char(0xFF)));
    QCOMPARE(segment.records.at(1), adcBody);
    QCOMPARE(segment.records.at(2), QByteArray(8, char(0xFF)));
    QCOMPARE(segment.records.at(3), clockBody);

    QVERIFY(segment.hasIdentity);
    QCOMPARE(segment.platformId0, quint8(0));
    QCOMPARE(segment.platformId1, quint8(0xFF));
    QCOMPARE(segment.serialNumber, quint32(0));
    QCOMPARE(segment.password, QByteArray(16, char(0xFF)));
    QVERIFY(!segment.hasExtra);

    const QByteArray built = segment.buildInfoA();
    QCOMPARE(built.size(), 64);
    QCOMPARE(built.mid(2), hex("C0 16") + QByteArray(22, char(0xFF)) + hex("10 10") + adcBody
                               + hex("FE 08") + QByteArray(8, char(0xFF)) + hex("01 08")
                               + clockBody);
    QCOMPARE(quint16(storedChecksum(built) + xorOfWords(built)), quint16(0));
}

void tst_InfoASegment::cardSegmentRoundTrip()
{
    const QByteArray original = cardSegment();
    QCOMPARE(original.size(), 64);
    QByteArray bytes = original;
    segment.parseInfoA(bytes);
    QCOMPARE(bytes, original); // nothing erased, nothing repaired

    QVERIFY(segment.hasIdentity);
    QCOMPARE(segment.platformId0, quint8(0x04));
    QCOMPARE(segment.platformId1, quint8(0x01));
    QCOMPARE(segment.serialNumber, quint32(1234));
    QCOMPARE(segment.password, QByteArray("PASSWORD-0123456"));
    QCOMPARE(segment.tags, hex("C0 10 FE 01"));

    QByteArray expected = original;
    expected.replace(28, 16, adcBody);
    expected.replace(56, 8, clockBody);
    const QByteArray built = segment.buildInfoA();
    QCOMPARE(built.mid(2), expected.mid(2));
    QCOMPARE(quint16(storedChecksum(built) + xorOfWords(built)), quint16(0));
}

void tst_InfoASegment::applyFieldsWritesIdentity()
{
    QByteArray bytes = cardSegment();
    segment.parseInfoA(bytes);
    const QByteArray before = segment.buildInfoA();
    segment.platformId0 = 0x04;
    segment.platformId1 = 0x20;
    segment.serialNumber = 0x01020304;
    segment.password = QByteArray("fedcba9876543210");
    segment.applyFields();

    const QByteArray built = segment.buildInfoA();
    QCOMPARE(built.size(), 64);
    QCOMPARE(built.mid(2, 24), hex("C0 16 04 20 FB FC FD FE") + QByteArray("fedcba9876543210"));
    QCOMPARE(built.mid(26), before.mid(26)); // other records untouched
    QCOMPARE(segment.records.at(2), QByteArray(8, char(0xFF)));

    // A shorter password shortens the record and so the segment.
    segment.password = QByteArray("short");
    segment.applyFields();
    QCOMPARE(segment.records.at(0).size(), 11);
    QCOMPARE(segment.buildInfoA().size(), 53);
}

void tst_InfoASegment::extraRecordKeepsSixBytes()
{
    QByteArray bytes = hex("00 00") + hex("C0 16") + QByteArray(22, 'x')
                       + hex("C1 06 07 08 78 56 34 12") + hex("10 10") + QByteArray(16, 'a')
                       + hex("01 08") + QByteArray(8, 'c') + hex("FE 00");
    QCOMPARE(bytes.size(), 64);
    segment.parseInfoA(bytes);
    QVERIFY(segment.hasExtra);
    QCOMPARE(segment.extraByte0, quint8(7));
    QCOMPARE(segment.extraByte1, quint8(8));
    QCOMPARE(segment.extraValue, quint32(0x12345678));

    segment.extraValue = 0xA1B2C3D4;
    segment.applyFields();
    QCOMPARE(segment.tags, hex("C0 C1 10 01 FE"));
    QCOMPARE(segment.records.at(1), hex("07 08 D4 C3 B2 A1"));
    QCOMPARE(segment.buildInfoA().size(), 64);
}

void tst_InfoASegment::emptyFirstRecordRetagged()
{
    QByteArray bytes = hex("00 00 FE 16 04 03 2D FB FF FF") + QByteArray(16, 'p') + hex("10 10")
                       + QByteArray(16, 'a') + hex("FE 08") + QByteArray(8, char(0xFF))
                       + hex("01 08") + QByteArray(8, 'c');
    QCOMPARE(bytes.size(), 64);
    segment.parseInfoA(bytes);
    QVERIFY(segment.hasIdentity);
    QCOMPARE(segment.serialNumber, quint32(1234));
    QCOMPARE(segment.tags, hex("FE 10 FE 01")); // read, not yet retagged

    segment.serialNumber = 1;
    segment.applyFields();
    QCOMPARE(segment.tags, hex("C0 10 FE 01"));
    const QByteArray built = segment.buildInfoA();
    QCOMPARE(built.mid(2, 8), hex("C0 16 04 03 FE FF FF FF"));
    QCOMPARE(built.mid(44, 10), hex("FE 08") + QByteArray(8, char(0xFF)));
}

void tst_InfoASegment::noIdentityRecord()
{
    QByteArray bytes = hex("00 00 20 16") + QByteArray(22, 'i') + hex("10 10") + QByteArray(16, 'a')
                       + hex("FE 08") + QByteArray(8, char(0xFF)) + hex("01 08")
                       + QByteArray(8, 'c');
    segment.parseInfoA(bytes);
    QVERIFY(!segment.hasIdentity);

    const QByteArray before = segment.buildInfoA();
    segment.hasIdentity = true; // as a default rebuild does
    segment.serialNumber = 99;
    segment.password = QByteArray(16, 'p');
    segment.applyFields();
    QCOMPARE(segment.buildInfoA(), before); // no record to hold the identity
}

void tst_InfoASegment::checksum_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<uint>("checksum");

    QTest::newRow("(empty)") << QByteArray() << 0u;
    QTest::newRow("AB") << hex("AB") << 0u;
    QTest::newRow("AB CD") << hex("AB CD") << 0u;
    QTest::newRow("AB CD 01") << hex("AB CD 01") << 0xFFFFu;
    QTest::newRow("00 00 34 12") << hex("00 00 34 12") << 0xEDCCu;
    QTest::newRow("00 00 01 02 03") << hex("00 00 01 02 03") << 0xFDFEu;
    QTest::newRow("FF FF 00 80 00 80") << hex("FF FF 00 80 00 80") << 0u;
    QTest::newRow("00 00 FF FF") << hex("00 00 FF FF") << 0x0001u;
}

void tst_InfoASegment::checksum()
{
    QFETCH(QByteArray, bytes);
    QFETCH(uint, checksum);
    QCOMPARE(InfoASegment::infoaChecksum(bytes), quint16(checksum));
}

// Segments of unusual length, and records whose body runs past the end.
// Input bytes that need no repair stay in a buffer of their exact size, so
// that a read past the end shows under AddressSanitizer.
void tst_InfoASegment::oddSegments_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("repaired");
    QTest::addColumn<QByteArray>("tags");
    QTest::addColumn<QByteArray>("sizes");
    QTest::addColumn<bool>("hasIdentity");
    QTest::addColumn<uint>("serialNumber");
    QTest::addColumn<QByteArray>("password");

    const QByteArray ff22(22, char(0xFF));
    const QByteArray ff16(16, char(0xFF));
    QByteArray ff55(55, char(0xFF));
    QByteArray ff63(63, char(0xFF));
    for (QByteArray *b : {&ff55, &ff63}) {
        b->replace(2, 2, hex("C0 16"));
        b->replace(26, 2, hex("10 10"));
        b->replace(44, 2, hex("FE 08"));
    }
    ff55[54] = char(0x01);
    ff63.replace(54, 2, hex("01 08"));
    QByteArray zeroLength = hex("00 00");
    for (int i = 0; i < 31; ++i)
        zeroLength += hex("20 00");

    QTest::newRow("(empty)") << QByteArray() << QByteArray() << QByteArray() << QByteArray()
                             << false << 0u << QByteArray();
    QTest::newRow("FF") << hex("FF") << hex("FF") << QByteArray() << QByteArray() << false << 0u
                        << QByteArray();
    QTest::newRow("00 00") << hex("00 00") << hex("00 00") << QByteArray() << QByteArray() << false
                           << 0u << QByteArray();
    QTest::newRow("FF FF FF: tag repaired, no room for its length")
        << hex("FF FF FF") << hex("FF FF C0") << hex("C0") << hex("00") << true << 0xFFFFFFFFu
        << QByteArray();
    QTest::newRow("00 00 C0") << hex("00 00 C0") << hex("00 00 C0") << hex("C0") << hex("00")
                              << true << 0xFFFFFFFFu << QByteArray();
    QTest::newRow("00 00 C0 16 04 03")
        << hex("00 00 C0 16 04 03") << hex("00 00 C0 16 04 03") << hex("C0") << hex("02") << true
        << 0xFFFFFFFFu << QByteArray();
    QTest::newRow("00 00 C0 16 04 03 2D FB FF FF 41 42")
        << hex("00 00 C0 16 04 03 2D FB FF FF 41 42") << hex("00 00 C0 16 04 03 2D FB FF FF 41 42")
        << hex("C0") << hex("08") << true << 1234u << QByteArray("AB");
    QTest::newRow("00 00 20 03 01 02 03 C0")
        << hex("00 00 20 03 01 02 03 C0") << hex("00 00 20 03 01 02 03 C0") << hex("20 C0")
        << hex("03 00") << true << 0xFFFFFFFFu << QByteArray();
    QTest::newRow("00 00 10 FF 01: ADC body past the end, replaced")
        << hex("00 00 10 FF 01") << hex("00 00 10 FF 01") << hex("10") << hex("10") << false << 0u
        << QByteArray();
    QTest::newRow("00 00 01: clock record without length, replaced")
        << hex("00 00 01") << hex("00 00 01") << hex("01") << hex("08") << false << 0u
        << QByteArray();
    QTest::newRow("00 00 FE 16 FF FF: erased empty record as identity")
        << hex("00 00 FE 16 FF FF") << hex("00 00 FE 16 FF FF") << hex("FE") << hex("02") << true
        << 0xFFFFFFFFu << QByteArray();
    QTest::newRow("27 x FF") << QByteArray(27, char(0xFF))
                             << (hex("FF FF C0 16") + ff22 + hex("10")) << hex("C0 10")
                             << hex("16 10") << true << 0u << ff16;
    QTest::newRow("45 x FF") << QByteArray(45, char(0xFF))
                             << (hex("FF FF C0 16") + ff22 + hex("10 10") + ff16 + hex("FE"))
                             << hex("C0 10 FE") << hex("16 10 00") << true << 0u << ff16;
    QTest::newRow("55 x FF") << QByteArray(55, char(0xFF)) << ff55 << hex("C0 10 FE 01")
                             << hex("16 10 08 08") << true << 0u << ff16;
    QTest::newRow("63 x FF") << QByteArray(63, char(0xFF)) << ff63 << hex("C0 10 FE 01")
                             << hex("16 10 08 08") << true << 0u << ff16;
    QTest::newRow("00 00 + 31 x (20 00)") << zeroLength << zeroLength << QByteArray(31, char(0x20))
                                          << QByteArray(31, '\0') << false << 0u << QByteArray();
}

void tst_InfoASegment::oddSegments()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, repaired);
    QFETCH(QByteArray, tags);
    QFETCH(QByteArray, sizes);
    QFETCH(bool, hasIdentity);
    QFETCH(uint, serialNumber);
    QFETCH(QByteArray, password);

    const std::unique_ptr<char[]> buffer(new char[size_t(input.size())]);
    if (!input.isEmpty())
        std::memcpy(buffer.get(), input.constData(), size_t(input.size()));
    QByteArray bytes = QByteArray::fromRawData(buffer.get(), input.size());

    segment.parseInfoA(bytes);
    QCOMPARE(bytes, repaired);
    QCOMPARE(segment.tags, tags);
    QCOMPARE(sizesOf(segment.records), sizes);
    QCOMPARE(segment.hasIdentity, hasIdentity);
    if (hasIdentity) {
        QCOMPARE(segment.serialNumber, quint32(serialNumber));
        QCOMPARE(segment.password, password);
    }

    // Writing back stays inside the records and gives one length.
    segment.applyFields();
    const QByteArray built = segment.buildInfoA();
    int expectedSize = 2;
    for (const QByteArray &record : segment.records)
        expectedSize += 2 + record.size();
    QCOMPARE(built.size(), expectedSize);
    QCOMPARE(quint16(storedChecksum(built) + xorOfWords(built)), quint16(0));
}

QTEST_APPLESS_MAIN(tst_InfoASegment)
#include "tst_infoasegment.moc"
