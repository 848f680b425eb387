#include "tests/support/EmulatedChipFixture.h"
#include "emulator/EmulatedController.h"
#include "emulator/EmulatedLineCard.h"
#include "emulator/EmulatedRxQueue.h"
#include "emulator/EmulatedSerialLine.h"
#include "emulator/EmulatorCodec.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

// The emulated chip's serial line: the echo and the break's 0x00, purges,
// and bytes that take their time on the wire and reach the host in USB
// packets; through the chip as the host sees it, and on its own in front of
// a controller.
class tst_EmulatedSerialLine : public EmulatedChipFixture
{
    Q_OBJECT

private slots:
    void init();

    void echo_data();
    void echo();

    void purgeTakesOnlyArrivedBytes();
    void wireTiming();

    void breakEndsInOneZero_data();
    void breakEndsInOneZero();
    void breakCountsForOneTransmission_data();
    void breakCountsForOneTransmission();
    void transmitTime_data();
    void transmitTime();
};

void tst_EmulatedSerialLine::init()
{
    makeEmulator(EmulatedD2xx::Timing::Instant);
}

void tst_EmulatedSerialLine::echo_data()
{
    QTest::addColumn<QByteArray>("packets");
    QTest::addColumn<bool>("withBreak");
    QTest::addColumn<bool>("echoEnabled");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray led = packet(OPCODE_LED_GREEN);
    const QByteArray two = packet(OPCODE_LED_RED) + packet(OPCODE_FRAME_INTERVAL, 1250);
    const QByteArray boot = packet(OPCODE_BOOTLOADER, 0, 0, QByteArray(64, '\x80'));
    QTest::newRow("break, 55, LED packet: n + 1") << led << true << true << '\0' + ('\x55' + led);
    QTest::newRow("break, 55, two packets") << two << true << true << '\0' + ('\x55' + two);
    QTest::newRow("break, 55, 71-byte packet") << boot << true << true << '\0' + ('\x55' + boot);
    QTest::newRow("no break: n") << led << false << true << '\x55' + led;
    QTest::newRow("echo disabled") << led << true << false << QByteArray();
}

void tst_EmulatedSerialLine::echo()
{
    QFETCH(QByteArray, packets);
    QFETCH(bool, withBreak);
    QFETCH(bool, echoEnabled);
    QFETCH(QByteArray, expected);
    emu->setEchoEnabled(echoEnabled);
    openController();
    transmit(packets, withBreak);
    QCOMPARE(EmulatorCodec::hex(readAll()), EmulatorCodec::hex(expected));
}

void tst_EmulatedSerialLine::purgeTakesOnlyArrivedBytes()
{
    // Instant: everything has arrived, so the purge leaves nothing.
    emu->addCard();
    openController();
    transmit(packet(OPCODE_LED_RED));
    QCOMPARE(emu->FT_Purge(handle, FT_PURGE_RX), FT_STATUS(FT_OK));
    QCOMPARE(readAll(), QByteArray());

    // Wire: the purge takes the echo; the reply frames still arrive. A long
    // frame interval (50 ms) keeps the reply well clear of the purge.
    makeEmulator(EmulatedD2xx::Timing::Wire);
    emu->addCard();
    openController();
    const QByteArray interval = packet(OPCODE_FRAME_INTERVAL, 5000);
    transmit(interval);
    QCOMPARE(readUntil(interval.size() + 2 + 7 * 3).size(), interval.size() + 2 + 7 * 3);
    QCOMPARE(emu->frameIntervalUs(), 50000u);

    transmit(packet(OPCODE_LED_RED));
    QCOMPARE(emu->FT_Purge(handle, FT_PURGE_RX), FT_STATUS(FT_OK));
    uint32_t rx = 0, tx = 0, event = 0;
    QCOMPARE(emu->FT_GetStatus(handle, &rx, &tx, &event), FT_STATUS(FT_OK));
    QCOMPARE(rx, 0u);
    QByteArray body;
    QCOMPARE(classify(slotStreams(readUntil(7 * 3), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(EmulatorCodec::hex(body), QByteArray("21 FF FF"));
}

// How many of the bytes, arriving at these times, a chip has handed to the
// host by t: in USB packets, at once when a 0x00 (the event character)
// arrives, otherwise 16 ms after the packet's first byte, or with its 62nd.
static int handedOver(const QList<qint64> &arrivals, const QByteArray &bytes, qint64 t)
{
    int delivered = 0;
    while (delivered < arrivals.size() && arrivals.at(delivered) <= t) {
        qint64 flush = arrivals.at(delivered) + 16000;
        int end = delivered;
        while (end < arrivals.size() && arrivals.at(end) <= flush) {
            ++end;
            if (bytes.at(end - 1) == '\0' || end - delivered == 62) {
                flush = arrivals.at(end - 1);
                break;
            }
        }
        if (flush > t)
            break;
        delivered = end;
    }
    return delivered;
}

void tst_EmulatedSerialLine::wireTiming()
{
    makeEmulator(EmulatedD2xx::Timing::Wire);
    emu->addCard();
    openController();
    emu->clearCalls();
    const QByteArray command = packet(OPCODE_LED_GREEN);
    const int n = command.size() + 1;
    transmit(command, true, 0x55, false);

    // Poll until the seven reply frames (three bytes each) are in.
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        uint32_t rx = 0, tx = 0, event = 0;
        QCOMPARE(emu->FT_GetStatus(handle, &rx, &tx, &event), FT_STATUS(FT_OK));
        if (int(rx) == n + 1 + 7 * 3 || timer.elapsed() > 3000)
            break;
        QThread::usleep(300);
    }

    const QList<EmulatorCall> calls = emu->calls();
    qint64 writeUs = -1;
    qint64 breakOffUs = -1;
    for (const EmulatorCall &call : calls) {
        if (call.function == "FT_SetBreakOff")
            breakOffUs = call.timeUs;
        if (call.function == "FT_Write")
            writeUs = call.timeUs;
    }
    // What arrives, and when: the break's 0x00 when the break ends, each echo
    // byte as it goes out, frame k (from 1) one interval after the command's
    // last byte, each of its bytes as it comes in.
    QList<qint64> arrivals{breakOffUs};
    QByteArray bytes(1, '\0');
    for (int i = 1; i <= n; ++i)
        arrivals << writeUs + charsUs(i);
    bytes += '\x55' + command;
    const qint64 lastByteUs = writeUs + charsUs(n);
    const QByteArray reply = packet(OPCODE_LED_GREEN);
    for (int k = 1; k <= 7; ++k) {
        const QByteArray frame = EmulatorCodec::encodeFrame(reply.mid(k - 1, 1));
        for (int j = 1; j <= frame.size(); ++j)
            arrivals << lastByteUs + k * 12500 + charsUs(j);
        bytes += frame;
    }

    int polls = 0, partialEcho = 0;
    for (const EmulatorCall &call : calls) {
        if (call.function != "FT_GetStatus")
            continue;
        ++polls;
        const int expected = handedOver(arrivals, bytes, call.timeUs);
        QCOMPARE(int(call.args.value(0)), expected);
        if (expected > 1 && expected < n + 1)
            ++partialEcho;
    }
    QVERIFY(polls > 10);
    QVERIFY2(partialEcho > 0, "no poll saw the echo handed over in part");
    QCOMPARE(int(calls.last().args.value(0)), n + 1 + 7 * 3);

    const QByteArray received = readAll();
    QCOMPARE(received, bytes);
    QByteArray body;
    QCOMPARE(classify(slotStreams(received.mid(n + 1), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(EmulatorCodec::hex(body), QByteArray("22 FF FF"));
}

// --- the line on its own

void tst_EmulatedSerialLine::breakEndsInOneZero_data()
{
    QTest::addColumn<bool>("wired");
    QTest::addColumn<bool>("echoEnabled");
    QTest::addColumn<bool>("zero");

    QTest::newRow("wired, with echo: one 0x00") << true << true << true;
    QTest::newRow("echo disabled: nothing") << true << false << false;
    QTest::newRow("no controller on the line: nothing") << false << true << false;
}

void tst_EmulatedSerialLine::breakEndsInOneZero()
{
    QFETCH(bool, wired);
    QFETCH(bool, echoEnabled);
    QFETCH(bool, zero);
    EmulatedController controller(false);
    EmulatedSerialLine line(controller, false);
    line.setWired(wired);
    line.setEchoEnabled(echoEnabled);

    QVERIFY(!line.setBreak(false, 100)); // no break to end
    QVERIFY(!line.setBreak(true, 200));
    QVERIFY(!line.setBreak(true, 300)); // still the same break
    QVERIFY(line.state().breakOn);
    QCOMPARE(line.setBreak(false, 400), zero);
    QVERIFY(!line.state().breakOn);
    QVERIFY(!line.setBreak(false, 500));
    QCOMPARE(EmulatorCodec::hex(line.received().take(500, 16)),
             zero ? QByteArray("00") : QByteArray());
}

// The controller hears a transmission that a break precedes; the break
// counts for the next transmission only, and only a wired line reaches it.
void tst_EmulatedSerialLine::breakCountsForOneTransmission_data()
{
    QTest::addColumn<bool>("wired");
    QTest::addColumn<bool>("withBreak");
    QTest::addColumn<int>("led");
    QTest::addColumn<QList<QByteArray>>("dropped");

    QTest::newRow("after a break: heard, the next one not")
        << true << true << int(OPCODE_LED_RED) << QList<QByteArray>{"no-break"};
    QTest::newRow("no break: neither heard")
        << true << false << 0 << QList<QByteArray>{"no-break", "no-break"};
    QTest::newRow("no controller on the line: nobody hears")
        << false << true << 0 << QList<QByteArray>{};
}

void tst_EmulatedSerialLine::breakCountsForOneTransmission()
{
    QFETCH(bool, wired);
    QFETCH(bool, withBreak);
    QFETCH(int, led);
    QFETCH(QList<QByteArray>, dropped);
    EmulatedController controller(false);
    const int card = controller.addCard(identity(1));
    EmulatedSerialLine line(controller, false);
    line.setWired(wired);
    line.setDataCharacteristics(8, 2, 0);
    line.setBitMode(0x30, 0x20);
    if (withBreak) {
        line.setBreak(true, 100);
        line.setBreak(false, 200);
    }

    const QByteArray bytes = '\x55' + packet(OPCODE_LED_RED);
    const EmulatedSerialLine::Transmission first = line.transmit(bytes, 300);
    QCOMPARE(first.echoed, wired);
    QCOMPARE(first.startUs, 300);
    const QByteArray echo = (withBreak ? QByteArray(1, '\0') : QByteArray()) + bytes;
    const QByteArray got = line.received().take(300, 1000);
    QCOMPARE(EmulatorCodec::hex(got.left(echo.size())),
             EmulatorCodec::hex(wired ? echo : QByteArray()));
    QCOMPARE(got.isEmpty(), !wired);
    QCOMPARE(controller.card(card).ledState(), led);

    line.transmit('\x55' + packet(OPCODE_LED_GREEN), 400);
    QCOMPARE(controller.card(card).ledState(), led);
    QCOMPARE(controller.droppedReasons(), dropped);
}

// Wire timing: a write goes out at the line rate, after the one before it;
// otherwise it is all out at the moment of the call.
void tst_EmulatedSerialLine::transmitTime_data()
{
    QTest::addColumn<bool>("wire");
    QTest::addColumn<qint64>("secondStartUs");
    QTest::addColumn<int>("outgoingAt3000"); // of the two writes' eight characters

    QTest::newRow("wire: the second waits for the first")
        << true << qint64(1000 + charsUs(4)) << int((1000 + charsUs(8) - 3000) / charsUs(1) + 1);
    QTest::newRow("instant: at the moment of the call") << false << qint64(2000) << 0;
}

void tst_EmulatedSerialLine::transmitTime()
{
    QFETCH(bool, wire);
    QFETCH(qint64, secondStartUs);
    QFETCH(int, outgoingAt3000);
    EmulatedController controller(wire);
    EmulatedSerialLine line(controller, wire);
    const QByteArray bytes(4, '\x11');

    QCOMPARE(line.transmit(bytes, 1000).startUs, qint64(1000));
    QCOMPARE(line.charactersOutgoing(1500), wire ? 4u : 0u); // the one going out counts whole
    QCOMPARE(line.transmit(bytes, 2000).startUs, secondStartUs);
    QCOMPARE(int(line.charactersOutgoing(3000)), outgoingAt3000);
    QCOMPARE(line.charactersOutgoing(secondStartUs + charsUs(4)), 0u);
}

QTEST_GUILESS_MAIN(tst_EmulatedSerialLine)
#include "tst_emulatedserialline.moc"
