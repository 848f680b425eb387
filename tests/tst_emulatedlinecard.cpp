#include "tests/support/EmulatedChipFixture.h"
#include "emulator/EmulatorCodec.h"
#include "tests/support/TestBytes.h"

#include <QtTest>

// The emulated line card: its replies, the state its commands leave, and
// the faults, extra answers and slow answers a test asks of it.
class tst_EmulatedLineCard : public EmulatedChipFixture
{
    Q_OBJECT

private slots:
    void init();

    void replyBodies_data();
    void replyBodies();
    void cardStateFollowsCommands();

    void cardFaults_data();
    void cardFaults();
    void extraAnswers_data();
    void extraAnswers();
    void slowCard_data();
    void slowCard();
};

void tst_EmulatedLineCard::init()
{
    makeEmulator(EmulatedD2xx::Timing::Instant);
}

void tst_EmulatedLineCard::replyBodies_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("frame interval 1250") << packet(OPCODE_FRAME_INTERVAL, 1250) << hex("03E604");
    QTest::newRow("frame interval 510: digits as sent")
        << packet(OPCODE_FRAME_INTERVAL, 510) << hex("03FF02");
    // 770001 = 0x000BBFD1; second word 0xA1B2C3D4
    QTest::newRow("identify card 1") << packet(OPCODE_LINE_CARD_INFO, 1, 0x80)
                                     << hex("0401FF"
                                            "2104"
                                            "0201"
                                            "90"
                                            "01020304"
                                            "D1BF0B00"
                                            "D4C3B2A1");
    QTest::newRow("line-card information") << packet(OPCODE_LINE_CARD_INFO)
                                           << hex("04FFFF"
                                                  "2104"
                                                  "0201"
                                                  "90"
                                                  "01020304"
                                                  "D1BF0B00"
                                                  "D4C3B2A1");
    QTest::newRow("LED red") << packet(OPCODE_LED_RED) << hex("21FFFF");
    QTest::newRow("LED green") << packet(OPCODE_LED_GREEN) << hex("22FFFF");
    QTest::newRow("LED yellow") << packet(OPCODE_LED_YELLOW) << hex("23FFFF");
    QTest::newRow("LED off") << packet(OPCODE_LED_OFF) << hex("28FFFF");
    QTest::newRow("LED on") << packet(OPCODE_LED_ON) << hex("29FFFF");
    QTest::newRow("LED flash slow") << packet(OPCODE_LED_FLASH_SLOW) << hex("2AFFFF");
    QTest::newRow("flash version: equal by default") << packet(GET_FLASH_VER)
                                                     << hex("06FFFF"
                                                            "02000100"
                                                            "02000100");
    QTest::newRow("reflash action") << packet(REFLASH_ACTION) << hex("07FFFF01");
    QTest::newRow("listen: configured entries") << packet(OPCODE_LISTEN)
                                                << hex("11"
                                                       "0102800405FF");
    QTest::newRow("continuity: configured entries") << packet(OPCODE_CONTINUITY)
                                                    << hex("13"
                                                           "0A000C0D");
    QTest::newRow("beacon: confused") << packet(OPCODE_BEACON) << hex("00FFFF");
    QTest::newRow("clamp: confused") << packet(OPCODE_CLAMP) << hex("00FFFF");
    QTest::newRow("bootloader: unknown command, message 7")
        << packet(OPCODE_BOOTLOADER, 0, 0, hex("80011000"))
        << hex("02FFFF"
               "3B07");
    QTest::newRow("bootloader: version, data reply") << packet(OPCODE_BOOTLOADER, 0, 0, hex("19"))
                                                     << hex("02FFFF"
                                                            "3A"
                                                            "E10203E4");
    QTest::newRow("unknown opcode: confused") << packet(0x3F) << hex("00FFFF");
}

void tst_EmulatedLineCard::replyBodies()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, body);
    emu->addCard(identity(770001));
    emu->card(0)->setListenEntries(hex("0102800405FF"));
    emu->card(0)->setContinuityEntries(hex("0A000C0D"));
    openController();

    transmit(command);
    const QByteArray received = readAll();
    QCOMPARE(EmulatorCodec::hex(received.left(command.size() + 2)),
             EmulatorCodec::hex('\0' + ('\x55' + command)));
    int frames = 0;
    const QList<QByteArray> streams = slotStreams(received.mid(command.size() + 2), 1, &frames);
    QCOMPARE(streams.size(), 1);
    // One frame per reply byte: a packet is its body plus four bytes.
    QCOMPARE(frames, body.size() + 4);
    QByteArray got;
    QCOMPARE(classify(streams.at(0), &got), QByteArray(body.startsWith('\0') ? "confused" : "ok"));
    QCOMPARE(EmulatorCodec::hex(got), EmulatorCodec::hex(body));
    QCOMPARE(emu->card(0)->receivedCommands(),
             QList<QByteArray>{EmulatorCodec::decodePacket(command)});
}

void tst_EmulatedLineCard::cardStateFollowsCommands()
{
    emu->addCard(identity(1));
    openController();
    QCOMPARE(emu->card(0)->ledState(), 0);
    QCOMPARE(emu->frameIntervalUs(), 12500u);

    QByteArray body;
    exchange(packet(OPCODE_LED_RED), 1);
    QCOMPARE(emu->card(0)->ledState(), int(OPCODE_LED_RED));
    exchange(packet(OPCODE_LED_GREEN), 1);
    QCOMPARE(emu->card(0)->ledState(), int(OPCODE_LED_GREEN));
    exchange(packet(OPCODE_BEACON), 1); // not understood: the LED stays
    QCOMPARE(emu->card(0)->ledState(), int(OPCODE_LED_GREEN));

    // The controller takes the frame interval from the command it relays:
    // 344 counts of 10 us; 255 is sent as the digits FF 01.
    exchange(packet(OPCODE_FRAME_INTERVAL, 344), 1);
    QCOMPARE(emu->frameIntervalUs(), 3440u);
    exchange(packet(OPCODE_FRAME_INTERVAL, 255), 1);
    QCOMPARE(emu->frameIntervalUs(), 2550u);

    // A reflash that succeeds installs the carried version; a failing one does not.
    emu->card(0)->setFlashVersions(0x00020000, 0x00010000);
    QCOMPARE(classify(exchange(packet(GET_FLASH_VER), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(EmulatorCodec::hex(body), EmulatorCodec::hex(hex("06FFFF"
                                                              "00000200"
                                                              "00000100")));
    emu->card(0)->setReflashSucceeds(false);
    QCOMPARE(classify(exchange(packet(REFLASH_ACTION), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(EmulatorCodec::hex(body), EmulatorCodec::hex(hex("07FFFF00")));
    emu->card(0)->setReflashSucceeds(true);
    QCOMPARE(classify(exchange(packet(REFLASH_ACTION), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(EmulatorCodec::hex(body), EmulatorCodec::hex(hex("07FFFF01")));
    QCOMPARE(classify(exchange(packet(GET_FLASH_VER), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(EmulatorCodec::hex(body), EmulatorCodec::hex(hex("06FFFF"
                                                              "00000200"
                                                              "00000200")));

    QCOMPARE(emu->card(0)->commandsReceived(OPCODE_LED_RED), 1);
    QCOMPARE(emu->card(0)->commandsReceived(OPCODE_FRAME_INTERVAL), 2);
    QCOMPARE(emu->card(0)->commandsReceived(REFLASH_ACTION), 2);
    QCOMPARE(emu->card(0)->commandsReceived(OPCODE_CLAMP), 0);
    const QList<QByteArray> bodies = emu->card(0)->receivedCommands();
    QCOMPARE(bodies.size(), 9);
    QCOMPARE(EmulatorCodec::hex(bodies.at(4)), QByteArray("03 FF 01"));
}

void tst_EmulatedLineCard::cardFaults_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<int>("arg");
    QTest::addColumn<QByteArray>("outcomes"); // card 0, for LED red, green, yellow
    QTest::addColumn<int>("led");
    QTest::addColumn<int>("received");

    QTest::newRow("drop reply to 2")
        << QByteArray("dropReplyTo") << 2 << QByteArray("ok none ok") << 0x23 << 3;
    QTest::newRow("drop next 2") << QByteArray("dropNextReplies") << 2 << QByteArray("none none ok")
                                 << 0x23 << 3;
    QTest::newRow("corrupt reply to 3")
        << QByteArray("corruptReplyTo") << 3 << QByteArray("ok ok corrupt") << 0x23 << 3;
    QTest::newRow("corrupt next") << QByteArray("corruptNextReply") << 0
                                  << QByteArray("corrupt ok ok") << 0x23 << 3;
    QTest::newRow("confused reply to 3: LED not switched")
        << QByteArray("confusedReplyTo") << 3 << QByteArray("ok ok confused") << 0x22 << 3;
    QTest::newRow("confused next 2") << QByteArray("confusedNextReplies") << 2
                                     << QByteArray("confused confused ok") << 0x23 << 3;
    QTest::newRow("pulled out at 2")
        << QByteArray("stopAnsweringFrom") << 2 << QByteArray("ok none none") << 0x21 << 1;
    QTest::newRow("pulled out after 2 more")
        << QByteArray("stopAnsweringAfter") << 2 << QByteArray("ok ok none") << 0x22 << 2;
}

void tst_EmulatedLineCard::cardFaults()
{
    QFETCH(QByteArray, fault);
    QFETCH(int, arg);
    QFETCH(QByteArray, outcomes);
    QFETCH(int, led);
    QFETCH(int, received);
    emu->addCard(identity(1));
    emu->addCard(identity(2)); // the healthy neighbour
    openController();

    if (fault == "dropReplyTo")
        emu->card(0)->dropReplyTo(arg);
    else if (fault == "dropNextReplies")
        emu->card(0)->dropNextReplies(arg);
    else if (fault == "corruptReplyTo")
        emu->card(0)->corruptReplyTo(arg);
    else if (fault == "corruptNextReply")
        emu->card(0)->corruptNextReply();
    else if (fault == "confusedReplyTo")
        emu->card(0)->confusedReplyTo(arg);
    else if (fault == "confusedNextReplies")
        emu->card(0)->confusedNextReplies(arg);
    else if (fault == "stopAnsweringFrom")
        emu->card(0)->stopAnsweringFrom(arg);
    else if (fault == "stopAnsweringAfter")
        emu->card(0)->stopAnsweringAfter(arg);
    else
        QFAIL("unknown fault");

    QList<QByteArray> seen;
    for (quint8 opcode : {OPCODE_LED_RED, OPCODE_LED_GREEN, OPCODE_LED_YELLOW}) {
        const QList<QByteArray> streams = exchange(packet(opcode), 2);
        QCOMPARE(streams.size(), 2); // both slotCount in every frame
        seen.append(classify(streams.at(0)));
        QByteArray body;
        QCOMPARE(classify(streams.at(1), &body), QByteArray("ok"));
        QCOMPARE(quint8(body.at(0)), opcode);
    }
    QCOMPARE(seen.join(' '), outcomes);
    QCOMPARE(emu->card(0)->ledState(), led);
    QCOMPARE(emu->card(0)->receivedCommands().size(), received);
    QCOMPARE(emu->card(1)->ledState(), int(OPCODE_LED_YELLOW));
}

// Answers too many: the card answers a command twice, or a packet nobody
// asked for comes right before or after the answer (or where it would be).
void tst_EmulatedLineCard::extraAnswers_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<QByteArray>("bodies"); // the packets on card 0's slot, in order

    QTest::newRow("answered twice") << QByteArray("dup") << QByteArray("21FFFF 21FFFF");
    QTest::newRow("a stray before") << QByteArray("stray") << QByteArray("02FFFF3B01 21FFFF");
    QTest::newRow("a stray after") << QByteArray("stray-after") << QByteArray("21FFFF 02FFFF3B01");
    QTest::newRow("a stray where the dropped answer would be")
        << QByteArray("stray drop") << QByteArray("02FFFF3B01");
    QTest::newRow("answered twice, dropped: nothing") << QByteArray("dup drop") << QByteArray();
}

void tst_EmulatedLineCard::extraAnswers()
{
    QFETCH(QByteArray, fault);
    QFETCH(QByteArray, bodies);
    emu->addCard(identity(1));
    openController();
    const QByteArray stray = hex("02FFFF3B01");
    for (const QByteArray &f : fault.split(' ')) {
        if (f == "dup")
            emu->card(0)->duplicateReplyTo(1);
        else if (f == "stray")
            emu->card(0)->strayBefore(1, stray);
        else if (f == "stray-after")
            emu->card(0)->strayAfter(1, stray);
        else if (f == "drop")
            emu->card(0)->dropReplyTo(1);
    }

    const QList<QByteArray> streams = exchange(packet(OPCODE_LED_RED), 1);
    QCOMPARE(streams.size(), 1);
    QList<QByteArray> seen;
    QByteArray raw;
    for (char b : streams.at(0)) {
        if (raw.isEmpty() && quint8(b) == filler)
            continue;
        raw.append(b);
        if (!EmulatorCodec::isCompletePacket(raw))
            continue;
        QCOMPARE(EmulatorCodec::fletcher16(raw), quint16(0));
        seen << EmulatorCodec::decodePacket(raw).toHex().toUpper();
        raw.clear();
    }
    QVERIFY(raw.isEmpty());
    QCOMPARE(seen, bodies.isEmpty() ? QList<QByteArray>() : bodies.split(' '));
    QCOMPARE(emu->card(0)->ledState(), int(OPCODE_LED_RED)); // carried out once
    QCOMPARE(emu->card(0)->receivedCommands().size(), 1);
}

// A slow card works on one command at a time: the commands that reach it
// while it makes a slow answer are carried out and answered afterwards, in
// order. Three LED commands, red (1), green (2), yellow (3), to a card and
// its healthy neighbour; the LED shows what the card has carried out.
void tst_EmulatedLineCard::slowCard_data()
{
    QTest::addColumn<bool>("from"); // slowRepliesFrom, else slowReplyTo
    QTest::addColumn<int>("k");
    QTest::addColumn<QByteArray>("early"); // LED opcodes answered at once, card 0
    QTest::addColumn<int>("ledEarly");     // card 0's LED before the slow answer
    QTest::addColumn<int>("waitMs");       // until every answer is in

    QTest::newRow("2 slow: 3 waits behind it") << false << 2 << QByteArray("21") << 0x21 << 400;
    QTest::newRow("3 slow") << false << 3 << QByteArray("21 22") << 0x22 << 400;
    QTest::newRow("from 2: each answer in turn") << true << 2 << QByteArray("21") << 0x21 << 800;
}

void tst_EmulatedLineCard::slowCard()
{
    QFETCH(bool, from);
    QFETCH(int, k);
    QFETCH(QByteArray, early);
    QFETCH(int, ledEarly);
    QFETCH(int, waitMs);
    emu->addCard(identity(1));
    emu->addCard(identity(2));
    openController();
    constexpr int delayMs = 300;
    if (from)
        emu->card(0)->slowRepliesFrom(k, delayMs);
    else
        emu->card(0)->slowReplyTo(k, delayMs);

    // Each command's echo, then the frames that came with it at once.
    const QList<quint8> leds = {OPCODE_LED_RED, OPCODE_LED_GREEN, OPCODE_LED_YELLOW};
    QByteArray atOnce;
    for (quint8 opcode : leds) {
        const QList<QByteArray> reply = exchange(packet(opcode), 2);
        QCOMPARE(reply.size(), 2);
        QByteArray body;
        QCOMPARE(classify(reply.at(1), &body), QByteArray("ok"));
        QCOMPARE(quint8(body.at(0)), opcode);
        if (classify(reply.at(0), &body) == "ok")
            atOnce += EmulatorCodec::hex(body.left(1)) + ' ';
    }
    QCOMPARE(atOnce.trimmed(), early);
    QCOMPARE(emu->card(0)->ledState(), ledEarly);

    // The rest arrives once the card has worked through its queue.
    const QByteArray late = readUntil(1000000, waitMs);
    const QList<QByteArray> lateStreams = slotStreams(late, 2);
    QCOMPARE(lateStreams.size(), 2);
    QByteArray order;
    QByteArray stream = lateStreams.at(0);
    while (!stream.isEmpty()) {
        QByteArray raw;
        while (!stream.isEmpty() && !EmulatorCodec::isCompletePacket(raw)) {
            raw.append(stream.at(0));
            stream.remove(0, 1);
        }
        if (!EmulatorCodec::isCompletePacket(raw))
            break;
        QCOMPARE(EmulatorCodec::fletcher16(raw), quint16(0));
        order += EmulatorCodec::hex(EmulatorCodec::decodePacket(raw).left(1)) + ' ';
        while (!stream.isEmpty() && stream.at(0) == filler)
            stream.remove(0, 1);
    }
    QCOMPARE((atOnce + order).trimmed(), QByteArray("21 22 23"));
    QCOMPARE(emu->card(0)->ledState(), int(OPCODE_LED_YELLOW));
    QCOMPARE(emu->card(1)->ledState(), int(OPCODE_LED_YELLOW));
}

QTEST_GUILESS_MAIN(tst_EmulatedLineCard)
#include "tst_emulatedlinecard.moc"
