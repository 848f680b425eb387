#include "controller/CommandPacket.h"
#include "controller/Opcodes.h"
#include "controller/PacketCodec.h"
#include "controller/RawPacket.h"
#include "tests/support/TestBytes.h"

#include <QtTest>

class tst_CommandPacket : public QObject
{
    Q_OBJECT

private slots:
    void argumentDigits_data();
    void argumentDigits();
    void build_data();
    void build();
    void wireBytes_data();
    void wireBytes();
    void setFromStream_data();
    void setFromStream();
    void toLocalFormatOfShortRaw_data();
    void toLocalFormatOfShortRaw();
};

void tst_CommandPacket::argumentDigits_data()
{
    QTest::addColumn<int>("argument");
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");

    QTest::newRow("0 -> FF FF") << 0 << 0xFF << 0xFF;
    QTest::newRow("1 -> 01 FF") << 1 << 0x01 << 0xFF;
    QTest::newRow("254 -> FE FF") << 254 << 0xFE << 0xFF;
    QTest::newRow("255 -> FF 01") << 255 << 0xFF << 0x01;
    QTest::newRow("510 -> FF 02") << 510 << 0xFF << 0x02;
    QTest::newRow("1250 -> E6 04") << 1250 << 0xE6 << 0x04;
    QTest::newRow("65024 -> FE FE") << 65024 << 0xFE << 0xFE;
    QTest::newRow("65535 -> FF 01 (high digit truncated)") << 65535 << 0xFF << 0x01;
}

void tst_CommandPacket::argumentDigits()
{
    QFETCH(int, argument);
    QFETCH(int, low);
    QFETCH(int, high);
    QCOMPARE(int(CommandPacket::lowDigit(quint16(argument))), low);
    QCOMPARE(int(CommandPacket::highDigit(quint16(argument))), high);
}

void tst_CommandPacket::build_data()
{
    QTest::addColumn<int>("opcode");
    QTest::addColumn<int>("argument");
    QTest::addColumn<int>("flags");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("line card info: 04 FF FF")
        << int(OPCODE_LINE_CARD_INFO) << 0 << 0 << QByteArray() << hex("04 FF FF");
    QTest::newRow("identify 1: 84 01 FF")
        << int(OPCODE_LINE_CARD_INFO) << 1 << 0x80 << QByteArray() << hex("84 01 FF");
    QTest::newRow("identify 3 via OPCODE_IDENTIFY: 84 03 FF")
        << int(OPCODE_IDENTIFY) << 3 << 0 << QByteArray() << hex("84 03 FF");
    QTest::newRow("frame interval 1250: 03 E6 04")
        << int(OPCODE_FRAME_INTERVAL) << 1250 << 0 << QByteArray() << hex("03 E6 04");
    QTest::newRow("bootloader 19: 02 FF FF 19")
        << int(OPCODE_BOOTLOADER) << 0 << 0 << hex("19") << hex("02 FF FF 19");
    QTest::newRow("payload with zeros: 02 FF FF 18 C0 10 00 40 00")
        << int(OPCODE_BOOTLOADER) << 0 << 0 << hex("18 C0 10 00 40 00")
        << hex("02 FF FF 18 C0 10 00 40 00");
}

void tst_CommandPacket::build()
{
    QFETCH(int, opcode);
    QFETCH(int, argument);
    QFETCH(int, flags);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, body);

    CommandPacket packet{quint8(opcode), quint16(argument), quint8(flags)};
    packet.setPayload(payload);
    const QByteArray wire = packet.build();

    QCOMPARE(wire.size(), body.size() + 4);
    QCOMPARE(int(PacketCodec::fletcher16(wire)), 0);
    QCOMPARE(wire.at(wire.size() - 3), '\0');
    QCOMPARE(wire.left(wire.size() - 3).indexOf('\0'), -1);
    QCOMPARE(RawPacket::toLocalFormat(wire), body);
}

void tst_CommandPacket::wireBytes_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("04 FF FF 04 00 DB 1C")
        << CommandPacket(OPCODE_LINE_CARD_INFO).build() << hex("04 FF FF 04 00 DB 1C");
}

void tst_CommandPacket::wireBytes()
{
    QFETCH(QByteArray, wire);
    QFETCH(QByteArray, expected);
    QCOMPARE(wire, expected);
}

void tst_CommandPacket::setFromStream_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("local");

    QTest::newRow("04 FF FF 04 00 DB 1C") << hex("04 FF FF 04 00 DB 1C") << true << hex("04 FF FF");
    QTest::newRow("04 FF FF 04 00 DB 1D (bad check)")
        << hex("04 FF FF 04 00 DB 1D") << false << QByteArray();
    QTest::newRow("04 FE FF 04 00 DB 1C (bad body)")
        << hex("04 FE FF 04 00 DB 1C") << false << QByteArray();
}

void tst_CommandPacket::setFromStream()
{
    QFETCH(QByteArray, stream);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, local);

    QByteArray buffer = stream;
    RawPacket packet;
    QCOMPARE(packet.setFromStream(2, buffer), accepted);
    QVERIFY(buffer.isEmpty());
    if (accepted) {
        QCOMPARE(packet.card, 2);
        QCOMPARE(packet.raw, stream);
        QCOMPARE(packet.rawLength, stream.size());
        QCOMPARE(packet.local, local);
    }
}

void tst_CommandPacket::toLocalFormatOfShortRaw_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("local");

    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("00 00 00") << hex("00 00 00") << QByteArray();
    QTest::newRow("01 00 FF FF") << hex("01 00 FF FF") << QByteArray();
    QTest::newRow("41 02 00 FF FF") << hex("41 02 00 FF FF") << hex("41");
}

void tst_CommandPacket::toLocalFormatOfShortRaw()
{
    QFETCH(QByteArray, raw);
    QFETCH(QByteArray, local);
    QCOMPARE(RawPacket::toLocalFormat(raw), local);
}

QTEST_APPLESS_MAIN(tst_CommandPacket)
#include "tst_commandpacket.moc"
