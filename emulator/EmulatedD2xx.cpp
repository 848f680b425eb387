#include "emulator/EmulatedD2xx.h"

#include "emulator/EmulatedController.h"
#include "emulator/EmulatedLineCard.h"
#include "emulator/EmulatedRxQueue.h"
#include "emulator/EmulatedSerialLine.h"
#include "emulator/EmulatorCodec.h"
#include "emulator/EmulatorCapture.h"

#include <QMutexLocker>
#include <QThread>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

constexpr uint32_t deviceTypeFt232r = 5;
constexpr uint32_t deviceId = 0x04036001; // vendor and product
constexpr uint32_t flagOpened = 0x1;

QByteArray hex2(quint32 value)
{
    return QByteArray::number(value & 0xFF, 16).toUpper().rightJustified(2, '0');
}

QByteArray dec(quint32 value)
{
    return QByteArray::number(value);
}

void copyTruncated(char *dest, int size, const QByteArray &text)
{
    std::memset(dest, 0, size_t(size));
    std::memcpy(dest, text.constData(), size_t(std::min(text.size(), size - 1)));
}

} // namespace

EmulatedD2xx::EmulatedD2xx(Timing timing)
    : timing(timing), devices{EmulatedDevice()},
      controller(std::make_unique<EmulatedController>(timing == Timing::Wire)),
      line(std::make_unique<EmulatedSerialLine>(*controller, timing == Timing::Wire)),
      capture(std::make_unique<EmulatorCapture>())
{
    clock.start();
    line->setWired(false);
}

EmulatedD2xx::~EmulatedD2xx()
{
    stopCapture();
}

// --- time, calls and capture

qint64 EmulatedD2xx::now() const
{
    return clock.nsecsElapsed() / 1000 + virtualOffsetUs;
}

qint64 EmulatedD2xx::nowUs() const
{
    QMutexLocker lock(&mutex);
    return now();
}

qint64 EmulatedD2xx::beginCall()
{
    const qint64 t = now();
    record(line->advance(t));
    capture->flushDue(t);
    return t;
}

void EmulatedD2xx::recordCall(qint64 timeUs, const char *function, const QList<quint32> &args,
                              const QByteArray &bytes, FT_STATUS status)
{
    EmulatorCall call;
    call.timeUs = timeUs;
    call.function = function;
    call.args = args;
    call.bytes = bytes;
    call.status = status;
    callRecord.append(call);
    if (callRecord.size() > maxRecordedCalls)
        callRecord.removeFirst();
}

void EmulatedD2xx::endCall(qint64 timeUs, const char *function, const QList<quint32> &args,
                           FT_STATUS status, const QByteArray &capturedArgs)
{
    recordCall(timeUs, function, args, {}, status);
    QByteArray text = function;
    if (!capturedArgs.isEmpty())
        text += ' ' + capturedArgs;
    capture->host(timeUs, text + ' ' + dec(status));
    capture->flushDue(timeUs);
}

bool EmulatedD2xx::startCapture(const QString &path)
{
    QMutexLocker lock(&mutex);
    return capture->start(path);
}

void EmulatedD2xx::stopCapture()
{
    QMutexLocker lock(&mutex);
    const qint64 t = now();
    capture->flushDue(t);
    captureLoneBreak(t);
    capture->stop(t);
}

void EmulatedD2xx::captureLoneBreak(qint64 timeUs)
{
    // A break whose 0x00 no transmission's echo line has carried yet.
    if (breakEchoUncaptured) {
        capture->device(timeUs, "echo 00");
        capture->flushDue(timeUs);
        breakEchoUncaptured = false;
    }
}

QList<EmulatorCall> EmulatedD2xx::calls() const
{
    QMutexLocker lock(&mutex);
    return callRecord;
}

void EmulatedD2xx::clearCalls()
{
    QMutexLocker lock(&mutex);
    callRecord.clear();
    frameRecord.clear();
}

void EmulatedD2xx::clearRecords()
{
    clearCalls();
    QMutexLocker lock(&mutex);
    for (int card = 0; card < controller->cardCount(); ++card)
        controller->card(card).forgetReceivedCommands();
}

QList<EmulatorFrame> EmulatedD2xx::framesSent() const
{
    QMutexLocker lock(&mutex);
    return frameRecord;
}

// --- configuration

void EmulatedD2xx::setDevices(const QList<EmulatedDevice> &list)
{
    QMutexLocker lock(&mutex);
    devices = list;
}

void EmulatedD2xx::setOpenFails(bool fails)
{
    QMutexLocker lock(&mutex);
    openFails = fails;
}

void EmulatedD2xx::pullCable()
{
    QMutexLocker lock(&mutex);
    pullNow(now());
}

void EmulatedD2xx::pullCableAtTransmission(int k)
{
    QMutexLocker lock(&mutex);
    pullAtTransmission = std::max(k, 1);
}

void EmulatedD2xx::pullNow(qint64 timeUs)
{
    if (cablePulled)
        return;
    cablePulled = true;
    pullAtTransmission = 0;
    pulledDevice = openIndex;
    if (pulledDevice < 0) {
        for (int i = 0; i < devices.size() && pulledDevice < 0; ++i) {
            if (devices.at(i).description == "VX420")
                pulledDevice = i;
        }
    }
    if (openHandle) {
        deadHandles.append(openHandle);
        openHandle = nullptr;
        openIndex = -1;
        line->setWired(false);
    }
    capture->device(timeUs, "cable-pull");
    capture->flushDue(timeUs);
}

void EmulatedD2xx::plugCableBackIn()
{
    QMutexLocker lock(&mutex);
    pullAtTransmission = 0;
    if (!cablePulled)
        return;
    cablePulled = false;
    pulledDevice = -1;
    const qint64 t = now();
    capture->device(t, "cable-plug");
    capture->flushDue(t);
}

QList<int> EmulatedD2xx::visibleDevices() const
{
    QList<int> visible;
    for (int i = 0; i < devices.size(); ++i) {
        if (!cablePulled || i != pulledDevice)
            visible.append(i);
    }
    return visible;
}

void EmulatedD2xx::setEchoEnabled(bool enabled)
{
    QMutexLocker lock(&mutex);
    line->setEchoEnabled(enabled);
}

void EmulatedD2xx::injectReceived(const QByteArray &bytes)
{
    QMutexLocker lock(&mutex);
    const qint64 t = now();
    for (char b : bytes)
        line->received().insert(t, b);
    capture->device(t, "inject " + EmulatorCodec::hex(bytes));
    capture->flushDue(t);
}

int EmulatedD2xx::addCard(const EmulatedCardIdentity &identity)
{
    QMutexLocker lock(&mutex);
    return controller->addCard(identity);
}

int EmulatedD2xx::cardCount() const
{
    QMutexLocker lock(&mutex);
    return controller->cardCount();
}

bool EmulatedD2xx::cardIndexValid(int card) const
{
    return card >= 0 && card < controller->cardCount();
}

EmulatedCardAccess EmulatedD2xx::card(int card)
{
    QMutexLocker lock(&mutex);
    return EmulatedCardAccess(&mutex, cardIndexValid(card) ? &controller->card(card) : nullptr,
                              card);
}

void EmulatedD2xx::strayReply(int card, const QByteArray &body)
{
    QMutexLocker lock(&mutex);
    if (!cardIndexValid(card))
        return;
    const qint64 t = now();
    controller->strayReply(card, body, t);
    capture->device(t, "stray " + QByteArray::number(card) + ' ' + EmulatorCodec::hex(body));
    capture->flushDue(t);
}

void EmulatedD2xx::setLineFault(int card, int k, LineFault fault)
{
    QMutexLocker lock(&mutex);
    if (cardIndexValid(card))
        controller->setLineFault(card, k, fault);
}

// --- inspection

EmulatedLineState EmulatedD2xx::lineState() const
{
    QMutexLocker lock(&mutex);
    return line->state();
}

int EmulatedD2xx::droppedPackets() const
{
    QMutexLocker lock(&mutex);
    return controller->droppedPackets();
}

QList<QByteArray> EmulatedD2xx::droppedReasons() const
{
    QMutexLocker lock(&mutex);
    return controller->droppedReasons();
}

quint32 EmulatedD2xx::frameIntervalUs() const
{
    QMutexLocker lock(&mutex);
    return controller->frameIntervalUs();
}

// --- the library calls

FT_STATUS EmulatedD2xx::checkHandle(FT_HANDLE handle) const
{
    if (handle != nullptr && deadHandles.contains(handle))
        return FT_IO_ERROR;
    return handle != nullptr && handle == openHandle ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS EmulatedD2xx::FT_CreateDeviceInfoList(uint32_t *numDevs)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    listedDevices.clear();
    for (int i : visibleDevices())
        listedDevices.append(devices.at(i));
    const uint32_t count = uint32_t(listedDevices.size());
    const FT_STATUS status = numDevs ? FT_OK : FT_INVALID_PARAMETER;
    if (numDevs)
        *numDevs = count;
    endCall(t, "FT_CreateDeviceInfoList", {count}, status, dec(count));
    return status;
}

FT_STATUS EmulatedD2xx::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, uint32_t *numDevs)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    // Fills the records the last FT_CreateDeviceInfoList counted, which is
    // what the caller sized its array for.
    const uint32_t count = uint32_t(listedDevices.size());
    FT_STATUS status = FT_OK;
    if (!numDevs || (!dest && count > 0)) {
        status = FT_INVALID_PARAMETER;
    } else {
        for (int i = 0; i < listedDevices.size(); ++i) {
            FT_DEVICE_LIST_INFO_NODE &node = dest[i];
            const bool open = openHandle != nullptr && visibleDevices().value(i, -1) == openIndex;
            node.Flags = open ? flagOpened : 0;
            node.Type = deviceTypeFt232r;
            node.ID = deviceId;
            node.LocId = 0x1011 + uint32_t(i);
            copyTruncated(node.SerialNumber, int(sizeof node.SerialNumber),
                          listedDevices.at(i).serialNumber);
            copyTruncated(node.Description, int(sizeof node.Description),
                          listedDevices.at(i).description);
            node.ftHandle = open ? openHandle : nullptr;
        }
        *numDevs = count;
    }
    endCall(t, "FT_GetDeviceInfoList", {count}, status, dec(status == FT_OK ? count : 0));
    return status;
}

FT_STATUS EmulatedD2xx::FT_Open(int deviceNumber, FT_HANDLE *handle)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    FT_STATUS status = FT_OK;
    const QList<int> visible = visibleDevices();
    if (!handle)
        status = FT_INVALID_PARAMETER;
    else if (deviceNumber < 0 || deviceNumber >= visible.size())
        status = FT_DEVICE_NOT_FOUND;
    else if (openFails || openHandle != nullptr)
        status = FT_DEVICE_NOT_OPENED;

    if (status == FT_OK) {
        captureLoneBreak(t);
        openHandle = reinterpret_cast<FT_HANDLE>(quintptr(0x5A000000) + ++handlesIssued * 0x10);
        openIndex = visible.at(deviceNumber);
        line->setWired(devices.at(openIndex).description == "VX420");
        // The chip starts at its power-up state, with nothing received.
        line->reset();
        line->forgetBreak();
        *handle = openHandle;
    }
    endCall(t, "FT_Open", {quint32(deviceNumber)}, status, QByteArray::number(deviceNumber));
    return status;
}

FT_STATUS EmulatedD2xx::FT_Close(FT_HANDLE handle)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    const FT_STATUS status = checkHandle(handle);
    if (status == FT_OK) {
        captureLoneBreak(t);
        openHandle = nullptr;
        openIndex = -1;
        line->setWired(false);
    }
    endCall(t, "FT_Close", {}, status, {});
    return status;
}

FT_STATUS EmulatedD2xx::FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    const FT_STATUS status = checkHandle(handle);
    if (status == FT_OK)
        line->setBaudRate(baudRate);
    endCall(t, "FT_SetBaudRate", {baudRate}, status, dec(baudRate));
    return status;
}

FT_STATUS EmulatedD2xx::FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength,
                                                  uint8_t stopBits, uint8_t parity)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    const FT_STATUS status = checkHandle(handle);
    if (status == FT_OK)
        line->setDataCharacteristics(wordLength, stopBits, parity);
    endCall(t, "FT_SetDataCharacteristics", {wordLength, stopBits, parity}, status,
            dec(wordLength) + ' ' + dec(stopBits) + ' ' + dec(parity));
    return status;
}

FT_STATUS EmulatedD2xx::FT_SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventCharEnabled,
                                    uint8_t errorChar, uint8_t errorCharEnabled)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    const FT_STATUS status = checkHandle(handle);
    if (status == FT_OK) {
        line->setEventChar(eventChar, eventCharEnabled);
        line->setErrorChar(errorChar, errorCharEnabled);
    }
    endCall(t, "FT_SetChars", {eventChar, eventCharEnabled, errorChar, errorCharEnabled}, status,
            hex2(eventChar) + ' ' + dec(eventCharEnabled ? 1 : 0) + ' ' + hex2(errorChar) + ' '
                + dec(errorCharEnabled ? 1 : 0));
    return status;
}

FT_STATUS EmulatedD2xx::FT_SetFlowControl(FT_HANDLE handle, uint16_t flowControl, uint8_t xonChar,
                                          uint8_t xoffChar)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    const FT_STATUS status = checkHandle(handle);
    if (status == FT_OK)
        line->setFlowControl(flowControl, xonChar, xoffChar);
    endCall(t, "FT_SetFlowControl", {flowControl, xonChar, xoffChar}, status,
            dec(flowControl) + ' ' + hex2(xonChar) + ' ' + hex2(xoffChar));
    return status;
}

FT_STATUS EmulatedD2xx::FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeout,
                                       uint32_t writeTimeout)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    const FT_STATUS status = checkHandle(handle);
    if (status == FT_OK)
        line->setTimeouts(readTimeout, writeTimeout);
    endCall(t, "FT_SetTimeouts", {readTimeout, writeTimeout}, status,
            dec(readTimeout) + ' ' + dec(writeTimeout));
    return status;
}

FT_STATUS EmulatedD2xx::FT_SetRts(FT_HANDLE handle)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    const FT_STATUS status = checkHandle(handle);
    if (status == FT_OK)
        line->setRts(true);
    endCall(t, "FT_SetRts", {}, status, {});
    return status;
}

FT_STATUS EmulatedD2xx::FT_ClrRts(FT_HANDLE handle)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    const FT_STATUS status = checkHandle(handle);
    if (status == FT_OK)
        line->setRts(false);
    endCall(t, "FT_ClrRts", {}, status, {});
    return status;
}

FT_STATUS EmulatedD2xx::FT_SetBreakOn(FT_HANDLE handle)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    const FT_STATUS status = checkHandle(handle);
    if (status == FT_OK) {
        captureLoneBreak(t);
        line->setBreak(true, t);
    }
    endCall(t, "FT_SetBreakOn", {}, status, {});
    return status;
}

FT_STATUS EmulatedD2xx::FT_SetBreakOff(FT_HANDLE handle)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    const FT_STATUS status = checkHandle(handle);
    if (status == FT_OK && line->setBreak(false, t))
        breakEchoUncaptured = true;
    endCall(t, "FT_SetBreakOff", {}, status, {});
    return status;
}

FT_STATUS EmulatedD2xx::FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    const FT_STATUS status = checkHandle(handle);
    if (status == FT_OK)
        line->setBitMode(mask, mode);
    endCall(t, "FT_SetBitMode", {mask, mode}, status, hex2(mask) + ' ' + hex2(mode));
    return status;
}

FT_STATUS EmulatedD2xx::FT_Write(FT_HANDLE handle, void *buffer, uint32_t bytesToWrite,
                                 uint32_t *bytesWritten)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    if (pullAtTransmission > 0 && bytesToWrite > 0 && transmissions + 1 >= pullAtTransmission)
        pullNow(t);
    FT_STATUS status = checkHandle(handle);
    if (status == FT_OK && !buffer && bytesToWrite > 0)
        status = FT_INVALID_PARAMETER;
    const QByteArray bytes = status == FT_OK && bytesToWrite > 0
                                 ? QByteArray(static_cast<const char *>(buffer), int(bytesToWrite))
                                 : QByteArray();
    if (bytesWritten)
        *bytesWritten = status == FT_OK ? bytesToWrite : 0;

    // The capture line of FT_Write carries the status first, then the bytes.
    QByteArray captured = dec(status);
    if (!bytes.isEmpty())
        captured += ' ' + EmulatorCodec::hex(bytes);
    recordCall(t, "FT_Write", {bytesToWrite}, bytes, status);
    capture->host(t, "FT_Write " + captured);

    if (status == FT_OK && !bytes.isEmpty()) {
        ++transmissions;
        const EmulatedSerialLine::Transmission sent = line->transmit(bytes, t);
        if (sent.echoed) {
            capture->device(sent.startUs, QByteArray("echo ") + (breakEchoUncaptured ? "00 " : "")
                                              + EmulatorCodec::hex(bytes));
            breakEchoUncaptured = false;
        }
        record(sent.events);
    }
    capture->flushDue(t);
    return status;
}

void EmulatedD2xx::record(const QList<ControllerEvent> &events)
{
    for (const ControllerEvent &event : events) {
        if (event.kind == ControllerEvent::Kind::Drop) {
            capture->device(event.timeUs, "drop " + event.bytes);
            continue;
        }
        if (event.kind == ControllerEvent::Kind::Note) {
            capture->device(event.timeUs, event.bytes);
            continue;
        }
        capture->device(event.timeUs, "frame " + EmulatorCodec::hex(event.bytes));
        frameRecord.append(
            {event.startUs, event.timeUs, event.bytes, controller->frameIntervalUs()});
        if (frameRecord.size() > maxRecordedCalls)
            frameRecord.removeFirst();
    }
}

FT_STATUS EmulatedD2xx::FT_GetStatus(FT_HANDLE handle, uint32_t *rxBytes, uint32_t *txBytes,
                                     uint32_t *eventDWord)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    FT_STATUS status = checkHandle(handle);
    if (status == FT_OK && (!rxBytes || !txBytes || !eventDWord))
        status = FT_INVALID_PARAMETER;
    uint32_t rx = 0, tx = 0;
    if (status == FT_OK) {
        rx = uint32_t(line->received().readable(t));
        tx = line->charactersOutgoing(t);
    }
    if (rxBytes)
        *rxBytes = rx;
    if (txBytes)
        *txBytes = tx;
    if (eventDWord)
        *eventDWord = 0;
    recordCall(t, "FT_GetStatus", {rx, tx, 0}, {}, status);
    return status;
}

FT_STATUS EmulatedD2xx::FT_Read(FT_HANDLE handle, void *buffer, uint32_t bytesToRead,
                                uint32_t *bytesReturned)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    FT_STATUS status = checkHandle(handle);
    if (status == FT_OK && ((!buffer && bytesToRead > 0) || !bytesReturned))
        status = FT_INVALID_PARAMETER;
    QByteArray got;
    if (status == FT_OK) {
        // Never waits: returns what has arrived, at most bytesToRead.
        got = line->received().take(t, int(std::min<uint32_t>(bytesToRead, uint32_t(INT_MAX))));
        std::memcpy(buffer, got.constData(), size_t(got.size()));
    }
    if (bytesReturned)
        *bytesReturned = uint32_t(got.size());
    recordCall(t, "FT_Read", {bytesToRead, uint32_t(got.size())}, got, status);
    return status;
}

FT_STATUS EmulatedD2xx::FT_Purge(FT_HANDLE handle, uint32_t mask)
{
    QMutexLocker lock(&mutex);
    const qint64 t = beginCall();
    const FT_STATUS status = checkHandle(handle);
    if (status == FT_OK) {
        captureLoneBreak(t);
        // Only what has arrived; bytes still on the wire arrive later.
        if (mask & FT_PURGE_RX)
            line->received().purgeArrived(t);
    }
    endCall(t, "FT_Purge", {mask}, status, dec(mask));
    return status;
}

void EmulatedD2xx::sleepMicroseconds(uint32_t microseconds)
{
    {
        QMutexLocker lock(&mutex);
        const qint64 t = beginCall();
        recordCall(t, "sleep", {microseconds}, {}, FT_OK);
        if (timing == Timing::Instant) {
            virtualOffsetUs += microseconds;
            return;
        }
    }
    QThread::usleep(microseconds);
}
