#include "bootloader/BslPacket.h"
#include "tests/support/TestBytes.h"

#include <QtTest>

#include <climits>

static QByteArray counting(int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes.append(char(i));
    return bytes;
}

class tst_BslPacket : public QObject
{
    Q_OBJECT

private slots:
    void encode_data();
    void encode();
    void addressOnlyForAddressOpcodes();
    void decode_data();
    void decode();
    void values_data();
    void values();
    void readAtOffset_data();
    void readAtOffset();
};

void tst_BslPacket::encode_data()
{
    QTest::addColumn<int>("opcode");
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("22 40 D0 00 + 64 bytes")
        << int(BSL_RX_APP_CODE) << 0xD040 << counting(64) << (hex("22 40 D0 00") + counting(64));
    QTest::newRow("11 + 16 bytes, address not sent")
        << int(BSL_RX_PASSWORD) << 0x10C0 << counting(16) << (hex("11") + counting(16));
    QTest::newRow("18 C0 10 00 40 00")
        << int(BSL_TX_DATA_BLOCK) << 0x10C0 << hex("40 00") << hex("18 C0 10 00 40 00");
    QTest::newRow("12 C0 10 00") << int(BSL_ERASE_SEGMENT) << 0x10C0 << QByteArray()
                                 << hex("12 C0 10 00");
    QTest::newRow("19") << int(BSL_TX_BSL_VERSION) << 0 << QByteArray() << hex("19");
    QTest::newRow("03, address 400 not sent")
        << int(BSL_FAST_FRAME) << 400 << QByteArray() << hex("03");
    QTest::newRow("1F FE 03 00") << int(BSL_CAPACITY_CHECK) << 0x03FE << QByteArray()
                                 << hex("1F FE 03 00");
    QTest::newRow("16 FF FF 00 00 20")
        << int(BSL_CRC_CHECK) << 0xFFFF << hex("00 20") << hex("16 FF FF 00 00 20");
    QTest::newRow("21 00 D0 00 + IV")
        << int(BSL_RX_CRYPTO_IV) << 0xD000 << counting(16) << (hex("21 00 D0 00") + counting(16));
    QTest::newRow("22 C0 FF 00 + 10 bytes (short last page)")
        << int(BSL_RX_APP_CODE) << 0xFFC0 << counting(10) << (hex("22 C0 FF 00") + counting(10));
    QTest::newRow("13") << int(BSL_TOGGLE_INFO_LOCK) << 0x10C0 << QByteArray() << hex("13");
}

void tst_BslPacket::encode()
{
    QFETCH(int, opcode);
    QFETCH(int, address);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, expected);

    QCOMPARE(BslPacket(quint8(opcode), quint16(address), data).encode().toHex(' '),
             expected.toHex(' '));
}

void tst_BslPacket::addressOnlyForAddressOpcodes()
{
    const QList<int> withAddress = {0x10, 0x12, 0x16, 0x17, 0x18, 0x1C, 0x1F, 0x21, 0x22};
    for (int opcode = 0; opcode < 256; ++opcode) {
        const QByteArray wire = BslPacket(quint8(opcode), 0x1234, hex("AA")).encode();
        const QByteArray expected = withAddress.contains(opcode)
                                        ? QByteArray(1, char(opcode)) + hex("34 12 00 AA")
                                        : QByteArray(1, char(opcode)) + hex("AA");
        QVERIFY2(wire == expected, qPrintable(QString::number(opcode, 16)));
    }
}

void tst_BslPacket::decode_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("messageCode");

    QTest::newRow("02 FF FF 3B 05: message 5") << hex("02 FF FF 3B 05") << 0x3B << hex("05") << 5;
    QTest::newRow("02 FF FF 3A 05: data, not a message")
        << hex("02 FF FF 3A 05") << 0x3A << hex("05") << int(BSL_NOT_A_MESSAGE);
    QTest::newRow("02 FF FF 3B 00 07: message 0")
        << hex("02 FF FF 3B 00 07") << 0x3B << hex("00 07") << 0;
    QTest::newRow("02 FF FF 3B 01: message 1") << hex("02 FF FF 3B 01") << 0x3B << hex("01") << 1;
    QTest::newRow("02 FF FF 3B: message without code")
        << hex("02 FF FF 3B") << 0x3B << QByteArray() << 0;
    QTest::newRow("02 FF FF 41 00: other type")
        << hex("02 FF FF 41 00") << 0x41 << hex("00") << int(BSL_NOT_A_MESSAGE);
    QTest::newRow("02 3B 3B: too short")
        << hex("02 3B 3B") << 0 << QByteArray() << int(BSL_NOT_A_MESSAGE);
    QTest::newRow("empty") << QByteArray() << 0 << QByteArray() << int(BSL_NOT_A_MESSAGE);
}

void tst_BslPacket::decode()
{
    QFETCH(QByteArray, packet);
    QFETCH(int, type);
    QFETCH(QByteArray, data);
    QFETCH(int, messageCode);

    const BslReply reply = BslReply::fromPacket(packet);
    QCOMPARE(int(reply.type), type);
    QCOMPARE(reply.data.toHex(' '), data.toHex(' '));
    QCOMPARE(int(reply.messageCode()), messageCode);
    QCOMPARE(reply.isDataReply(), type == BSL_DATA_REPLY);
    QCOMPARE(reply.isMessageReply(), type == BSL_MESSAGE_REPLY);
}

void tst_BslPacket::values_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint>("value16");
    QTest::addColumn<uint>("value32");

    QTest::newRow("no data") << QByteArray() << 0u << 0u;
    QTest::newRow("34") << hex("34") << 0x34u << 0x34u;
    QTest::newRow("34 12: upper 16 bits 0") << hex("34 12") << 0x1234u << 0x1234u;
    QTest::newRow("56 34 12") << hex("56 34 12") << 0x3456u << 0x123456u;
    QTest::newRow("78 56 34 12") << hex("78 56 34 12") << 0x5678u << 0x12345678u;
    QTest::newRow("78 56 34 12 AA: extra byte ignored")
        << hex("78 56 34 12 AA") << 0x5678u << 0x12345678u;
    QTest::newRow("FF FF FF FF") << hex("FF FF FF FF") << 0xFFFFu << 0xFFFFFFFFu;
    QTest::newRow("80 00 00 80") << hex("80 00 00 80") << 0x0080u << 0x80000080u;
}

void tst_BslPacket::values()
{
    QFETCH(QByteArray, data);
    QFETCH(uint, value16);
    QFETCH(uint, value32);

    BslReply reply = BslReply::fromPacket(hex("02 FF FF 3A") + data);
    QCOMPARE(uint(reply.value16()), value16);
    QCOMPARE(uint(reply.value32()), value32);
}

void tst_BslPacket::readAtOffset_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<uint>("value16");
    QTest::addColumn<uint>("value32");

    // Bytes 01 02 03 04 05.
    QTest::newRow("offset 1") << 1 << 0x0302u << 0x05040302u;
    QTest::newRow("offset 3") << 3 << 0x0504u << 0x0504u;
    QTest::newRow("offset 4") << 4 << 0x05u << 0x05u;
    QTest::newRow("offset 5") << 5 << 0u << 0u;
    QTest::newRow("offset -1") << -1 << 0x0100u << 0x03020100u;
    QTest::newRow("offset -4") << -4 << 0u << 0u;
    QTest::newRow("offset INT_MAX") << INT_MAX << 0u << 0u;
    QTest::newRow("offset INT_MIN") << INT_MIN << 0u << 0u;
}

void tst_BslPacket::readAtOffset()
{
    QFETCH(int, offset);
    QFETCH(uint, value16);
    QFETCH(uint, value32);

    const QByteArray bytes = hex("01 02 03 04 05");
    QCOMPARE(uint(BslReply::readLe16(bytes, offset)), value16);
    QCOMPARE(uint(BslReply::readLe32(bytes, offset)), value32);
}

QTEST_APPLESS_MAIN(tst_BslPacket)
#include "tst_bslpacket.moc"
