#include "emulator/EmulatorCodec.h"
#include "tests/support/TestBytes.h"

#include <QtTest>

// The emulator's own codec against the protocol's literal byte examples,
// not against the host's code.
class tst_EmulatorCodec : public QObject
{
    Q_OBJECT

private slots:
    void fletcher16_data();
    void fletcher16();
    void checkBytes_data();
    void checkBytes();
    void packet_data();
    void packet();
    void completeness_data();
    void completeness();
    void frames_data();
    void frames();
    void malformedFrames_data();
    void malformedFrames();
    void argumentDigits_data();
    void argumentDigits();
};

void tst_EmulatorCodec::fletcher16_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("sum");
    QTest::newRow("abc") << QByteArray("abc") << 0x4C27;
    QTest::newRow("abcde") << QByteArray("abcde") << 0xC8F0;
    QTest::newRow("abcdef") << QByteArray("abcdef") << 0x2057;
    QTest::newRow("(empty)") << QByteArray() << 0;
    QTest::newRow("FF FF FF: 255 counts as 0") << hex("FFFFFF") << 0;
    QTest::newRow("61 62 63 8C 4C: abc and its check bytes") << hex("616263 8C4C") << 0;
}

void tst_EmulatorCodec::fletcher16()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, sum);
    QCOMPARE(int(EmulatorCodec::fletcher16(bytes)), sum);
}

void tst_EmulatorCodec::checkBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("check");
    QTest::newRow("abc: 8C 4C") << QByteArray("abc") << hex("8C4C");
    QTest::newRow("04 FF FF 04 00: DB 1C") << hex("04FFFF0400") << hex("DB1C");
}

void tst_EmulatorCodec::checkBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, check);
    QCOMPARE(EmulatorCodec::checkBytes(bytes), check);
    QCOMPARE(EmulatorCodec::fletcher16(bytes + check), quint16(0));
}

// Bodies, the packets they go out as, and back.
void tst_EmulatorCodec::packet_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("encodedBody"); // zero-eliminated, code byte included

    QTest::newRow("41 00 42 -> 41 02 42 02") << hex("410042") << hex("41024202");
    QTest::newRow("41 00 -> 41 02 01") << hex("4100") << hex("410201");
    QTest::newRow("04 FF FF (information command) -> 04 FF FF 04")
        << hex("04FFFF") << hex("04FFFF04");
    QTest::newRow("84 01 FF (identify card 1) -> 84 01 FF 04") << hex("8401FF") << hex("8401FF04");
    QTest::newRow("00 -> 01 01") << hex("00") << hex("0101");
    QTest::newRow("02 FF FF 19 (version request in the tunnel) -> 02 FF FF 19 05")
        << hex("02FFFF19") << hex("02FFFF1905");
}

void tst_EmulatorCodec::packet()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, encodedBody);
    const QByteArray packet = EmulatorCodec::encodePacket(body);
    QCOMPARE(packet.left(packet.size() - 3), encodedBody);
    QCOMPARE(packet.at(packet.size() - 3), '\0');
    QCOMPARE(EmulatorCodec::fletcher16(packet), quint16(0));
    QVERIFY(!packet.mid(packet.size() - 2).contains('\0'));
    QVERIFY(EmulatorCodec::isCompletePacket(packet));
    QCOMPARE(EmulatorCodec::decodePacket(packet), body);
}

void tst_EmulatorCodec::completeness_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("complete");
    QTest::newRow("04 FF FF 04 00 DB 1C") << hex("04FFFF0400DB1C") << true;
    QTest::newRow("04 FF FF 04 00 DB (one check byte short)") << hex("04FFFF0400DB") << false;
    QTest::newRow("00 12 34 (marker third from last, but 3 bytes)") << hex("001234") << false;
    QTest::newRow("01 01 00 12 34") << hex("0101001234") << true;
    QTest::newRow("01 01 01 00 12") << hex("0101010012") << false;
}

void tst_EmulatorCodec::completeness()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, complete);
    QCOMPARE(EmulatorCodec::isCompletePacket(bytes), complete);
}

void tst_EmulatorCodec::frames_data()
{
    QTest::addColumn<QByteArray>("slotBytes");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("11 -> 02 11 00: one slot") << hex("11") << hex("021100");
    QTest::newRow("(none) -> 01 00: no slotBytes") << QByteArray() << hex("0100");
    QTest::newRow("00 -> 01 01 00") << hex("00") << hex("010100");
    QTest::newRow("05 00 07 -> 02 05 02 07 00") << hex("050007") << hex("0205020700");
    QTest::newRow("FE FE -> 03 FE FE 00: filler") << hex("FEFE") << hex("03FEFE00");
}

void tst_EmulatorCodec::frames()
{
    QFETCH(QByteArray, slotBytes);
    QFETCH(QByteArray, frame);
    QCOMPARE(EmulatorCodec::encodeFrame(slotBytes), frame);
    QByteArray decoded;
    QVERIFY(EmulatorCodec::decodeFrame(frame, &decoded));
    QCOMPARE(decoded, slotBytes);
}

void tst_EmulatorCodec::malformedFrames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("00: starts with the terminator") << hex("00");
    QTest::newRow("03 11 00: terminator before the code ran out") << hex("031100");
    QTest::newRow("02 11: no terminator") << hex("0211");
    QTest::newRow("(empty)") << QByteArray();
}

void tst_EmulatorCodec::malformedFrames()
{
    QFETCH(QByteArray, frame);
    QByteArray decoded("x");
    QVERIFY(!EmulatorCodec::decodeFrame(frame, &decoded));
    QVERIFY(decoded.isEmpty());
}

void tst_EmulatorCodec::argumentDigits_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("digits");
    QTest::newRow("1250 -> E6 04") << 1250 << hex("E604");
    QTest::newRow("255 -> FF 01") << 255 << hex("FF01");
    QTest::newRow("510 -> FF 02") << 510 << hex("FF02");
    QTest::newRow("1 -> 01 FF") << 1 << hex("01FF");
    QTest::newRow("0 -> FF FF") << 0 << hex("FFFF");
    QTest::newRow("65024 -> FE FE: the largest") << 65024 << hex("FEFE");
}

void tst_EmulatorCodec::argumentDigits()
{
    QFETCH(int, value);
    QFETCH(QByteArray, digits);
    QCOMPARE(EmulatorCodec::argumentDigits(quint16(value)), digits);
    QCOMPARE(int(EmulatorCodec::argumentValue(digits.at(0), digits.at(1))), value);
}

QTEST_GUILESS_MAIN(tst_EmulatorCodec)
#include "tst_emulatorcodec.moc"
