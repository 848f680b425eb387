#include "controller/PacketCodec.h"
#include "tests/support/TestBytes.h"

#include <QtTest>

using namespace PacketCodec;

class tst_PacketCodec : public QObject
{
    Q_OBJECT

private slots:
    void fletcher16_data();
    void fletcher16();
    void checkBytesZeroTheSum_data();
    void checkBytesZeroTheSum();
    void packetBody_data();
    void packetBody();
    void packetBodyRoundTrip_data();
    void packetBodyRoundTrip();
    void decodePacketBodyStaysInside_data();
    void decodePacketBodyStaysInside();
    void completePacket_data();
    void completePacket();
    void decodeFrame_data();
    void decodeFrame();
    void frameRoundTrip_data();
    void frameRoundTrip();
};

void tst_PacketCodec::fletcher16_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("sum");

    QTest::newRow("empty") << QByteArray() << 0x0000;
    QTest::newRow("abc") << QByteArray("abc") << 0x4C27;
    QTest::newRow("abc 8C 4C") << (QByteArray("abc") + hex("8C 4C")) << 0x0000;
    QTest::newRow("FF") << hex("FF") << 0x0000; // 255 is 0 modulo 255
    QTest::newRow("01 02") << hex("01 02") << 0x0403;
}

void tst_PacketCodec::fletcher16()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, sum);
    QCOMPARE(int(PacketCodec::fletcher16(bytes)), sum);
}

void tst_PacketCodec::checkBytesZeroTheSum_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("checkBytes");

    QTest::newRow("abc") << QByteArray("abc") << hex("8C 4C");
    QTest::newRow("04 FF FF 04 00") << hex("04 FF FF 04 00") << hex("DB 1C");
    QTest::newRow("empty") << QByteArray() << hex("FF FF");
    QTest::newRow("FE") << hex("FE") << hex("02 FE");
}

void tst_PacketCodec::checkBytesZeroTheSum()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, checkBytes);

    QByteArray packet = bytes;
    appendCheckBytes(packet);
    QCOMPARE(packet, bytes + checkBytes);
    QCOMPARE(int(PacketCodec::fletcher16(packet)), 0);
    QVERIFY(!checkBytes.contains('\0'));
}

void tst_PacketCodec::packetBody_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("encoded");

    QTest::newRow("41 00 42") << hex("41 00 42") << hex("41 02 42 02");
    QTest::newRow("41 00") << hex("41 00") << hex("41 02 01");
    QTest::newRow("00 00") << hex("00 00") << hex("01 01 01");
    QTest::newRow("04 FF FF") << hex("04 FF FF") << hex("04 FF FF 04");
    QTest::newRow("empty") << QByteArray() << hex("01");
}

void tst_PacketCodec::packetBody()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, encoded);

    QCOMPARE(encodePacketBody(body), encoded);
    QCOMPARE(decodePacketBody(encoded), body);
    QVERIFY(!encoded.contains('\0'));
}

void tst_PacketCodec::packetBodyRoundTrip_data()
{
    QTest::addColumn<QByteArray>("body");

    QByteArray allValues;
    for (int i = 0; i < 256; i += 2)
        allValues.append(char(i));
    QTest::newRow("even byte values") << allValues;
    QTest::newRow("254 non-zero bytes") << QByteArray(254, '\x7F');
    QTest::newRow("zeros around 254 non-zero bytes")
        << (hex("00") + QByteArray(254, '\x01') + hex("00"));
    QTest::newRow("64 zeros") << QByteArray(64, '\0');
}

void tst_PacketCodec::packetBodyRoundTrip()
{
    QFETCH(QByteArray, body);
    const QByteArray encoded = encodePacketBody(body);
    QCOMPARE(encoded.size(), body.size() + 1);
    QVERIFY(!encoded.contains('\0'));
    QCOMPARE(decodePacketBody(encoded), body);
}

void tst_PacketCodec::decodePacketBodyStaysInside_data()
{
    QTest::addColumn<QByteArray>("encoded");
    QTest::addColumn<QByteArray>("decoded");

    // A code of 0 wraps to 255 and never points inside the body.
    QTest::newRow("code 00") << hex("41 42 00") << hex("41 42");
    // A link that points before the body start is not followed.
    QTest::newRow("link past start") << hex("41 FF 01") << hex("41 00");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("code only") << hex("05") << QByteArray();
}

void tst_PacketCodec::decodePacketBodyStaysInside()
{
    QFETCH(QByteArray, encoded);
    QFETCH(QByteArray, decoded);
    QCOMPARE(decodePacketBody(encoded), decoded);
}

void tst_PacketCodec::completePacket_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<bool>("complete");

    QTest::newRow("00 11 22") << hex("00 11 22") << false;
    QTest::newRow("11 00 11 22") << hex("11 00 11 22") << false;
    QTest::newRow("11 22 00 11 22") << hex("11 22 00 11 22") << true;
    QTest::newRow("11 22 33 11 22") << hex("11 22 33 11 22") << false;
    QTest::newRow("11 22 00 11 22 33") << hex("11 22 00 11 22 33") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void tst_PacketCodec::completePacket()
{
    QFETCH(QByteArray, stream);
    QFETCH(bool, complete);
    QCOMPARE(isCompletePacket(stream), complete);
}

void tst_PacketCodec::decodeFrame_data()
{
    QTest::addColumn<QByteArray>("encoded");
    QTest::addColumn<QByteArray>("decoded");

    QTest::newRow("02 11 00") << hex("02 11 00") << hex("11 00");
    QTest::newRow("01 00") << hex("01 00") << hex("00");
    QTest::newRow("03 11 22 00") << hex("03 11 22 00") << hex("11 22 00");
    QTest::newRow("02 11 02 22 00") << hex("02 11 02 22 00") << hex("11 00 22 00");
    QTest::newRow("01 01 00") << hex("01 01 00") << hex("00 00");
    QTest::newRow("FF as code") << (hex("FF") + QByteArray(254, '\x05') + hex("00"))
                                << (QByteArray(254, '\x05') + hex("00"));
    QTest::newRow("00") << hex("00") << QByteArray();
    QTest::newRow("03 11 00 (zero early)") << hex("03 11 00") << QByteArray();
    QTest::newRow("02 11 22 00 (zero late)") << hex("02 11 22 00") << QByteArray();
    QTest::newRow("02 11 (no terminator)") << hex("02 11") << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void tst_PacketCodec::decodeFrame()
{
    QFETCH(QByteArray, encoded);
    QFETCH(QByteArray, decoded);
    QCOMPARE(PacketCodec::decodeFrame(encoded), decoded);
}

void tst_PacketCodec::frameRoundTrip_data()
{
    QTest::addColumn<QByteArray>("slotBytes");

    QTest::newRow("no slots") << QByteArray();
    QTest::newRow("11") << hex("11");
    QTest::newRow("00") << hex("00");
    QTest::newRow("11 00 22") << hex("11 00 22");
    QTest::newRow("FF FF FF") << hex("FF FF FF");
    QTest::newRow("00 00 00") << hex("00 00 00");
    QTest::newRow("254 slots") << QByteArray(254, '\x42');
}

void tst_PacketCodec::frameRoundTrip()
{
    QFETCH(QByteArray, slotBytes);
    const QByteArray encoded = encodeFrame(slotBytes);
    QCOMPARE(encoded.indexOf('\0'), encoded.size() - 1);
    QCOMPARE(PacketCodec::decodeFrame(encoded), slotBytes + hex("00"));
}

QTEST_APPLESS_MAIN(tst_PacketCodec)
#include "tst_packetcodec.moc"
