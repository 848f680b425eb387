#include "tests/support/EmulatedChipFixture.h"
#include "emulator/EmulatorCodec.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <vector>

Q_DECLARE_METATYPE(EmulatedDevice)

// The D2XX-shaped face of the emulated chip: the device list, handles,
// the line settings the calls make, a pulled cable, the record of calls and
// pauses, and the capture of all that crosses it.
class tst_EmulatedD2xx : public EmulatedChipFixture
{
    Q_OBJECT

private slots:
    void init();

    void deviceList_data();
    void deviceList();
    void openFailsAndHandles();
    void otherDeviceHasNoController();
    void lineStateFollowsCalls();
    void cablePull();

    void instantPausesAreVirtual();

    void captureInstant();
    void captureWire();
};

void tst_EmulatedD2xx::init()
{
    makeEmulator(EmulatedD2xx::Timing::Instant);
}

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
    QTest::newRow("names truncated to fit")
        << QList<EmulatedDevice>{longNames} << QByteArray(15, 'S') << QByteArray(63, 'D');
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

    QCOMPARE(emu->FT_SetBitMode(handle, 0x30, 0x00),
             FT_STATUS(FT_OK)); // bit mode reset: pins released
    QVERIFY(!emu->lineState().lineCardPath);
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
            QVERIFY2(matchesItsKind(QString::fromLatin1(rawLines.at(i))),
                     rawLines.at(i).constData());
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
        expected +=
            "dev frame "
            + QString::fromLatin1(EmulatorCodec::hex(EmulatorCodec::encodeFrame(QByteArray(1, b))));
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
