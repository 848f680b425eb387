#include "controller/CommandPacket.h"
#include "controller/Opcodes.h"
#include "controller/PacketCodec.h"
#include "controller/RawPacketGetter.h"
#include "tests/support/TestBytes.h"

#include <QtTest>

// Decoded frame: slot bytes followed by the terminator's image.
static QByteArray frame(const QByteArray &slotBytes)
{
    return slotBytes + hex("00");
}

class tst_RawPacketGetter : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void firstFrameCreatesStreams();
    void slotCountChange_data();
    void slotCountChange();
    void packetCompletesOnItsLastByte();
    void packetsInSlotOrder();
    void badChecksumEmptiesStream();
    void leadingJunkResynchronises();
    void clearStreamsKeepsCount();
    void longStreamIsEmptied();

private:
    // Feeds each slot's bytes column by column; pads short columns with 0xFF.
    QVector<RawPacket> feed(const QList<QByteArray> &perSlot);

    RawPacketGetter getter;
};

void tst_RawPacketGetter::init()
{
    getter = RawPacketGetter();
}

QVector<RawPacket> tst_RawPacketGetter::feed(const QList<QByteArray> &perSlot)
{
    int longest = 0;
    for (const QByteArray &bytes : perSlot)
        longest = qMax(longest, bytes.size());
    QVector<RawPacket> packets;
    for (int i = 0; i < longest; ++i) {
        QByteArray slotBytes;
        for (const QByteArray &bytes : perSlot)
            slotBytes.append(i < bytes.size() ? bytes.at(i) : '\xFF');
        if (!getter.addFrame(frame(slotBytes)))
            return {};
        packets += getter.getAllCompletePackets();
    }
    return packets;
}

void tst_RawPacketGetter::firstFrameCreatesStreams()
{
    QVERIFY(!getter.addFrame(QByteArray()));
    QCOMPARE(getter.streamCount(), 0);

    QVERIFY(getter.addFrame(hex("05 00")));
    QCOMPARE(getter.streamCount(), 1);
    QCOMPARE(getter.stream(0), hex("05"));
    QVERIFY(getter.getAllCompletePackets().isEmpty());
}

void tst_RawPacketGetter::slotCountChange_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<int>("streams");

    QTest::newRow("2 slots then 3") << hex("11 22 00") << hex("33 44 55 00") << 3;
    QTest::newRow("1 slot then 0") << hex("11 00") << hex("00") << 0;
}

void tst_RawPacketGetter::slotCountChange()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(int, streams);

    QVERIFY(getter.addFrame(first));
    QVERIFY(!getter.addFrame(second));
    QCOMPARE(getter.streamCount(), streams);
    for (int i = 0; i < streams; ++i)
        QCOMPARE(getter.stream(i), second.mid(i, 1));
    // The next frame of the new size is accepted normally.
    QVERIFY(getter.addFrame(second));
}

void tst_RawPacketGetter::packetCompletesOnItsLastByte()
{
    // 5-byte packet: body 41, code 02, marker, check bytes.
    QByteArray packet = hex("41 02 00");
    PacketCodec::appendCheckBytes(packet);
    QCOMPARE(packet.size(), 5);

    for (int i = 0; i < 4; ++i) {
        QVERIFY(getter.addFrame(frame(packet.mid(i, 1))));
        QVERIFY(getter.getAllCompletePackets().isEmpty());
    }
    QVERIFY(getter.addFrame(frame(packet.mid(4, 1))));
    const QVector<RawPacket> packets = getter.getAllCompletePackets();
    QCOMPARE(packets.size(), 1);
    QCOMPARE(packets.at(0).card, 0);
    QCOMPARE(packets.at(0).raw, packet);
    QCOMPARE(packets.at(0).local, hex("41"));
    QVERIFY(getter.stream(0).isEmpty());
}

void tst_RawPacketGetter::packetsInSlotOrder()
{
    const QByteArray reply = CommandPacket(OPCODE_LED_GREEN).build();
    // Slots 0 and 2 finish in the same frame, slot 1 stays silent.
    const QVector<RawPacket> packets = feed({reply, QByteArray(), reply});
    QCOMPARE(packets.size(), 2);
    QCOMPARE(packets.at(0).card, 0);
    QCOMPARE(packets.at(1).card, 2);
    QCOMPARE(packets.at(1).local, hex("22 FF FF"));
}

void tst_RawPacketGetter::badChecksumEmptiesStream()
{
    QByteArray corrupt = CommandPacket(OPCODE_LED_GREEN).build();
    corrupt[1] = '\x01';
    QVERIFY(feed({corrupt}).isEmpty());
    QVERIFY(getter.stream(0).isEmpty());
}

void tst_RawPacketGetter::leadingJunkResynchronises()
{
    // Bytes left from a broken packet make the next packet's checksum fail;
    // the packet after it arrives whole.
    const QByteArray reply = CommandPacket(OPCODE_FRAME_INTERVAL, 1250).build();
    const QVector<RawPacket> packets = feed({hex("33 44") + reply + reply});
    QCOMPARE(packets.size(), 1);
    QCOMPARE(packets.at(0).local, hex("03 E6 04"));
}

void tst_RawPacketGetter::clearStreamsKeepsCount()
{
    QVERIFY(getter.addFrame(hex("11 22 00")));
    getter.clearStreams();
    QCOMPARE(getter.streamCount(), 2);
    QVERIFY(getter.stream(0).isEmpty());
    QVERIFY(getter.stream(1).isEmpty());
    QVERIFY(getter.addFrame(hex("33 44 00")));
}

void tst_RawPacketGetter::longStreamIsEmptied()
{
    for (int i = 0; i < RawPacketGetter::maxStreamBytes - 1; ++i)
        QVERIFY(getter.addFrame(hex("07 00")));
    QCOMPARE(getter.stream(0).size(), RawPacketGetter::maxStreamBytes - 1);
    QVERIFY(getter.addFrame(hex("07 00")));
    QVERIFY(getter.stream(0).isEmpty());

    // A packet that follows is received whole.
    const QVector<RawPacket> packets = feed({CommandPacket(OPCODE_LED_RED).build()});
    QCOMPARE(packets.size(), 1);
}

QTEST_APPLESS_MAIN(tst_RawPacketGetter)
#include "tst_rawpacketgetter.moc"
