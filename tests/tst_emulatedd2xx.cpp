#include "controller/CommandPacket.h"
#include "controller/Opcodes.h"
#include "controller/PacketCodec.h"
#include "controller/RawPacket.h"
#include "emulator/EmulatedD2xx.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstring>
#include <memory>
#include <vector>

Q_DECLARE_METATYPE(EmulatedDevice)

static QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

static QByteArray packet(quint8 opcode, quint16 argument = 0, quint8 flags = 0,
                         const QByteArray &payload = {})
{
    CommandPacket command(opcode, argument, flags);
    command.setPayload(payload);
    return command.build();
}

// Time n characters take at 9600 baud with 11 bit times each, rounded up.
static qint64 charsUs(qint64 n)
{
    return (n * 11000000 + 9599) / 9600;
}

// The slot bytes of every frame in `bytes`, one stream per slot. Fails the
// test when a frame is malformed or its slot count is not `slotCount`.
static QList<QByteArray> slotStreams(const QByteArray &bytes, int slotCount, int *frameCount = nullptr)
{
    QList<QByteArray> streams;
    for (int i = 0; i < slotCount; ++i)
        streams.append(QByteArray());
    int frames = 0;
    int start = 0;
    for (int end = bytes.indexOf('\0'); end >= 0; end = bytes.indexOf('\0', start)) {
        const QByteArray encoded = bytes.mid(start, end - start + 1);
        const QByteArray decoded = PacketCodec::decodeFrame(encoded);
        start = end + 1;
        ++frames;
        if (decoded.size() != slotCount + 1) {
            qWarning() << "frame" << PacketCodec::toHex(encoded) << "does not carry" << slotCount
                       << "slots";
            return {};
        }
        for (int i = 0; i < slotCount; ++i)
            streams[i].append(decoded.at(i));
    }
    if (start != bytes.size()) {
        qWarning() << "bytes after the last frame:" << PacketCodec::toHex(bytes.mid(start));
        return {};
    }
    if (frameCount)
        *frameCount = frames;
    return streams;
}

// What a slot stream carries: "none" (nothing, or filler only), "corrupt"
// (a packet whose check fails), "confused", or "ok"; the first packet's body
// goes to `body`.
static QByteArray classify(const QByteArray &stream, QByteArray *body = nullptr)
{
    QByteArray raw;
    for (char b : stream) {
        raw.append(b);
        if (PacketCodec::isCompletePacket(raw))
            break;
    }
    if (!PacketCodec::isCompletePacket(raw))
        return raw.count('\xFF') == raw.size() ? "none" : "partial";
    if (PacketCodec::fletcher16(raw) != 0)
        return "corrupt";
    const QByteArray local = RawPacket::toLocalFormat(raw);
    if (body)
        *body = local;
    if (stream.mid(raw.size()).count('\xFF') != stream.size() - raw.size())
        return "trailing";
    return local.startsWith('\0') ? "confused" : "ok";
}

static EmulatedCardIdentity identity(quint32 serial, quint8 manufacturer = 2, quint8 type = 1)
{
    EmulatedCardIdentity id;
    id.serialNumber = serial;
    id.blockManufacturer = manufacturer;
    id.blockType = type;
    id.pairByte = 0x90; // 16 pairs, 4 wires
    id.secondWord = 0xA1B2C3D4;
    return id;
}

class tst_EmulatedD2xx : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void deviceList_data();
    void deviceList();
    void openFailsAndHandles();
    void otherDeviceHasNoController();
    void lineStateFollowsCalls();

    void echo_data();
    void echo();
    void replyBodies_data();
    void replyBodies();
    void cardStateFollowsCommands();
    void severalCards_data();
    void severalCards();
    void shorterReplyIsFilled();
    void noCardNoFrames();
    void droppedTransmissions_data();
    void droppedTransmissions();
    void badPacketDoesNotHideGoodOne();
    void cardFaults_data();
    void cardFaults();
    void statusFailures();

    void purgeTakesOnlyArrivedBytes();
    void instantPausesAreVirtual();
    void wireTiming();

    void captureInstant();
    void captureWire();

private:
    void makeEmulator(EmulatedD2xx::Timing timing);
    // The host's sequences: enumerate, open and set the resting pins,
    // configure the line, switch to the line-card path.
    void openController();
    void configureLine();
    void selectLineCards();
    // Break (unless withBreak is false), then one write of `sync` and the packets.
    void transmit(const QByteArray &packets, bool withBreak = true, char sync = 0x55,
                  bool waitWireTime = true);
    QByteArray readAll();
    // Wire timing: reads until `count` bytes have come or the time is up.
    QByteArray readUntil(int count, int timeoutMs = 3000);
    // Transmits, checks the echo and returns the slot streams of the reply.
    QList<QByteArray> exchange(const QByteArray &packets, int slotCount);

    std::unique_ptr<EmulatedD2xx> emu;
    FT_HANDLE handle = nullptr;
};

void tst_EmulatedD2xx::init()
{
    makeEmulator(EmulatedD2xx::Timing::Instant);
}

void tst_EmulatedD2xx::makeEmulator(EmulatedD2xx::Timing timing)
{
    emu = std::make_unique<EmulatedD2xx>(timing);
    handle = nullptr;
}

void tst_EmulatedD2xx::openController()
{
    uint32_t count = 0;
    QCOMPARE(emu->FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(count, 1u);
    QCOMPARE(emu->FT_Open(0, &handle), FT_STATUS(FT_OK));
    QVERIFY(handle);
    QCOMPARE(emu->FT_SetBitMode(handle, 0x22, 0x20), FT_STATUS(FT_OK));
    emu->sleepMicroseconds(10000);
    QCOMPARE(emu->FT_SetBitMode(handle, 0x32, 0x20), FT_STATUS(FT_OK));
    emu->sleepMicroseconds(10000);
    configureLine();
    selectLineCards();
}

void tst_EmulatedD2xx::configureLine()
{
    QCOMPARE(emu->FT_SetBaudRate(handle, 9600), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_SetDataCharacteristics(handle, 8, 2, 0), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_SetChars(handle, 0x00, 1, 0xFF, 0), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_SetFlowControl(handle, 0, 0x11, 0x13), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_SetTimeouts(handle, 20, 20), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_SetRts(handle), FT_STATUS(FT_OK));
    emu->sleepMicroseconds(2100);
    QCOMPARE(emu->FT_ClrRts(handle), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_SetChars(handle, 0x00, 1, 0x00, 0), FT_STATUS(FT_OK));
}

void tst_EmulatedD2xx::selectLineCards()
{
    for (quint8 mask : {quint8(0x22), quint8(0x10), quint8(0x30)}) {
        QCOMPARE(emu->FT_SetBitMode(handle, mask, 0x20), FT_STATUS(FT_OK));
        emu->sleepMicroseconds(10000);
    }
    QCOMPARE(emu->FT_SetRts(handle), FT_STATUS(FT_OK));
    emu->sleepMicroseconds(2100);
    QCOMPARE(emu->FT_ClrRts(handle), FT_STATUS(FT_OK));
}

void tst_EmulatedD2xx::transmit(const QByteArray &packets, bool withBreak, char sync,
                                bool waitWireTime)
{
    if (withBreak) {
        QCOMPARE(emu->FT_SetRts(handle), FT_STATUS(FT_OK));
        QCOMPARE(emu->FT_SetBreakOn(handle), FT_STATUS(FT_OK));
        emu->sleepMicroseconds(2100);
        QCOMPARE(emu->FT_ClrRts(handle), FT_STATUS(FT_OK));
        QCOMPARE(emu->FT_SetRts(handle), FT_STATUS(FT_OK));
        QCOMPARE(emu->FT_SetBreakOff(handle), FT_STATUS(FT_OK));
    }
    QByteArray bytes = sync + packets;
    uint32_t written = 0;
    QCOMPARE(emu->FT_Write(handle, bytes.data(), uint32_t(bytes.size()), &written), FT_STATUS(FT_OK));
    QCOMPARE(written, uint32_t(bytes.size()));
    if (waitWireTime) {
        emu->sleepMicroseconds(uint32_t(((bytes.size() * 11000 + 9599) / 9600 + 2) * 1000));
        QCOMPARE(emu->FT_ClrRts(handle), FT_STATUS(FT_OK));
    }
}

QByteArray tst_EmulatedD2xx::readAll()
{
    QByteArray out;
    for (;;) {
        uint32_t rx = 0, tx = 0, event = 0;
        if (emu->FT_GetStatus(handle, &rx, &tx, &event) != FT_OK || rx == 0)
            return out;
        char buffer[512];
        uint32_t got = 0;
        const uint32_t ask = qMin<uint32_t>(rx, sizeof buffer);
        if (emu->FT_Read(handle, buffer, ask, &got) != FT_OK || got == 0)
            return out;
        out.append(buffer, int(got));
    }
}

QByteArray tst_EmulatedD2xx::readUntil(int count, int timeoutMs)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (out.size() < count && timer.elapsed() < timeoutMs) {
        QThread::msleep(2);
        out += readAll();
    }
    return out;
}

QList<QByteArray> tst_EmulatedD2xx::exchange(const QByteArray &packets, int slotCount)
{
    transmit(packets);
    const QByteArray received = readAll();
    const QByteArray echo = '\0' + ('\x55' + packets);
    if (!received.startsWith(echo)) {
        qWarning() << "received" << PacketCodec::toHex(received);
        return {};
    }
    return slotStreams(received.mid(echo.size()), slotCount);
}

// --- devices and chip

void tst_EmulatedD2xx::deviceList_data()
{
    QTest::addColumn<QList<EmulatedDevice>>("devices");
    QTest::addColumn<QByteArray>("serial0");
    QTest::addColumn<QByteArray>("description0");

    QTest::newRow("default: one VX420") << QList<EmulatedDevice>{EmulatedDevice()}
                                        << QByteArray("VX4200001") << QByteArray("VX420");
    QTest::newRow("no device") << QList<EmulatedDevice>{} << QByteArray() << QByteArray();
    EmulatedDevice other;
    other.description = "USB Serial Converter";
    other.serialNumber = "A1";
    QTest::newRow("another description, then VX420")
        << QList<EmulatedDevice>{other, EmulatedDevice()} << QByteArray("A1")
        << QByteArray("USB Serial Converter");
    EmulatedDevice longNames;
    longNames.serialNumber = QByteArray(20, 'S');
    longNames.description = QByteArray(80, 'D');
    QTest::newRow("names truncated to fit") << QList<EmulatedDevice>{longNames}
                                            << QByteArray(15, 'S') << QByteArray(63, 'D');
}

void tst_EmulatedD2xx::deviceList()
{
    QFETCH(QList<EmulatedDevice>, devices);
    QFETCH(QByteArray, serial0);
    QFETCH(QByteArray, description0);
    emu->setDevices(devices);

    uint32_t count = 99;
    QCOMPARE(emu->FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(int(count), devices.size());
    // One spare record, filled with a marker, shows nothing is written past the count.
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count + 1);
    std::memset(nodes.data(), 0x5A, nodes.size() * sizeof(FT_DEVICE_LIST_INFO_NODE));
    uint32_t listed = count;
    QCOMPARE(emu->FT_GetDeviceInfoList(nodes.data(), &listed), FT_STATUS(FT_OK));
    QCOMPARE(listed, count);
    QCOMPARE(quint8(nodes[count].SerialNumber[0]), quint8(0x5A));
    if (count == 0)
        return;

    const FT_DEVICE_LIST_INFO_NODE &node = nodes[0];
    QCOMPARE(QByteArray(node.SerialNumber), serial0); // NUL-terminated
    QCOMPARE(QByteArray(node.Description), description0);
    QCOMPARE(node.Flags, 0u);
    QVERIFY(node.Type != 0);
    QVERIFY(node.ID != 0);
    QVERIFY(node.LocId != 0);
    if (count > 1)
        QVERIFY(nodes[1].LocId != node.LocId);
    QCOMPARE(node.ftHandle, FT_HANDLE(nullptr));

    // Once opened, the record says so.
    QCOMPARE(emu->FT_Open(0, &handle), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_GetDeviceInfoList(nodes.data(), &listed), FT_STATUS(FT_OK));
    QCOMPARE(node.Flags & 1u, 1u);
    QCOMPARE(node.ftHandle, handle);
}

void tst_EmulatedD2xx::openFailsAndHandles()
{
    FT_HANDLE h = reinterpret_cast<FT_HANDLE>(quintptr(0x1234));
    emu->setOpenFails(true);
    QVERIFY(emu->FT_Open(0, &h) != FT_OK);
    QCOMPARE(h, reinterpret_cast<FT_HANDLE>(quintptr(0x1234)));
    QCOMPARE(emu->FT_SetBaudRate(h, 9600), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(emu->FT_SetBaudRate(nullptr, 9600), FT_STATUS(FT_INVALID_HANDLE));

    emu->setOpenFails(false);
    QVERIFY(emu->FT_Open(1, &h) != FT_OK); // only one device
    QCOMPARE(emu->FT_Open(0, &handle), FT_STATUS(FT_OK));
    FT_HANDLE second = nullptr;
    QVERIFY(emu->FT_Open(0, &second) != FT_OK); // already in use

    uint32_t rx = 0, tx = 0, event = 0, n = 0;
    char buffer[4] = {};
    QCOMPARE(emu->FT_GetStatus(h, &rx, &tx, &event), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(emu->FT_Read(h, buffer, 4, &n), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(emu->FT_Write(h, buffer, 4, &n), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(emu->FT_Purge(h, FT_PURGE_RX), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(emu->FT_SetBitMode(h, 0x30, 0x20), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(emu->FT_Close(h), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(emu->lineState().cbusOutputs, quint8(0));

    QCOMPARE(emu->FT_Close(handle), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_SetBaudRate(handle, 9600), FT_STATUS(FT_INVALID_HANDLE)); // stale after close
    QCOMPARE(emu->FT_Open(0, &second), FT_STATUS(FT_OK));
    QVERIFY(second != handle);
    QCOMPARE(emu->FT_SetBaudRate(second, 9600), FT_STATUS(FT_OK));
}

void tst_EmulatedD2xx::otherDeviceHasNoController()
{
    EmulatedDevice other;
    other.description = "USB Serial Converter";
    emu->setDevices({other});
    emu->addCard();
    openController();
    transmit(packet(OPCODE_LED_RED));
    QCOMPARE(readAll(), QByteArray()); // no echo, no reply
    QVERIFY(emu->receivedCommands(0).isEmpty());
}

void tst_EmulatedD2xx::lineStateFollowsCalls()
{
    uint32_t count = 0;
    QCOMPARE(emu->FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_Open(0, &handle), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_SetBitMode(handle, 0x32, 0x20), FT_STATUS(FT_OK));
    EmulatedLineState state = emu->lineState();
    QCOMPARE(state.cbusOutputs, quint8(0x3));
    QCOMPARE(state.cbusLevels, quint8(0x2));
    QVERIFY(!state.lineCardPath);

    configureLine();
    state = emu->lineState();
    QCOMPARE(state.baudRate, 9600u);
    QCOMPARE(state.wordLength, quint8(8));
    QCOMPARE(state.stopBits, quint8(2));
    QCOMPARE(state.parity, quint8(0));
    QCOMPARE(state.flowControl, quint16(0));
    QCOMPARE(state.xonChar, quint8(0x11));
    QCOMPARE(state.xoffChar, quint8(0x13));
    QCOMPARE(state.eventChar, quint8(0x00));
    QCOMPARE(state.eventCharEnabled, quint8(1));
    QCOMPARE(state.errorChar, quint8(0x00));
    QCOMPARE(state.errorCharEnabled, quint8(0));
    QCOMPARE(state.readTimeout, 20u);
    QCOMPARE(state.writeTimeout, 20u);
    QVERIFY(!state.rts);

    QCOMPARE(emu->FT_SetBitMode(handle, 0x10, 0x20), FT_STATUS(FT_OK)); // CBUS1 becomes an input
    state = emu->lineState();
    QCOMPARE(state.cbusOutputs, quint8(0x1));
    QVERIFY(!state.lineCardPath);
    QCOMPARE(emu->FT_SetBitMode(handle, 0x30, 0x20), FT_STATUS(FT_OK));
    state = emu->lineState();
    QCOMPARE(state.bitMode, quint8(0x20));
    QCOMPARE(state.cbusLevels, quint8(0));
    QVERIFY(state.lineCardPath);

    QCOMPARE(emu->FT_SetRts(handle), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_SetBreakOn(handle), FT_STATUS(FT_OK));
    QVERIFY(emu->lineState().rts);
    QVERIFY(emu->lineState().breakOn);
    QCOMPARE(emu->FT_SetBreakOff(handle), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_ClrRts(handle), FT_STATUS(FT_OK));
    QVERIFY(!emu->lineState().breakOn);
    QVERIFY(!emu->lineState().rts);

    QCOMPARE(emu->FT_SetBitMode(handle, 0x30, 0x00), FT_STATUS(FT_OK)); // bit mode reset: pins released
    QVERIFY(!emu->lineState().lineCardPath);
}

// --- the controller and its cards

void tst_EmulatedD2xx::echo_data()
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

void tst_EmulatedD2xx::echo()
{
    QFETCH(QByteArray, packets);
    QFETCH(bool, withBreak);
    QFETCH(bool, echoEnabled);
    QFETCH(QByteArray, expected);
    emu->setEchoEnabled(echoEnabled);
    openController();
    transmit(packets, withBreak);
    QCOMPARE(PacketCodec::toHex(readAll()), PacketCodec::toHex(expected));
}

void tst_EmulatedD2xx::replyBodies_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("frame interval 1250") << packet(OPCODE_FRAME_INTERVAL, 1250) << hex("03E604");
    QTest::newRow("frame interval 510: digits as sent")
        << packet(OPCODE_FRAME_INTERVAL, 510) << hex("03FF02");
    // 770001 = 0x000BBFD1; second word 0xA1B2C3D4
    QTest::newRow("identify card 1") << packet(OPCODE_LINE_CARD_INFO, 1, 0x80)
                                     << hex("0401FF" "2104" "0201" "90" "01020304"
                                            "D1BF0B00" "D4C3B2A1");
    QTest::newRow("line-card information") << packet(OPCODE_LINE_CARD_INFO)
                                           << hex("04FFFF" "2104" "0201" "90" "01020304"
                                                  "D1BF0B00" "D4C3B2A1");
    QTest::newRow("LED red") << packet(OPCODE_LED_RED) << hex("21FFFF");
    QTest::newRow("LED green") << packet(OPCODE_LED_GREEN) << hex("22FFFF");
    QTest::newRow("LED yellow") << packet(OPCODE_LED_YELLOW) << hex("23FFFF");
    QTest::newRow("LED off") << packet(OPCODE_LED_OFF) << hex("28FFFF");
    QTest::newRow("LED on") << packet(OPCODE_LED_ON) << hex("29FFFF");
    QTest::newRow("LED flash slow") << packet(OPCODE_LED_FLASH_SLOW) << hex("2AFFFF");
    QTest::newRow("flash version: equal by default")
        << packet(GET_FLASH_VER) << hex("06FFFF" "02000100" "02000100");
    QTest::newRow("reflash action") << packet(REFLASH_ACTION) << hex("07FFFF01");
    QTest::newRow("listen: configured entries") << packet(OPCODE_LISTEN) << hex("11" "0102800405FF");
    QTest::newRow("continuity: configured entries")
        << packet(OPCODE_CONTINUITY) << hex("13" "0A000C0D");
    QTest::newRow("beacon: confused") << packet(OPCODE_BEACON) << hex("00FFFF");
    QTest::newRow("clamp: confused") << packet(OPCODE_CLAMP) << hex("00FFFF");
    QTest::newRow("bootloader: confused")
        << packet(OPCODE_BOOTLOADER, 0, 0, hex("80011000")) << hex("00FFFF");
    QTest::newRow("unknown opcode: confused") << packet(0x3F) << hex("00FFFF");
}

void tst_EmulatedD2xx::replyBodies()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, body);
    emu->addCard(identity(770001));
    emu->setListenEntries(0, hex("0102800405FF"));
    emu->setContinuityEntries(0, hex("0A000C0D"));
    openController();

    transmit(command);
    const QByteArray received = readAll();
    QCOMPARE(PacketCodec::toHex(received.left(command.size() + 2)),
             PacketCodec::toHex('\0' + ('\x55' + command)));
    int frames = 0;
    const QList<QByteArray> streams = slotStreams(received.mid(command.size() + 2), 1, &frames);
    QCOMPARE(streams.size(), 1);
    // One frame per reply byte: a packet is its body plus four bytes.
    QCOMPARE(frames, body.size() + 4);
    QByteArray got;
    QCOMPARE(classify(streams.at(0), &got), QByteArray(body.startsWith('\0') ? "confused" : "ok"));
    QCOMPARE(PacketCodec::toHex(got), PacketCodec::toHex(body));
    QCOMPARE(emu->receivedCommands(0), QList<QByteArray>{RawPacket::toLocalFormat(command)});
}

void tst_EmulatedD2xx::cardStateFollowsCommands()
{
    emu->addCard(identity(1));
    openController();
    QCOMPARE(emu->ledState(0), 0);
    QCOMPARE(emu->frameIntervalUs(), 12500u);

    QByteArray body;
    exchange(packet(OPCODE_LED_RED), 1);
    QCOMPARE(emu->ledState(0), int(OPCODE_LED_RED));
    exchange(packet(OPCODE_LED_GREEN), 1);
    QCOMPARE(emu->ledState(0), int(OPCODE_LED_GREEN));
    exchange(packet(OPCODE_BEACON), 1); // not understood: the LED stays
    QCOMPARE(emu->ledState(0), int(OPCODE_LED_GREEN));

    // The controller takes the frame interval from the command it relays:
    // 344 counts of 10 us; 255 is sent as the digits FF 01.
    exchange(packet(OPCODE_FRAME_INTERVAL, 344), 1);
    QCOMPARE(emu->frameIntervalUs(), 3440u);
    exchange(packet(OPCODE_FRAME_INTERVAL, 255), 1);
    QCOMPARE(emu->frameIntervalUs(), 2550u);

    // A reflash that succeeds installs the carried version; a failing one does not.
    emu->setFlashVersions(0, 0x00020000, 0x00010000);
    QCOMPARE(classify(exchange(packet(GET_FLASH_VER), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(PacketCodec::toHex(body), PacketCodec::toHex(hex("06FFFF" "00000200" "00000100")));
    emu->setReflashSucceeds(0, false);
    QCOMPARE(classify(exchange(packet(REFLASH_ACTION), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(PacketCodec::toHex(body), PacketCodec::toHex(hex("07FFFF00")));
    emu->setReflashSucceeds(0, true);
    QCOMPARE(classify(exchange(packet(REFLASH_ACTION), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(PacketCodec::toHex(body), PacketCodec::toHex(hex("07FFFF01")));
    QCOMPARE(classify(exchange(packet(GET_FLASH_VER), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(PacketCodec::toHex(body), PacketCodec::toHex(hex("06FFFF" "00000200" "00000200")));

    QCOMPARE(emu->commandsReceived(0, OPCODE_LED_RED), 1);
    QCOMPARE(emu->commandsReceived(0, OPCODE_FRAME_INTERVAL), 2);
    QCOMPARE(emu->commandsReceived(0, REFLASH_ACTION), 2);
    QCOMPARE(emu->commandsReceived(0, OPCODE_CLAMP), 0);
    const QList<QByteArray> bodies = emu->receivedCommands(0);
    QCOMPARE(bodies.size(), 9);
    QCOMPARE(PacketCodec::toHex(bodies.at(4)), QByteArray("03 FF 01"));
}

void tst_EmulatedD2xx::severalCards_data()
{
    QTest::addColumn<int>("cards");
    QTest::newRow("two cards") << 2;
    QTest::newRow("three cards") << 3;
}

void tst_EmulatedD2xx::severalCards()
{
    QFETCH(int, cards);
    for (int i = 0; i < cards; ++i)
        QCOMPARE(emu->addCard(identity(1000 + quint32(i), quint8(i + 1), quint8(i + 2))), i);
    QCOMPARE(emu->cardCount(), cards);
    openController();

    const QByteArray command = packet(OPCODE_LINE_CARD_INFO, 1, 0x80);
    transmit(command);
    const QByteArray received = readAll();
    int frames = 0;
    const QList<QByteArray> streams = slotStreams(received.mid(command.size() + 2), cards, &frames);
    QCOMPARE(streams.size(), cards);
    QCOMPARE(frames, 24);
    for (int i = 0; i < cards; ++i) {
        QByteArray body;
        QCOMPARE(classify(streams.at(i), &body), QByteArray("ok"));
        QCOMPARE(body.size(), 20);
        QCOMPARE(quint8(body.at(5)), quint8(i + 1)); // block manufacturer
        QCOMPARE(quint8(body.at(6)), quint8(i + 2)); // block type
        QCOMPARE(quint8(body.at(12)), quint8(1000 + i - 768)); // serial, low byte
        QCOMPARE(quint8(body.at(13)), quint8(3));
        QCOMPARE(emu->commandsReceived(i, OPCODE_LINE_CARD_INFO), 1);
    }
}

void tst_EmulatedD2xx::shorterReplyIsFilled()
{
    emu->addCard(identity(1));
    emu->addCard(identity(2));
    emu->setListenEntries(0, hex("010203040506" "0708090A0B0C"));
    openController();

    const QList<QByteArray> streams = exchange(packet(OPCODE_LISTEN), 2);
    QCOMPARE(streams.size(), 2);
    QCOMPARE(streams.at(0).size(), 13 + 4);
    QByteArray body;
    QCOMPARE(classify(streams.at(0), &body), QByteArray("ok"));
    QCOMPARE(body.size(), 13);
    // Card 1 sends "11" as a five-byte packet, then fills its slot.
    QCOMPARE(classify(streams.at(1), &body), QByteArray("ok"));
    QCOMPARE(PacketCodec::toHex(body), QByteArray("11"));
    QCOMPARE(PacketCodec::toHex(streams.at(1).mid(5)), PacketCodec::toHex(QByteArray(12, '\xFF')));
}

void tst_EmulatedD2xx::noCardNoFrames()
{
    openController();
    const QByteArray command = packet(OPCODE_LINE_CARD_INFO, 1, 0x80);
    transmit(command);
    QCOMPARE(readAll().size(), command.size() + 2);
    QCOMPARE(emu->droppedPackets(), 0);
}

void tst_EmulatedD2xx::droppedTransmissions_data()
{
    QTest::addColumn<int>("lastMask");   // final FT_SetBitMode mask (mode 0x20)
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
    QTest::newRow("resting pins 32") << 0x32 << 0x20 << 9600 << 8 << 2 << 0 << true << '\x55'
                                     << led << QByteArray("ignored-pins");
    QTest::newRow("CBUS1 an input (10)") << 0x10 << 0x20 << 9600 << 8 << 2 << 0 << true << '\x55'
                                         << led << QByteArray("ignored-pins");
    QTest::newRow("CBUS0 high (31)") << 0x31 << 0x20 << 9600 << 8 << 2 << 0 << true << '\x55'
                                     << led << QByteArray("ignored-pins");
    QTest::newRow("bit mode reset") << 0x30 << 0x00 << 9600 << 8 << 2 << 0 << true << '\x55'
                                    << led << QByteArray("ignored-pins");
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
    QTest::newRow("bad checksum") << 0x30 << 0x20 << 9600 << 8 << 2 << 0 << true << '\x55'
                                  << badSum << QByteArray("checksum");
    QTest::newRow("packet cut short") << 0x30 << 0x20 << 9600 << 8 << 2 << 0 << true << '\x55'
                                      << led.left(4) << QByteArray("incomplete");
}

void tst_EmulatedD2xx::droppedTransmissions()
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
    QCOMPARE(PacketCodec::toHex(readAll()), PacketCodec::toHex(echo)); // no reply
    QCOMPARE(emu->droppedPackets(), 1);
    QCOMPARE(emu->droppedReasons(), QList<QByteArray>{reason});
    QVERIFY(emu->receivedCommands(0).isEmpty());
    QCOMPARE(emu->ledState(0), 0);
}

void tst_EmulatedD2xx::badPacketDoesNotHideGoodOne()
{
    emu->addCard();
    openController();
    QByteArray bad = packet(OPCODE_LED_RED);
    bad[1] = char(0xFE);
    const QList<QByteArray> streams = exchange(bad + packet(OPCODE_LED_YELLOW), 1);
    QByteArray body;
    QCOMPARE(classify(streams.value(0), &body), QByteArray("ok"));
    QCOMPARE(PacketCodec::toHex(body), QByteArray("23 FF FF"));
    QCOMPARE(emu->droppedReasons(), QList<QByteArray>{"checksum"});
    QCOMPARE(emu->commandsReceived(0, OPCODE_LED_RED), 0);
}

void tst_EmulatedD2xx::cardFaults_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<int>("arg");
    QTest::addColumn<QByteArray>("outcomes"); // card 0, for LED red, green, yellow
    QTest::addColumn<int>("led");
    QTest::addColumn<int>("received");

    QTest::newRow("drop reply to 2") << QByteArray("dropReplyTo") << 2
                                     << QByteArray("ok none ok") << 0x23 << 3;
    QTest::newRow("drop next 2") << QByteArray("dropNextReplies") << 2
                                 << QByteArray("none none ok") << 0x23 << 3;
    QTest::newRow("corrupt reply to 3") << QByteArray("corruptReplyTo") << 3
                                        << QByteArray("ok ok corrupt") << 0x23 << 3;
    QTest::newRow("corrupt next") << QByteArray("corruptNextReply") << 0
                                  << QByteArray("corrupt ok ok") << 0x23 << 3;
    QTest::newRow("confused reply to 3: LED not switched")
        << QByteArray("confusedReplyTo") << 3 << QByteArray("ok ok confused") << 0x22 << 3;
    QTest::newRow("confused next 2") << QByteArray("confusedNextReplies") << 2
                                     << QByteArray("confused confused ok") << 0x23 << 3;
    QTest::newRow("pulled out at 2") << QByteArray("stopAnsweringFrom") << 2
                                     << QByteArray("ok none none") << 0x21 << 1;
    QTest::newRow("pulled out after 2 more") << QByteArray("stopAnsweringAfter") << 2
                                             << QByteArray("ok ok none") << 0x22 << 2;
}

void tst_EmulatedD2xx::cardFaults()
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
        emu->dropReplyTo(0, arg);
    else if (fault == "dropNextReplies")
        emu->dropNextReplies(0, arg);
    else if (fault == "corruptReplyTo")
        emu->corruptReplyTo(0, arg);
    else if (fault == "corruptNextReply")
        emu->corruptNextReply(0);
    else if (fault == "confusedReplyTo")
        emu->confusedReplyTo(0, arg);
    else if (fault == "confusedNextReplies")
        emu->confusedNextReplies(0, arg);
    else if (fault == "stopAnsweringFrom")
        emu->stopAnsweringFrom(0, arg);
    else if (fault == "stopAnsweringAfter")
        emu->stopAnsweringAfter(0, arg);
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
    QCOMPARE(emu->ledState(0), led);
    QCOMPARE(emu->receivedCommands(0).size(), received);
    QCOMPARE(emu->ledState(1), int(OPCODE_LED_YELLOW));
}

void tst_EmulatedD2xx::statusFailures()
{
    emu->addCard();
    emu->failStatusFromTransmission(2);
    openController();
    uint32_t rx = 0, tx = 0, event = 0;
    QCOMPARE(emu->FT_GetStatus(handle, &rx, &tx, &event), FT_STATUS(FT_OK));
    transmit(packet(OPCODE_LED_RED));
    QCOMPARE(emu->FT_GetStatus(handle, &rx, &tx, &event), FT_STATUS(FT_OK));
    QVERIFY(rx > 0);
    transmit(packet(OPCODE_LED_GREEN));
    QCOMPARE(emu->FT_GetStatus(handle, &rx, &tx, &event), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(emu->FT_GetStatus(handle, &rx, &tx, &event), FT_STATUS(FT_IO_ERROR));

    makeEmulator(EmulatedD2xx::Timing::Instant);
    openController();
    QCOMPARE(emu->FT_GetStatus(handle, &rx, &tx, &event), FT_STATUS(FT_OK));
    emu->failStatusFromNextCall();
    QCOMPARE(emu->FT_GetStatus(handle, &rx, &tx, &event), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(rx, 0u);
}

// --- time

void tst_EmulatedD2xx::purgeTakesOnlyArrivedBytes()
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
    QCOMPARE(PacketCodec::toHex(body), QByteArray("21 FF FF"));
}

void tst_EmulatedD2xx::instantPausesAreVirtual()
{
    QElapsedTimer timer;
    timer.start();
    const qint64 before = emu->nowUs();
    emu->sleepMicroseconds(5000000);
    QVERIFY(emu->nowUs() - before >= 5000000);
    QVERIFY(timer.elapsed() < 1000);

    openController();
    emu->clearCalls();
    transmit(packet(OPCODE_LED_RED));
    readAll();
    const QList<EmulatorCall> calls = emu->calls();
    QStringList names;
    for (const EmulatorCall &call : calls)
        names.append(QString::fromLatin1(call.function));
    QCOMPARE(names.join(' '),
             QString("FT_SetRts FT_SetBreakOn sleep FT_ClrRts FT_SetRts FT_SetBreakOff FT_Write "
                     "sleep FT_ClrRts FT_GetStatus FT_Read FT_GetStatus"));
    QCOMPARE(calls.at(2).args, QList<quint32>{2100});
    QVERIFY(calls.at(3).timeUs - calls.at(2).timeUs >= 2100); // the pause shows in call times
    QCOMPARE(calls.at(6).bytes, '\x55' + packet(OPCODE_LED_RED));
    QCOMPARE(calls.at(6).args, QList<quint32>{8});
    QCOMPARE(calls.at(9).args.value(0), 9u); // the echo only
    QCOMPARE(calls.at(10).bytes.size(), 9);
    QCOMPARE(calls.at(11).args.value(0), 0u);
}

void tst_EmulatedD2xx::wireTiming()
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
    int polls = 0, partialEcho = 0;
    for (const EmulatorCall &call : calls) {
        if (call.function == "FT_SetBreakOff")
            breakOffUs = call.timeUs;
        if (call.function == "FT_Write")
            writeUs = call.timeUs;
        if (call.function != "FT_GetStatus")
            continue;
        ++polls;
        const qint64 t = call.timeUs;
        // The break's 0x00 when the break ended, each echo byte as it goes
        // out, frame k (from 1) one interval after the command's last byte.
        int expected = t >= breakOffUs ? 1 : 0;
        for (int i = 1; i <= n; ++i)
            expected += writeUs + charsUs(i) <= t;
        const qint64 lastByteUs = writeUs + charsUs(n);
        for (int k = 1; k <= 7; ++k) {
            for (int j = 1; j <= 3; ++j)
                expected += lastByteUs + k * 12500 + charsUs(j) <= t;
        }
        QCOMPARE(int(call.args.value(0)), expected);
        if (expected > 1 && expected < n + 1)
            ++partialEcho;
    }
    QVERIFY(polls > 10);
    QVERIFY2(partialEcho > 0, "no poll saw the echo on its way");
    QCOMPARE(int(calls.last().args.value(0)), n + 1 + 7 * 3);
    QVERIFY(calls.last().timeUs >= writeUs + charsUs(n) + 7 * 12500 + charsUs(3));

    const QByteArray received = readAll();
    QByteArray body;
    QCOMPARE(classify(slotStreams(received.mid(n + 1), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(PacketCodec::toHex(body), QByteArray("22 FF FF"));
}

// --- capture

struct CaptureLine
{
    qint64 timeUs;
    QString text; // without the time
};

static QList<CaptureLine> readCapture(const QString &path, QString *header)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = file.readAll().split('\n');
    QList<CaptureLine> out;
    *header = QString::fromLatin1(lines.value(0));
    for (int i = 1; i < lines.size(); ++i) {
        if (lines.at(i).isEmpty() && i == lines.size() - 1)
            break; // the final newline
        const QString line = QString::fromLatin1(lines.at(i));
        const int blank = line.indexOf(' ');
        out.append({line.left(blank).toLongLong(), line.mid(blank + 1)});
    }
    return out;
}

static bool matchesItsKind(const QString &line)
{
    static const QList<QRegularExpression> kinds = {
        QRegularExpression("^\\d+ host FT_Write \\d+( [0-9A-F]{2})*$"),
        QRegularExpression("^\\d+ host FT_(?!Write )[A-Za-z]+( [0-9A-F]{2}| \\d+)* \\d+$"),
        QRegularExpression("^\\d+ dev echo( [0-9A-F]{2})+$"),
        QRegularExpression("^\\d+ dev frame( [0-9A-F]{2})* 00$"),
        QRegularExpression("^\\d+ dev drop [a-z-]+$"),
    };
    for (const QRegularExpression &kind : kinds) {
        if (kind.match(line).hasMatch())
            return true;
    }
    return false;
}

void tst_EmulatedD2xx::captureInstant()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("exchange.txt");
    emu->addCard();
    QVERIFY(emu->startCapture(path));
    openController();
    const QByteArray led = packet(OPCODE_LED_GREEN);
    transmit(led);
    readAll();
    QCOMPARE(emu->FT_Purge(handle, FT_PURGE_RX), FT_STATUS(FT_OK));
    QByteArray bad = led;
    bad[0] = char(0x21);
    transmit(bad);
    emu->stopCapture();

    QFile raw(path);
    QVERIFY(raw.open(QIODevice::ReadOnly));
    const QList<QByteArray> rawLines = raw.readAll().split('\n');
    QCOMPARE(rawLines.last(), QByteArray()); // every line ends with a newline
    for (int i = 1; i < rawLines.size() - 1; ++i)
        QVERIFY2(matchesItsKind(QString::fromLatin1(rawLines.at(i))), rawLines.at(i).constData());

    QString header;
    const QList<CaptureLine> lines = readCapture(path, &header);
    QCOMPARE(header, QString("# vx420 capture v1"));
    const QString ledHex = QString::fromLatin1(PacketCodec::toHex(led));
    const QString badHex = QString::fromLatin1(PacketCodec::toHex(bad));
    const QStringList breakLines = {"host FT_SetRts 0", "host FT_SetBreakOn 0", "host FT_ClrRts 0",
                                    "host FT_SetRts 0", "host FT_SetBreakOff 0"};
    QStringList expected = {
        "host FT_CreateDeviceInfoList 1 0",
        "host FT_Open 0 0",
        "host FT_SetBitMode 22 20 0",
        "host FT_SetBitMode 32 20 0",
        "host FT_SetBaudRate 9600 0",
        "host FT_SetDataCharacteristics 8 2 0 0",
        "host FT_SetChars 00 1 FF 0 0",
        "host FT_SetFlowControl 0 11 13 0",
        "host FT_SetTimeouts 20 20 0",
        "host FT_SetRts 0",
        "host FT_ClrRts 0",
        "host FT_SetChars 00 1 00 0 0",
        "host FT_SetBitMode 22 20 0",
        "host FT_SetBitMode 10 20 0",
        "host FT_SetBitMode 30 20 0",
        "host FT_SetRts 0",
        "host FT_ClrRts 0",
    };
    expected += breakLines;
    expected += "host FT_Write 0 55 " + ledHex;
    expected += "dev echo 00 55 " + ledHex;
    const QByteArray reply = packet(OPCODE_LED_GREEN); // same bytes as the command
    for (char b : reply)
        expected += "dev frame " + QString::fromLatin1(PacketCodec::toHex(PacketCodec::encodeFrame(QByteArray(1, b))));
    expected += "host FT_ClrRts 0";
    expected += "host FT_Purge 1 0";
    expected += breakLines;
    expected += "host FT_Write 0 55 " + badHex;
    expected += "dev echo 00 55 " + badHex;
    expected += "dev drop checksum";
    expected += "host FT_ClrRts 0";

    QStringList texts;
    for (const CaptureLine &line : lines)
        texts.append(line.text);
    QCOMPARE(texts.join('\n'), expected.join('\n'));

    for (int i = 1; i < lines.size(); ++i)
        QVERIFY(lines.at(i).timeUs >= lines.at(i - 1).timeUs);
    // The pauses show between the lines: 2100 us of break.
    const int breakOn = texts.indexOf("host FT_SetBreakOn 0");
    QVERIFY(lines.at(breakOn + 1).timeUs - lines.at(breakOn).timeUs >= 2100);
    // Instant: the echo and the frames carry the time of the write.
    const int write = texts.indexOf("host FT_Write 0 55 " + ledHex);
    QCOMPARE(lines.at(write + 1).timeUs, lines.at(write).timeUs);
    QCOMPARE(lines.at(write + 7).timeUs, lines.at(write).timeUs);
}

void tst_EmulatedD2xx::captureWire()
{
    makeEmulator(EmulatedD2xx::Timing::Wire);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("wire.txt");
    emu->addCard();
    openController();
    QVERIFY(emu->startCapture(path));
    const QByteArray led = packet(OPCODE_LED_RED);
    transmit(led);
    QCOMPARE(readUntil(9 + 7 * 3).size(), 9 + 7 * 3);
    transmit(led.left(5), true, 0x55, false); // rejected: the line is still written
    emu->stopCapture();

    QString header;
    const QList<CaptureLine> lines = readCapture(path, &header);
    QCOMPARE(header, QString("# vx420 capture v1"));
    qint64 writeUs = -1;
    QList<qint64> frames;
    for (int i = 0; i < lines.size(); ++i) {
        if (i > 0)
            QVERIFY(lines.at(i).timeUs >= lines.at(i - 1).timeUs);
        if (writeUs < 0 && lines.at(i).text.startsWith("host FT_Write "))
            writeUs = lines.at(i).timeUs;
        if (lines.at(i).text.startsWith("dev frame "))
            frames.append(lines.at(i).timeUs);
    }
    QCOMPARE(frames.size(), 7);
    QCOMPARE(lines.last().text, QString("dev drop incomplete"));
    QCOMPARE(lines.last().timeUs, lines.at(lines.size() - 3).timeUs); // the write's time
    // Stamped when the frame has arrived: one interval after the command's
    // last byte, then one interval apart.
    const qint64 lastByteUs = writeUs + charsUs(led.size() + 1);
    for (int k = 0; k < frames.size(); ++k)
        QCOMPARE(frames.at(k), lastByteUs + (k + 1) * 12500 + charsUs(3));
}

QTEST_GUILESS_MAIN(tst_EmulatedD2xx)
#include "tst_emulatedd2xx.moc"
