#include "emulator/EmulatedD2xx.h"
#include "emulator/EmulatorCodec.h"
#include "tests/support/TestBytes.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

Q_DECLARE_METATYPE(EmulatedDevice)

// Configures the emulator before a scripted exchange; may be empty.
using EmulatorSetup = std::function<void(EmulatedD2xx &)>;
Q_DECLARE_METATYPE(EmulatorSetup)

// What a card slot carries when its card has nothing (left) to send.
constexpr char filler = '\xFE';

// The controller's opcodes, as the protocol numbers them.
constexpr quint8 OPCODE_BOOTLOADER = 0x02;
constexpr quint8 OPCODE_FRAME_INTERVAL = 0x03;
constexpr quint8 OPCODE_LINE_CARD_INFO = 0x04;
constexpr quint8 GET_FLASH_VER = 0x06;
constexpr quint8 REFLASH_ACTION = 0x07;
constexpr quint8 OPCODE_BEACON = 0x10;
constexpr quint8 OPCODE_LISTEN = 0x11;
constexpr quint8 OPCODE_CLAMP = 0x12;
constexpr quint8 OPCODE_CONTINUITY = 0x13;
constexpr quint8 OPCODE_LED_RED = 0x21;
constexpr quint8 OPCODE_LED_GREEN = 0x22;
constexpr quint8 OPCODE_LED_YELLOW = 0x23;
constexpr quint8 OPCODE_LED_OFF = 0x28;
constexpr quint8 OPCODE_LED_ON = 0x29;
constexpr quint8 OPCODE_LED_FLASH_SLOW = 0x2A;

// A command as the host writes it: header, argument digits, payload, in a
// packet.
static QByteArray packet(quint8 opcode, quint16 argument = 0, quint8 flags = 0,
                         const QByteArray &payload = {})
{
    return EmulatorCodec::encodePacket(char(opcode | flags) + EmulatorCodec::argumentDigits(argument)
                                       + payload);
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
        QByteArray decoded;
        const bool wellFormed = EmulatorCodec::decodeFrame(encoded, &decoded);
        start = end + 1;
        ++frames;
        if (!wellFormed || decoded.size() != slotCount) {
            qWarning() << "frame" << EmulatorCodec::hex(encoded) << "does not carry" << slotCount
                       << "slots";
            return {};
        }
        for (int i = 0; i < slotCount; ++i)
            streams[i].append(decoded.at(i));
    }
    if (start != bytes.size()) {
        qWarning() << "bytes after the last frame:" << EmulatorCodec::hex(bytes.mid(start));
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
        if (EmulatorCodec::isCompletePacket(raw))
            break;
    }
    if (!EmulatorCodec::isCompletePacket(raw))
        return raw.count(filler) == raw.size() ? "none" : "partial";
    if (EmulatorCodec::fletcher16(raw) != 0)
        return "corrupt";
    const QByteArray local = EmulatorCodec::decodePacket(raw);
    if (body)
        *body = local;
    if (stream.mid(raw.size()).count(filler) != stream.size() - raw.size())
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

// --- bootloader commands and replies, as the card's bootloader sees them

// Opcode, the address as three bytes (least significant first), data.
static QByteArray bslAt(quint8 opcode, quint32 address, const QByteArray &data = {})
{
    QByteArray bytes(1, char(opcode));
    for (int shift = 0; shift < 24; shift += 8)
        bytes.append(char((address >> shift) & 0xFF));
    return bytes + data;
}

static QByteArray bslMessage(quint8 code)
{
    return QByteArray("\x3B", 1) + char(code);
}

static QByteArray bslData(const QByteArray &data)
{
    return QByteArray("\x3A", 1) + data;
}

static const QByteArray secret = "0123456789ABCDEF";
static const QByteArray erasedPassword(16, '\xFF');

static QByteArray segmentWithPassword(const QByteArray &password, quint8 identityTag = 0xC0)
{
    return segmentOf({infoRecord(identityTag, hex("0401") + hex("C8FFFFFF") + password),
                      infoRecord(0x10, QByteArray(16, '\x11')), infoRecord(0xFE, QByteArray(8, '\xFF')),
                      infoRecord(0x01, QByteArray(8, '\x22'))});
}

// Commands and the replies expected to them, in order; "none" for no reply.
struct BslScript
{
    BslScript &step(const QByteArray &command, const QByteArray &reply)
    {
        commands.append(command);
        replies.append(reply);
        return *this;
    }
    QList<QByteArray> commands;
    QList<QByteArray> replies;
};

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
    void extraAnswers_data();
    void extraAnswers();
    void cablePull();
    void lineFaults_data();
    void lineFaults();
    void slowCard_data();
    void slowCard();

    void bootloaderScript_data();
    void bootloaderScript();
    void bootloaderPowerUpState();
    void flashVersionFollowsApplication();
    void bootloaderKnobsOnMissingCard();
    void massErasesRecordTheLock();

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
    // One bootloader command to the only card: its reply after the opcode
    // and argument digits in hex, "none" without a reply, or what went wrong.
    QByteArray bslExchange(const QByteArray &command);

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
        qWarning() << "received" << EmulatorCodec::hex(received);
        return {};
    }
    return slotStreams(received.mid(echo.size()), slotCount);
}

QByteArray tst_EmulatedD2xx::bslExchange(const QByteArray &command)
{
    const QList<QByteArray> streams = exchange(packet(OPCODE_BOOTLOADER, 0, 0, command), 1);
    if (streams.size() != 1)
        return "no frames";
    QByteArray body;
    const QByteArray kind = classify(streams.at(0), &body);
    if (kind != "ok")
        return kind;
    if (!body.startsWith(hex("02FFFF")))
        return "not a bootloader reply: " + EmulatorCodec::hex(body);
    return EmulatorCodec::hex(body.mid(3));
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
    QVERIFY(emu->card(0)->receivedCommands().isEmpty());
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
    QCOMPARE(EmulatorCodec::hex(readAll()), EmulatorCodec::hex(expected));
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
    QTest::newRow("bootloader: unknown command, message 7")
        << packet(OPCODE_BOOTLOADER, 0, 0, hex("80011000")) << hex("02FFFF" "3B07");
    QTest::newRow("bootloader: version, data reply")
        << packet(OPCODE_BOOTLOADER, 0, 0, hex("19")) << hex("02FFFF" "3A" "E10203E4");
    QTest::newRow("unknown opcode: confused") << packet(0x3F) << hex("00FFFF");
}

void tst_EmulatedD2xx::replyBodies()
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
    QCOMPARE(emu->card(0)->receivedCommands(), QList<QByteArray>{EmulatorCodec::decodePacket(command)});
}

void tst_EmulatedD2xx::cardStateFollowsCommands()
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
    QCOMPARE(EmulatorCodec::hex(body), EmulatorCodec::hex(hex("06FFFF" "00000200" "00000100")));
    emu->card(0)->setReflashSucceeds(false);
    QCOMPARE(classify(exchange(packet(REFLASH_ACTION), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(EmulatorCodec::hex(body), EmulatorCodec::hex(hex("07FFFF00")));
    emu->card(0)->setReflashSucceeds(true);
    QCOMPARE(classify(exchange(packet(REFLASH_ACTION), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(EmulatorCodec::hex(body), EmulatorCodec::hex(hex("07FFFF01")));
    QCOMPARE(classify(exchange(packet(GET_FLASH_VER), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(EmulatorCodec::hex(body), EmulatorCodec::hex(hex("06FFFF" "00000200" "00000200")));

    QCOMPARE(emu->card(0)->commandsReceived(OPCODE_LED_RED), 1);
    QCOMPARE(emu->card(0)->commandsReceived(OPCODE_FRAME_INTERVAL), 2);
    QCOMPARE(emu->card(0)->commandsReceived(REFLASH_ACTION), 2);
    QCOMPARE(emu->card(0)->commandsReceived(OPCODE_CLAMP), 0);
    const QList<QByteArray> bodies = emu->card(0)->receivedCommands();
    QCOMPARE(bodies.size(), 9);
    QCOMPARE(EmulatorCodec::hex(bodies.at(4)), QByteArray("03 FF 01"));
}

// The information command goes to every card; identify to the card it
// names (card number n answers in slot n - 1), the others keep quiet.
void tst_EmulatedD2xx::severalCards_data()
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

void tst_EmulatedD2xx::severalCards()
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
        QCOMPARE(quint8(body.at(5)), quint8(i + 1)); // block manufacturer
        QCOMPARE(quint8(body.at(6)), quint8(i + 2)); // block type
        QCOMPARE(quint8(body.at(12)), quint8(1000 + i - 768)); // serial, low byte
        QCOMPARE(quint8(body.at(13)), quint8(3));
        QCOMPARE(emu->card(i)->commandsReceived(OPCODE_LINE_CARD_INFO), 1);
    }
}

void tst_EmulatedD2xx::shorterReplyIsFilled()
{
    emu->addCard(identity(1));
    emu->addCard(identity(2));
    emu->card(0)->setListenEntries(hex("010203040506" "0708090A0B0C"));
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
    QCOMPARE(EmulatorCodec::hex(readAll()), EmulatorCodec::hex(echo)); // no reply
    QCOMPARE(emu->droppedPackets(), 1);
    QCOMPARE(emu->droppedReasons(), QList<QByteArray>{reason});
    QVERIFY(emu->card(0)->receivedCommands().isEmpty());
    QCOMPARE(emu->card(0)->ledState(), 0);
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
    QCOMPARE(EmulatorCodec::hex(body), QByteArray("23 FF FF"));
    QCOMPARE(emu->droppedReasons(), QList<QByteArray>{"checksum"});
    QCOMPARE(emu->card(0)->commandsReceived(OPCODE_LED_RED), 0);
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
void tst_EmulatedD2xx::extraAnswers_data()
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

void tst_EmulatedD2xx::extraAnswers()
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

// A pulled cable: the transmission at the pull fails and never reaches the
// card, every call on the handle fails, the device is gone from the list;
// plugged back in it is a new device that must be opened again.
void tst_EmulatedD2xx::cablePull()
{
    emu->addCard();
    emu->pullCableAtTransmission(2);
    openController();
    transmit(packet(OPCODE_LED_RED));
    readAll();
    const FT_HANDLE before = handle;

    QByteArray bytes = '\x55' + packet(OPCODE_LED_GREEN);
    uint32_t written = 99;
    QCOMPARE(emu->FT_Write(handle, bytes.data(), uint32_t(bytes.size()), &written),
             FT_STATUS(FT_IO_ERROR));
    QCOMPARE(written, 0u);
    uint32_t rx = 0, tx = 0, event = 0;
    QCOMPARE(emu->FT_GetStatus(handle, &rx, &tx, &event), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(emu->FT_SetRts(handle), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(emu->FT_Purge(handle, FT_PURGE_RX), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(emu->card(0)->commandsReceived(OPCODE_LED_GREEN), 0);
    QCOMPARE(emu->card(0)->ledState(), int(OPCODE_LED_RED));
    uint32_t count = 9;
    QCOMPARE(emu->FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(count, 0u);
    FT_HANDLE none = nullptr;
    QCOMPARE(emu->FT_Open(0, &none), FT_STATUS(FT_DEVICE_NOT_FOUND));

    emu->plugCableBackIn();
    QCOMPARE(emu->FT_GetStatus(before, &rx, &tx, &event), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(emu->FT_Close(before), FT_STATUS(FT_IO_ERROR));
    openController();
    QVERIFY(handle != before);
    QCOMPARE(emu->FT_GetStatus(before, &rx, &tx, &event), FT_STATUS(FT_IO_ERROR));
    QByteArray body;
    QCOMPARE(classify(exchange(packet(OPCODE_LED_GREEN), 1).value(0), &body), QByteArray("ok"));
    QCOMPARE(emu->card(0)->ledState(), int(OPCODE_LED_GREEN));

    // Pulled at once, with nothing open: only the listing shows it.
    makeEmulator(EmulatedD2xx::Timing::Instant);
    emu->pullCable();
    QCOMPARE(emu->FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(count, 0u);
    emu->plugCableBackIn();
    openController();
}

// A slow card works on one command at a time: the commands that reach it
// while it makes a slow answer are carried out and answered afterwards, in
// order. Three LED commands, red (1), green (2), yellow (3), to a card and
// its healthy neighbour; the LED shows what the card has carried out.
void tst_EmulatedD2xx::slowCard_data()
{
    QTest::addColumn<bool>("from");        // slowRepliesFrom, else slowReplyTo
    QTest::addColumn<int>("k");
    QTest::addColumn<QByteArray>("early"); // LED opcodes answered at once, card 0
    QTest::addColumn<int>("ledEarly");     // card 0's LED before the slow answer
    QTest::addColumn<int>("waitMs");       // until every answer is in

    QTest::newRow("2 slow: 3 waits behind it") << false << 2 << QByteArray("21") << 0x21 << 400;
    QTest::newRow("3 slow") << false << 3 << QByteArray("21 22") << 0x22 << 400;
    QTest::newRow("from 2: each answer in turn") << true << 2 << QByteArray("21") << 0x21 << 800;
}

void tst_EmulatedD2xx::slowCard()
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

// A byte of the frames that carry one answer is damaged on the line; the
// answer after it comes through whole.
void tst_EmulatedD2xx::lineFaults_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("malformed"); // frames that no longer decode

    QTest::newRow("flip: a changed byte") << int(LineFault::Flip) << 0;
    QTest::newRow("lose: a frame cut short") << int(LineFault::Lose) << 1;
    QTest::newRow("extra: a spurious byte") << int(LineFault::Extra) << 1;
}

void tst_EmulatedD2xx::lineFaults()
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

// --- the cards' bootloaders

void tst_EmulatedD2xx::bootloaderScript_data()
{
    QTest::addColumn<EmulatorSetup>("setup");
    QTest::addColumn<QList<QByteArray>>("commands");
    QTest::addColumn<QList<QByteArray>>("replies");

    const QByteArray ok = bslMessage(0);
    const QByteArray failed = bslMessage(1);
    const QByteArray locked = bslMessage(4);
    const QByteArray refused = bslMessage(5);
    const QByteArray unknown = bslMessage(7);
    const QByteArray none = "none";
    const QByteArray iv = hex("C5899F28D8555CE07F3990EEF99841BF");
    QByteArray page0, page1;
    for (int i = 0; i < 64; ++i) {
        page0.append(char(i * 3 + 1));
        page1.append(char(0x80 + i));
    }
    QByteArray page0Changed = page0;
    page0Changed[10] = char(0x55);
    const QByteArray readSegment = bslAt(0x18, 0x10C0, le16(64));
    const QByteArray segmentA = segmentWithPassword(erasedPassword);
    const QByteArray segmentB = segmentWithPassword(secret);
    const auto withSegment = [](const QByteArray &segment) {
        return EmulatorSetup([segment](EmulatedD2xx &emu) { emu.card(0)->bootloader().setInfoSegment(segment); });
    };
    // The firmware the card's board is built for, which its check accepts.
    const auto withFirmware = [iv](const QByteArray &payload, quint32 load = 0xD000,
                                   const EmulatorSetup &more = {}) {
        return EmulatorSetup([=](EmulatedD2xx &emu) {
            CardFirmware firmware;
            firmware.loadAddress = load;
            firmware.iv = iv;
            firmware.payload = payload;
            emu.card(0)->bootloader().setFirmware(firmware);
            if (more)
                more(emu);
        });
    };
    const auto install = [&](BslScript script, quint32 load = 0xD000) {
        return script.step(hex("15"), ok).step(bslAt(0x21, load, iv), ok);
    };
    const auto row = [](const char *name, const BslScript &script,
                        const EmulatorSetup &setup = EmulatorSetup()) {
        QTest::newRow(name) << setup << script.commands << script.replies;
    };

    row("identity 25 53 .., version E1 02 03 E4, buffer size 64, platform 04 01",
        BslScript()
            .step(hex("1E"), bslData(hex("2553" "0102030405060708090A0B0C0D0E")))
            .step(hex("19"), bslData(hex("E10203E4")))
            .step(hex("1A"), bslData(hex("4000")))
            .step(hex("1D"), bslData(hex("0401"))));
    row("another device identity", BslScript().step(hex("1E"), bslData(hex("2554" "AABB"))),
        [](EmulatedD2xx &emu) { emu.card(0)->bootloader().setDeviceId(hex("2554" "AABB")); });
    row("capacity: 0 in flash and SRAM, 1 elsewhere",
        BslScript()
            .step(bslAt(0x1F, 0xC000), ok)
            .step(bslAt(0x1F, 0xFFFF), ok)
            .step(bslAt(0x1F, 0x0200), ok)
            .step(bslAt(0x1F, 0x03FE), ok)
            .step(bslAt(0x1F, 0x03FF), ok)
            .step(bslAt(0x1F, 0xBFFF), failed)
            .step(bslAt(0x1F, 0x0400), failed)
            .step(bslAt(0x1F, 0x01FF), failed)
            .step(bslAt(0x1F, 0x10C0), failed)
            .step(bslAt(0x1F, 0x10000), failed));
    row("capacity: a probe refused on request",
        BslScript().step(bslAt(0x1F, 0xC000), failed).step(bslAt(0x1F, 0xC002), ok),
        [](EmulatedD2xx &emu) { emu.card(0)->bootloader().refuseCapacityProbe(0xC000); });
    row("lock: locked at power-up, each toggle answers the new state (1 locked)",
        BslScript().step(hex("13"), ok).step(hex("13"), failed).step(hex("13"), ok));
    row("lock that never locks",
        BslScript().step(hex("13"), ok).step(hex("13"), ok).step(hex("13"), ok),
        [](EmulatedD2xx &emu) { emu.card(0)->bootloader().setLockNeverLocks(true); });
    row("segment: erase and write only unlocked, write only onto erased bytes",
        BslScript()
            .step(bslAt(0x12, 0x10C0), locked)
            .step(bslAt(0x10, 0x10C0, segmentB), locked)
            .step(readSegment, bslData(segmentA))
            .step(hex("13"), ok)
            .step(bslAt(0x10, 0x10C0, segmentB), failed)
            .step(bslAt(0x12, 0x1100), failed)
            .step(bslAt(0x12, 0x10C0), ok)
            .step(readSegment, bslData(QByteArray(64, '\xFF')))
            .step(bslAt(0x10, 0x10F0, QByteArray(32, '\x33')), failed) // runs past the segment
            .step(bslAt(0x10, 0x10C0, segmentB), ok)
            .step(readSegment, bslData(segmentB))
            .step(bslAt(0x10, 0x10C0, segmentB), failed),
        withSegment(segmentA));
    row("mass erase keeps a locked segment, erases an unlocked one",
        BslScript()
            .step(hex("15"), ok)
            .step(readSegment, bslData(segmentA))
            .step(hex("13"), ok)
            .step(hex("15"), ok)
            .step(readSegment, bslData(QByteArray(64, '\xFF'))),
        withSegment(segmentA));
    row("installation: IV after a mass erase, pages onto erased flash, re-sent page, check",
        BslScript()
            .step(bslAt(0x21, 0xD000, iv), failed) // no mass erase yet
            .step(bslAt(0x22, 0xD000, page0), failed)
            .step(hex("15"), ok)
            .step(hex("20"), failed) // no IV
            .step(bslAt(0x22, 0xD000, page0), failed)
            .step(bslAt(0x21, 0xD000, iv), ok)
            .step(bslAt(0x21, 0xD000, iv), ok) // re-sent before any code
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(bslAt(0x22, 0xD000, page0), ok) // re-sent
            .step(bslAt(0x22, 0xD000, page0Changed), failed)
            .step(bslAt(0x21, 0xD000, iv), failed) // after code
            .step(bslAt(0x22, 0xD040, page1.left(32)), ok)
            .step(bslAt(0x18, 0xD000, le16(64)), bslData(page0))
            .step(bslAt(0x1C, 0xD060, le16(0x0FA0)), ok)
            .step(bslAt(0x1C, 0xD050, le16(0x10)), failed)
            .step(hex("20"), ok)
            .step(hex("20"), ok),
        withFirmware(page0 + page1.left(32)));
    row("check: a gap between pages fails",
        install(BslScript())
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(bslAt(0x22, 0xD080, page1), ok)
            .step(hex("20"), failed));
    row("check: code not starting at the IV's address fails",
        install(BslScript()).step(bslAt(0x22, 0xD040, page1), ok).step(hex("20"), failed));
    row("check: no code fails", install(BslScript()).step(hex("20"), failed));
    row("check: the card's own payload passes",
        install(BslScript())
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(bslAt(0x22, 0xD040, page1), ok)
            .step(hex("20"), ok),
        withFirmware(page0 + page1));
    row("check: another board's payload fails",
        install(BslScript())
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(bslAt(0x22, 0xD040, page0), ok)
            .step(hex("20"), failed),
        withFirmware(page0 + page1));
    row("check: more than the payload fails",
        install(BslScript())
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(bslAt(0x22, 0xD040, page1), ok)
            .step(hex("20"), failed),
        withFirmware(page0));
    row("check: another vector fails",
        BslScript()
            .step(hex("15"), ok)
            .step(bslAt(0x21, 0xD000, QByteArray(16, '\x42')), ok)
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(hex("20"), failed),
        withFirmware(page0));
    row("check: another load address fails",
        install(BslScript(), 0xD040).step(bslAt(0x22, 0xD040, page0), ok).step(hex("20"), failed),
        withFirmware(page0));
    row("check: a board without firmware never passes",
        install(BslScript()).step(bslAt(0x22, 0xD000, page0), ok).step(hex("20"), failed),
        [](EmulatedD2xx &emu) {
            EmulatedCardIdentity unknown;
            unknown.blockManufacturer = 6;
            unknown.blockType = 2;
            emu.card(0)->setIdentity(unknown);
        });
    row("a mass erase ends the installation",
        install(BslScript())
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(hex("15"), ok)
            .step(bslAt(0x22, 0xD040, page1), failed)
            .step(hex("20"), failed)
            .step(bslAt(0x18, 0xD000, le16(16)), bslData(QByteArray(16, '\xFF'))));
    row("IV and code outside main flash, too long or empty refused",
        BslScript()
            .step(hex("15"), ok)
            .step(bslAt(0x21, 0x0200, iv), failed)
            .step(bslAt(0x21, 0xC000, QByteArray()), failed)
            .step(bslAt(0x21, 0xC000, iv), ok)
            .step(bslAt(0x22, 0xFFE0, page0), failed) // runs past 0xFFFF
            .step(bslAt(0x22, 0x0200, page0), failed)
            .step(bslAt(0x22, 0xC000, page0 + 'x'), failed)
            .step(bslAt(0x22, 0xC000, QByteArray()), failed)
            .step(bslAt(0x22, 0xFFC0, page0), ok));
    row("pages refused on request: page 1 twice, page 2 always",
        install(BslScript())
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(bslAt(0x22, 0xD040, page1), refused)
            .step(bslAt(0x22, 0xD040, page1), refused)
            .step(bslAt(0x22, 0xD040, page1), ok)
            .step(bslAt(0x22, 0xD080, page0), refused)
            .step(bslAt(0x22, 0xD080, page0), refused)
            .step(bslAt(0x18, 0xD080, le16(4)), bslData(hex("FFFFFFFF")))
            .step(hex("20"), ok),
        withFirmware(page0 + page1, 0xD000, [](EmulatedD2xx &emu) {
            emu.card(0)->bootloader().refusePage(1, 2);
            emu.card(0)->bootloader().refusePage(2, -1);
        }));
    row("page numbers count from the IV's address",
        install(BslScript(), 0xC000)
            .step(bslAt(0x22, 0xC000, page0), ok)
            .step(bslAt(0x22, 0xC040, page1), refused)
            .step(bslAt(0x22, 0xC040, page1), ok),
        [](EmulatedD2xx &emu) { emu.card(0)->bootloader().refusePage(1, 1); });
    row("password: erased one in the identity record, the default is accepted",
        BslScript().step(hex("11") + secret, refused).step(hex("11") + erasedPassword, ok),
        withSegment(segmentA));
    row("password: the identity record's secret",
        BslScript()
            .step(hex("11") + erasedPassword, refused)
            .step(hex("11") + secret.left(15), refused)
            .step(hex("11") + secret, ok),
        withSegment(segmentB));
    row("password: no identity record, the default is accepted",
        BslScript().step(hex("11") + secret, refused).step(hex("11") + erasedPassword, ok),
        withSegment(segmentWithPassword(secret, 0xFE)));
    row("password: erased segment, the default is accepted",
        BslScript().step(hex("11") + erasedPassword, ok), withSegment(QByteArray(64, '\xFF')));
    row("CRC-16-CCITT: 123456789 gives 29B1, nothing gives FFFF",
        install(BslScript())
            .step(bslAt(0x22, 0xD000, "123456789"), ok)
            .step(bslAt(0x16, 0xD000, le16(9)), bslData(hex("B129")))
            .step(bslAt(0x16, 0xD000, le16(0)), bslData(hex("FFFF")))
            .step(bslAt(0x16, 0xFFF0, le16(0x20)), failed));
    row("blank check",
        BslScript()
            .step(bslAt(0x1C, 0xC000, le16(0x4000)), ok)
            .step(bslAt(0x1C, 0x0200, le16(1)), failed)
            .step(bslAt(0x1C, 0xFFFF, le16(2)), failed));
    row("reads: up to 64 bytes from one memory",
        BslScript()
            .step(bslAt(0x18, 0x0200, le16(4)), bslData(hex("00000000")))
            .step(bslAt(0x18, 0xC000, le16(65)), failed)
            .step(bslAt(0x18, 0xC000, le16(0)), failed)
            .step(bslAt(0x18, 0xFFF0, le16(32)), failed)
            .step(bslAt(0x18, 0x0000, le16(1)), failed));
    row("unknown or cut-short commands: message 7",
        BslScript()
            .step(hex("80"), unknown)
            .step(QByteArray(), unknown)
            .step(hex("18C0"), unknown)
            .step(bslAt(0x18, 0x10C0), unknown) // no length
            .step(bslAt(0x17, 0x10C0), unknown));
    row("dropped replies: the commands are still carried out",
        BslScript()
            .step(hex("13"), none)
            .step(hex("13"), none)
            .step(hex("13"), ok) // unlocked, locked, unlocked
            .step(hex("19"), bslData(hex("E10203E4"))),
        [](EmulatedD2xx &emu) { emu.card(0)->bootloader().dropNextReplies(2); });
}

void tst_EmulatedD2xx::bootloaderScript()
{
    QFETCH(EmulatorSetup, setup);
    QFETCH(QList<QByteArray>, commands);
    QFETCH(QList<QByteArray>, replies);
    emu->addCard();
    openController();
    if (setup)
        setup(*emu);
    for (int i = 0; i < commands.size(); ++i) {
        const QByteArray expected = replies.at(i) == "none" ? replies.at(i)
                                                             : EmulatorCodec::hex(replies.at(i));
        const QByteArray got = bslExchange(commands.at(i));
        const QString step = QStringLiteral("step %1, command %2: got %3, expected %4")
                                 .arg(i)
                                 .arg(QString::fromLatin1(EmulatorCodec::hex(commands.at(i))),
                                      QString::fromLatin1(got), QString::fromLatin1(expected));
        QVERIFY2(got == expected, qPrintable(step));
    }
}

void tst_EmulatedD2xx::massErasesRecordTheLock()
{
    emu->addCard();
    openController();
    QCOMPARE(bslExchange(hex("15")), QByteArray("3B 00"));
    QCOMPARE(bslExchange(hex("13")), QByteArray("3B 00")); // now unlocked
    QCOMPARE(bslExchange(hex("15")), QByteArray("3B 00"));
    QCOMPARE(emu->card(0)->bootloader().massErases(), QList<bool>({true, false}));
    QCOMPARE(emu->card(0)->bootloader().infoSegment(), QByteArray(64, '\xFF')); // erased with the main flash
    QVERIFY(!emu->card(1)); // no second card to have erased
}

void tst_EmulatedD2xx::bootloaderPowerUpState()
{
    emu->addCard();
    openController();
    QVERIFY(emu->card(0)->bootloader().infoSegmentLocked());
    QVERIFY(emu->card(0)->bootloader().applicationRunning());
    QCOMPARE(emu->card(0)->bootloader().flash(0xC000, 0x4000), QByteArray(0x4000, '\xFF'));
    QCOMPARE(emu->card(0)->bootloader().flash(0xFFFF, 1), hex("FF"));
    QVERIFY(emu->card(0)->bootloader().flash(0xBFFF, 2).isEmpty());
    QVERIFY(emu->card(0)->bootloader().flash(0xFFFF, 2).isEmpty());
    QVERIFY(emu->card(0)->bootloader().flash(0xC000, -1).isEmpty());

    // A well-formed segment: the four standard records, the erased
    // password, and a checksum that with the XOR of the other 31 words
    // gives 0.
    const QByteArray segment = emu->card(0)->bootloader().infoSegment();
    QCOMPARE(segment.size(), 64);
    const QList<QPair<int, QByteArray>> records = {
        {2, hex("C016")}, {26, hex("1010")}, {44, hex("FE08")}, {54, hex("0108")}};
    for (const auto &r : records)
        QCOMPARE(EmulatorCodec::hex(segment.mid(r.first, 2)), EmulatorCodec::hex(r.second));
    quint16 sum = 0;
    quint16 x = 0;
    for (int i = 0; i < 64; i += 2) {
        const quint16 word = quint16(quint8(segment.at(i)) | quint8(segment.at(i + 1)) << 8);
        if (i == 0)
            sum = word;
        else
            x ^= word;
    }
    QCOMPARE(quint16(sum + x), quint16(0));
    QCOMPARE(segment.mid(4 + 6, 16), erasedPassword);
    // The card's own calibration, not the bodies a rewrite puts in place.
    QVERIFY(segment.mid(28, 16) != hex("008000006C7FE6027003D37FBB010E02"));
    QVERIFY(segment.mid(56, 8) != hex("918F968E8580C086"));
    QCOMPARE(bslExchange(bslAt(0x18, 0x10C0, le16(64))), EmulatorCodec::hex(bslData(segment)));

    // Shorter segments are padded with erased bytes.
    emu->card(0)->bootloader().setInfoSegment(hex("0102"));
    QCOMPARE(emu->card(0)->bootloader().infoSegment(), hex("0102") + QByteArray(62, '\xFF'));
}

void tst_EmulatedD2xx::flashVersionFollowsApplication()
{
    emu->addCard();
    emu->card(0)->setFlashVersions(0x00020000, 0x00010000);
    openController();
    QByteArray body;
    const auto reply = [&](quint8 opcode) {
        body.clear();
        const QByteArray kind = classify(exchange(packet(opcode), 1).value(0), &body);
        return kind == "ok" ? EmulatorCodec::hex(body) : kind;
    };

    // The card's own application answers until a mass erase removes it.
    QCOMPARE(reply(GET_FLASH_VER), QByteArray("06 FF FF 00 00 02 00 00 00 01 00"));
    QCOMPARE(bslExchange(hex("15")), QByteArray("3B 00"));
    QVERIFY(!emu->card(0)->bootloader().applicationRunning());
    QCOMPARE(reply(GET_FLASH_VER), QByteArray("confused"));
    QCOMPARE(reply(REFLASH_ACTION), QByteArray("confused"));

    QByteArray page;
    for (int i = 0; i < 64; ++i)
        page.append(char(i + 1));
    CardFirmware firmware;
    firmware.loadAddress = 0xD000;
    firmware.iv = QByteArray(16, '\x5A');
    firmware.payload = page;
    emu->card(0)->bootloader().setFirmware(firmware);
    QCOMPARE(bslExchange(bslAt(0x21, 0xD000, QByteArray(16, '\x5A'))), QByteArray("3B 00"));
    QCOMPARE(bslExchange(bslAt(0x22, 0xD000, page)), QByteArray("3B 00"));
    QVERIFY(!emu->card(0)->bootloader().applicationRunning());
    QCOMPARE(bslExchange(hex("20")), QByteArray("3B 00"));
    QVERIFY(emu->card(0)->bootloader().applicationRunning());
    QCOMPARE(emu->card(0)->bootloader().flash(0xD000, 65), page + '\xFF');

    // The new application carries 2.0 while 1.0 is installed; a reflash
    // installs the carried one. The refused reflash above changed nothing.
    QCOMPARE(reply(GET_FLASH_VER), QByteArray("06 FF FF 00 00 02 00 00 00 01 00"));
    QCOMPARE(reply(REFLASH_ACTION), QByteArray("07 FF FF 01"));
    QCOMPARE(reply(GET_FLASH_VER), QByteArray("06 FF FF 00 00 02 00 00 00 02 00"));
}

void tst_EmulatedD2xx::bootloaderKnobsOnMissingCard()
{
    emu->addCard();
    emu->addCard();
    emu->card(1)->bootloader().setLockNeverLocks(true);
    // A slot without a card gives an empty access: nothing to change there.
    for (int card : {-1, 2})
        QVERIFY(!emu->card(card));
    QVERIFY(emu->card(0) && emu->card(1));
    openController();

    // Each card has its own bootloader: the same two toggles lock card 0
    // again but leave card 1 unlocked.
    for (const char *expected : {"3B 00 3B 00", "3B 01 3B 00"}) {
        const QList<QByteArray> streams = exchange(packet(OPCODE_BOOTLOADER, 0, 0, hex("13")), 2);
        QCOMPARE(streams.size(), 2);
        QByteArray body0, body1;
        QCOMPARE(classify(streams.at(0), &body0), QByteArray("ok"));
        QCOMPARE(classify(streams.at(1), &body1), QByteArray("ok"));
        QCOMPARE(EmulatorCodec::hex(body0.mid(3) + body1.mid(3)), QByteArray(expected));
    }
    QVERIFY(emu->card(0)->bootloader().infoSegmentLocked());
    QVERIFY(!emu->card(1)->bootloader().infoSegmentLocked());
    QCOMPARE(emu->card(0)->bootloader().flash(0xC000, 1), hex("FF"));
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
    QCOMPARE(EmulatorCodec::hex(body), QByteArray("21 FF FF"));
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
        if (lines.at(i).startsWith('#'))
            continue; // the rules under the header
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
    for (int i = 1; i < rawLines.size() - 1; ++i) {
        if (!rawLines.at(i).startsWith("# "))
            QVERIFY2(matchesItsKind(QString::fromLatin1(rawLines.at(i))), rawLines.at(i).constData());
    }
    QVERIFY(rawLines.at(1).startsWith("# times: microseconds"));

    QString header;
    const QList<CaptureLine> lines = readCapture(path, &header);
    QCOMPARE(header, QString("# vx420 capture v1"));
    const QString ledHex = QString::fromLatin1(EmulatorCodec::hex(led));
    const QString badHex = QString::fromLatin1(EmulatorCodec::hex(bad));
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
        expected += "dev frame " + QString::fromLatin1(EmulatorCodec::hex(EmulatorCodec::encodeFrame(QByteArray(1, b))));
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
