#include "tests/support/EmulatedChipFixture.h"
#include "emulator/EmulatorCodec.h"
#include "tests/support/TestBytes.h"

#include <QtTest>

// The emulated controller: what it listens to and drops, how it cuts the
// cards' answers into frames, and the faults it puts on the line.
class tst_EmulatedController : public EmulatedChipFixture
{
    Q_OBJECT

private slots:
    void init();

    void severalCards_data();
    void severalCards();
    void shorterReplyIsFilled();
    void noCardNoFrames();

    void droppedTransmissions_data();
    void droppedTransmissions();
    void badPacketDoesNotHideGoodOne();

    void lineFaults_data();
    void lineFaults();
};

void tst_EmulatedController::init()
{
    makeEmulator(EmulatedD2xx::Timing::Instant);
}

// The information command goes to every card; identify to the card it
// names (card number n answers in slot n - 1), the others keep quiet.
void tst_EmulatedController::severalCards_data()
{
    QTest::addColumn<int>("cards");
    QTest::addColumn<int>("named"); // 0: the information command, else identify
    QTest::addColumn<QList<int>>("answering");

    QTest::newRow("two cards, information") << 2 << 0 << QList<int>{0, 1};
    QTest::newRow("three cards, information") << 3 << 0 << QList<int>{0, 1, 2};
    QTest::newRow("three cards, identify 2: slot 1 only") << 3 << 2 << QList<int>{1};
    QTest::newRow("two cards, identify 1: slot 0 only") << 2 << 1 << QList<int>{0};
    QTest::newRow("two cards, identify 3: nobody") << 2 << 3 << QList<int>{};
}

void tst_EmulatedController::severalCards()
{
    QFETCH(int, cards);
    QFETCH(int, named);
    QFETCH(QList<int>, answering);
    for (int i = 0; i < cards; ++i)
        QCOMPARE(emu->addCard(identity(1000 + quint32(i), quint8(i + 1), quint8(i + 2))), i);
    QCOMPARE(emu->cardCount(), cards);
    openController();

    const QByteArray command = named == 0 ? packet(OPCODE_LINE_CARD_INFO)
                                          : packet(OPCODE_LINE_CARD_INFO, quint16(named), 0x80);
    transmit(command);
    const QByteArray received = readAll();
    QCOMPARE(received.left(command.size() + 2), QByteArray(1, '\0') + '\x55' + command);
    if (answering.isEmpty()) {
        QCOMPARE(received.size(), command.size() + 2); // no frames at all
        return;
    }
    int frames = 0;
    const QList<QByteArray> streams = slotStreams(received.mid(command.size() + 2), cards, &frames);
    QCOMPARE(streams.size(), cards);
    QCOMPARE(frames, 24);
    for (int i = 0; i < cards; ++i) {
        QByteArray body;
        if (!answering.contains(i)) {
            QCOMPARE(classify(streams.at(i)), QByteArray("none"));
            continue;
        }
        QCOMPARE(classify(streams.at(i), &body), QByteArray("ok"));
        QCOMPARE(body.size(), 20);
        QCOMPARE(quint8(body.at(0)), quint8(0x04));
        QCOMPARE(quint8(body.at(5)), quint8(i + 1));           // block manufacturer
        QCOMPARE(quint8(body.at(6)), quint8(i + 2));           // block type
        QCOMPARE(quint8(body.at(12)), quint8(1000 + i - 768)); // serial, low byte
        QCOMPARE(quint8(body.at(13)), quint8(3));
        QCOMPARE(emu->card(i)->commandsReceived(OPCODE_LINE_CARD_INFO), 1);
    }
}

void tst_EmulatedController::shorterReplyIsFilled()
{
    emu->addCard(identity(1));
    emu->addCard(identity(2));
    emu->card(0)->setListenEntries(hex("010203040506"
                                       "0708090A0B0C"));
    openController();

    const QList<QByteArray> streams = exchange(packet(OPCODE_LISTEN), 2);
    QCOMPARE(streams.size(), 2);
    QCOMPARE(streams.at(0).size(), 13 + 4);
    QByteArray body;
    QCOMPARE(classify(streams.at(0), &body), QByteArray("ok"));
    QCOMPARE(body.size(), 13);
    // Card 1 sends "11" as a five-byte packet, then fills its slot.
    QCOMPARE(classify(streams.at(1), &body), QByteArray("ok"));
    QCOMPARE(EmulatorCodec::hex(body), QByteArray("11"));
    QCOMPARE(EmulatorCodec::hex(streams.at(1).mid(5)), EmulatorCodec::hex(QByteArray(12, filler)));
}

void tst_EmulatedController::noCardNoFrames()
{
    openController();
    const QByteArray command = packet(OPCODE_LINE_CARD_INFO, 1, 0x80);
    transmit(command);
    QCOMPARE(readAll().size(), command.size() + 2);
    QCOMPARE(emu->droppedPackets(), 0);
}

void tst_EmulatedController::droppedTransmissions_data()
{
    QTest::addColumn<int>("lastMask"); // final FT_SetBitMode mask (mode 0x20)
    QTest::addColumn<int>("lastMode");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("wordLength");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<int>("parity");
    QTest::addColumn<bool>("withBreak");
    QTest::addColumn<char>("sync");
    QTest::addColumn<QByteArray>("packets");
    QTest::addColumn<QByteArray>("reason");

    const QByteArray led = packet(OPCODE_LED_GREEN);
    QByteArray badSum = led;
    badSum[0] = char(0x23); // the opcode changes, the check bytes do not
    QTest::newRow("resting pins 32") << 0x32 << 0x20 << 9600 << 8 << 2 << 0 << true << '\x55' << led
                                     << QByteArray("ignored-pins");
    QTest::newRow("CBUS1 an input (10)") << 0x10 << 0x20 << 9600 << 8 << 2 << 0 << true << '\x55'
                                         << led << QByteArray("ignored-pins");
    QTest::newRow("CBUS0 high (31)") << 0x31 << 0x20 << 9600 << 8 << 2 << 0 << true << '\x55' << led
                                     << QByteArray("ignored-pins");
    QTest::newRow("bit mode reset") << 0x30 << 0x00 << 9600 << 8 << 2 << 0 << true << '\x55' << led
                                    << QByteArray("ignored-pins");
    QTest::newRow("19200 baud") << 0x30 << 0x20 << 19200 << 8 << 2 << 0 << true << '\x55' << led
                                << QByteArray("ignored-line-settings");
    QTest::newRow("7 data bits") << 0x30 << 0x20 << 9600 << 7 << 2 << 0 << true << '\x55' << led
                                 << QByteArray("ignored-line-settings");
    QTest::newRow("1 stop bit") << 0x30 << 0x20 << 9600 << 8 << 0 << 0 << true << '\x55' << led
                                << QByteArray("ignored-line-settings");
    QTest::newRow("even parity") << 0x30 << 0x20 << 9600 << 8 << 2 << 2 << true << '\x55' << led
                                 << QByteArray("ignored-line-settings");
    QTest::newRow("no break") << 0x30 << 0x20 << 9600 << 8 << 2 << 0 << false << '\x55' << led
                              << QByteArray("no-break");
    QTest::newRow("no sync byte") << 0x30 << 0x20 << 9600 << 8 << 2 << 0 << true << '\xAA' << led
                                  << QByteArray("no-sync");
    QTest::newRow("bad checksum") << 0x30 << 0x20 << 9600 << 8 << 2 << 0 << true << '\x55' << badSum
                                  << QByteArray("checksum");
    QTest::newRow("packet cut short") << 0x30 << 0x20 << 9600 << 8 << 2 << 0 << true << '\x55'
                                      << led.left(4) << QByteArray("incomplete");
}

void tst_EmulatedController::droppedTransmissions()
{
    QFETCH(int, lastMask);
    QFETCH(int, lastMode);
    QFETCH(int, baud);
    QFETCH(int, wordLength);
    QFETCH(int, stopBits);
    QFETCH(int, parity);
    QFETCH(bool, withBreak);
    QFETCH(char, sync);
    QFETCH(QByteArray, packets);
    QFETCH(QByteArray, reason);
    emu->addCard();
    openController();
    QCOMPARE(emu->FT_SetBitMode(handle, quint8(lastMask), quint8(lastMode)), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_SetBaudRate(handle, uint32_t(baud)), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_SetDataCharacteristics(handle, quint8(wordLength), quint8(stopBits),
                                            quint8(parity)),
             FT_OK);

    transmit(packets, withBreak, sync);
    const QByteArray echo = (withBreak ? QByteArray(1, '\0') : QByteArray()) + sync + packets;
    QCOMPARE(EmulatorCodec::hex(readAll()), EmulatorCodec::hex(echo)); // no reply
    QCOMPARE(emu->droppedPackets(), 1);
    QCOMPARE(emu->droppedReasons(), QList<QByteArray>{reason});
    QVERIFY(emu->card(0)->receivedCommands().isEmpty());
    QCOMPARE(emu->card(0)->ledState(), 0);
}

void tst_EmulatedController::badPacketDoesNotHideGoodOne()
{
    emu->addCard();
    openController();
    QByteArray bad = packet(OPCODE_LED_RED);
    bad[1] = char(0xFE);
    const QList<QByteArray> streams = exchange(bad + packet(OPCODE_LED_YELLOW), 1);
    QByteArray body;
    QCOMPARE(classify(streams.value(0), &body), QByteArray("ok"));
    QCOMPARE(EmulatorCodec::hex(body), QByteArray("23 FF FF"));
    QCOMPARE(emu->droppedReasons(), QList<QByteArray>{"checksum"});
    QCOMPARE(emu->card(0)->commandsReceived(OPCODE_LED_RED), 0);
}

// A byte of the frames that carry one answer is damaged on the line; the
// answer after it comes through whole.
void tst_EmulatedController::lineFaults_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("malformed"); // frames that no longer decode

    QTest::newRow("flip: a changed byte") << int(LineFault::Flip) << 0;
    QTest::newRow("lose: a frame cut short") << int(LineFault::Lose) << 1;
    QTest::newRow("extra: a spurious byte") << int(LineFault::Extra) << 1;
}

void tst_EmulatedController::lineFaults()
{
    QFETCH(int, fault);
    QFETCH(int, malformed);
    emu->addCard();
    emu->setLineFault(0, 1, LineFault(fault));
    openController();

    const QByteArray command = packet(OPCODE_LED_RED);
    transmit(command);
    const QByteArray received = readAll().mid(command.size() + 2);
    int bad = 0;
    QByteArray stream;
    for (const QByteArray &piece : received.split('\0')) {
        if (piece.isEmpty())
            continue;
        QByteArray slotBytes;
        if (EmulatorCodec::decodeFrame(piece + '\0', &slotBytes) && slotBytes.size() == 1)
            stream += slotBytes;
        else
            ++bad;
    }
    QCOMPARE(bad, malformed);
    QCOMPARE(classify(stream), QByteArray("corrupt"));
    QCOMPARE(emu->card(0)->ledState(), int(OPCODE_LED_RED)); // the command itself arrived

    QByteArray body;
    QCOMPARE(classify(exchange(packet(OPCODE_LED_GREEN), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(EmulatorCodec::hex(body), QByteArray("22 FF FF"));
}

QTEST_GUILESS_MAIN(tst_EmulatedController)
#include "tst_emulatedcontroller.moc"
