#include "tests/support/EmulatedChipFixture.h"

#include "emulator/EmulatorCodec.h"
#include "tests/support/TestBytes.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

QByteArray packet(quint8 opcode, quint16 argument, quint8 flags, const QByteArray &payload)
{
    return EmulatorCodec::encodePacket(char(opcode | flags)
                                       + EmulatorCodec::argumentDigits(argument) + payload);
}

qint64 charsUs(qint64 n)
{
    return (n * 11000000 + 9599) / 9600;
}

QList<QByteArray> slotStreams(const QByteArray &bytes, int slotCount, int *frameCount)
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

QByteArray classify(const QByteArray &stream, QByteArray *body)
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

EmulatedCardIdentity identity(quint32 serial, quint8 manufacturer, quint8 type)
{
    EmulatedCardIdentity id;
    id.serialNumber = serial;
    id.blockManufacturer = manufacturer;
    id.blockType = type;
    id.pairByte = 0x90; // 16 pairs, 4 wires
    id.secondWord = 0xA1B2C3D4;
    return id;
}

QByteArray bslAt(quint8 opcode, quint32 address, const QByteArray &data)
{
    QByteArray bytes(1, char(opcode));
    for (int shift = 0; shift < 24; shift += 8)
        bytes.append(char((address >> shift) & 0xFF));
    return bytes + data;
}

QByteArray bslMessage(quint8 code)
{
    return QByteArray("\x3B", 1) + char(code);
}

QByteArray bslData(const QByteArray &data)
{
    return QByteArray("\x3A", 1) + data;
}

void EmulatedChipFixture::makeEmulator(EmulatedD2xx::Timing timing)
{
    emu = std::make_unique<EmulatedD2xx>(timing);
    handle = nullptr;
}

void EmulatedChipFixture::openController()
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

void EmulatedChipFixture::configureLine()
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

void EmulatedChipFixture::selectLineCards()
{
    for (quint8 mask : {quint8(0x22), quint8(0x10), quint8(0x30)}) {
        QCOMPARE(emu->FT_SetBitMode(handle, mask, 0x20), FT_STATUS(FT_OK));
        emu->sleepMicroseconds(10000);
    }
    QCOMPARE(emu->FT_SetRts(handle), FT_STATUS(FT_OK));
    emu->sleepMicroseconds(2100);
    QCOMPARE(emu->FT_ClrRts(handle), FT_STATUS(FT_OK));
}

void EmulatedChipFixture::transmit(const QByteArray &packets, bool withBreak, char sync,
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
    QCOMPARE(emu->FT_Write(handle, bytes.data(), uint32_t(bytes.size()), &written),
             FT_STATUS(FT_OK));
    QCOMPARE(written, uint32_t(bytes.size()));
    if (waitWireTime) {
        emu->sleepMicroseconds(uint32_t(((bytes.size() * 11000 + 9599) / 9600 + 2) * 1000));
        QCOMPARE(emu->FT_ClrRts(handle), FT_STATUS(FT_OK));
    }
}

QByteArray EmulatedChipFixture::readAll()
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

QByteArray EmulatedChipFixture::readUntil(int count, int timeoutMs)
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

QList<QByteArray> EmulatedChipFixture::exchange(const QByteArray &packets, int slotCount)
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

QByteArray EmulatedChipFixture::bslExchange(const QByteArray &command)
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
