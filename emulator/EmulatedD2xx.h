#pragma once

#include "emulator/CardFirmware.h"
#include "emulator/EmulatorTypes.h"
#include "emulator/EmulatedCardAccess.h"
#include "usb/D2xxApi.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QRecursiveMutex>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

class EmulatedController;
class EmulatedLineCard;
class EmulatedSerialLine;
class EmulatorCapture;
struct ControllerEvent;

// One enumerated USB device.
struct EmulatedDevice
{
    QByteArray description = "VX420";
    QByteArray serialNumber = "VX4200001";
};

// One library call (or pause) as the emulated chip saw it.
struct EmulatorCall
{
    qint64 timeUs = 0;        // since the emulator was created
    QByteArray function;      // "FT_Write", ..., or "sleep" for sleepMicroseconds
    QList<quint32> args;      // numeric arguments in call order (sleep: microseconds)
    QByteArray bytes;         // FT_Write: bytes written; FT_Read: bytes returned
    FT_STATUS status = FT_OK; // 0 for sleeps
};

// One frame the controller sent, with the frame interval it was sent under.
struct EmulatorFrame
{
    qint64 startUs = 0; // first character on the line
    qint64 endUs = 0;   // last character received
    QByteArray bytes;
    quint32 intervalUs = 0;
};

// An FTDI chip wired to a VX420 controller with LQ770 line cards, behind the
// library-shaped interface. Called from the I/O thread, configured and
// inspected from any thread: every member takes the one mutex.
//
// Its serial side, echo and break included, is an EmulatedSerialLine; the
// controller's own assumptions are stated with EmulatedController.
class EmulatedD2xx : public D2xxApi
{
public:
    enum class Timing {
        Instant, // all the device sends is readable at once; pauses take no real time
        Wire,    // bytes arrive at 9600 baud, frames one frame interval apart; real pauses
    };

    explicit EmulatedD2xx(Timing timing = Timing::Instant);
    ~EmulatedD2xx() override;

    // --- devices and chip faults
    void setDevices(const QList<EmulatedDevice> &devices); // default: one "VX420"
    void setOpenFails(bool fails);
    // The cable is pulled: every call on the open handle fails with
    // FT_IO_ERROR from now on, and the device is no longer listed.
    void pullCable();
    void pullCableAtTransmission(int k); // ... as the k-th transmission (from 1) starts
    // The device is listed again, as a new one: it must be opened again, and
    // the handle from before the pull stays dead.
    void plugCableBackIn();
    void setEchoEnabled(bool enabled);            // false: the echo never arrives
    void injectReceived(const QByteArray &bytes); // raw bytes into the receive queue, readable now

    // --- cards (index 0 = first card slot); none attached until added
    int addCard(const EmulatedCardIdentity &identity = EmulatedCardIdentity());
    int cardCount() const;
    // The card in that slot, with the chip's lock held while the access
    // lives; a slot without a card is a fatal error.
    EmulatedCardAccess card(int card);
    // One byte of the frames that carry the answer to the card's k-th
    // command is damaged on the line.
    void setLineFault(int card, int k, LineFault fault);
    // The card sends a reply packet of this body now, asked for by no command.
    void strayReply(int card, const QByteArray &body);

    // --- inspection
    QList<EmulatorCall> calls() const;
    QList<EmulatorFrame> framesSent() const; // the controller's frames, oldest first
    void clearCalls();                       // forgets the calls and the frames
    // ... and the cards' received command bodies, so that a long run keeps
    // no growing record; commandsReceived counts on.
    void clearRecords();
    EmulatedLineState lineState() const;
    int droppedPackets() const;
    QList<QByteArray> droppedReasons() const;
    quint32 frameIntervalUs() const;
    qint64 nowUs() const;

    // --- capture of everything that crosses the interface
    bool startCapture(const QString &path);
    void stopCapture();

    // D2xxApi
    FT_STATUS FT_CreateDeviceInfoList(uint32_t *numDevs) override;
    FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, uint32_t *numDevs) override;
    FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *handle) override;
    FT_STATUS FT_Close(FT_HANDLE handle) override;
    FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate) override;
    FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                        uint8_t parity) override;
    FT_STATUS FT_SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventCharEnabled,
                          uint8_t errorChar, uint8_t errorCharEnabled) override;
    FT_STATUS FT_SetFlowControl(FT_HANDLE handle, uint16_t flowControl, uint8_t xonChar,
                                uint8_t xoffChar) override;
    FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeout,
                             uint32_t writeTimeout) override;
    FT_STATUS FT_SetRts(FT_HANDLE handle) override;
    FT_STATUS FT_ClrRts(FT_HANDLE handle) override;
    FT_STATUS FT_SetBreakOn(FT_HANDLE handle) override;
    FT_STATUS FT_SetBreakOff(FT_HANDLE handle) override;
    FT_STATUS FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode) override;
    FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, uint32_t bytesToWrite,
                       uint32_t *bytesWritten) override;
    FT_STATUS FT_GetStatus(FT_HANDLE handle, uint32_t *rxBytes, uint32_t *txBytes,
                           uint32_t *eventDWord) override;
    FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, uint32_t bytesToRead,
                      uint32_t *bytesReturned) override;
    FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) override;
    void sleepMicroseconds(uint32_t microseconds) override;

private:
    static constexpr int maxRecordedCalls = 100000; // the newest ones are kept

    // Callers hold the mutex.
    qint64 now() const;
    qint64 beginCall();
    void recordCall(qint64 timeUs, const char *function, const QList<quint32> &args,
                    const QByteArray &bytes, FT_STATUS status);
    // Records a call and writes its capture line: name, arguments, status.
    void endCall(qint64 timeUs, const char *function, const QList<quint32> &args, FT_STATUS status,
                 const QByteArray &capturedArgs);
    FT_STATUS checkHandle(FT_HANDLE handle) const;
    void pullNow(qint64 timeUs);
    // The devices FT_CreateDeviceInfoList lists now, by index into devices.
    QList<int> visibleDevices() const;
    bool cardIndexValid(int card) const;
    void captureLoneBreak(qint64 timeUs);
    // Captures what the controller did and keeps its frames.
    void record(const QList<ControllerEvent> &events);

    // Recursive: a test may reach two cards, or one card twice, in one
    // expression, each access holding the lock until the expression ends.
    mutable QRecursiveMutex mutex;
    const Timing timing;
    QElapsedTimer clock;
    qint64 virtualOffsetUs = 0;

    QList<EmulatedDevice> devices;
    QList<EmulatedDevice> listedDevices; // as the last FT_CreateDeviceInfoList saw them
    bool openFails = false;
    bool cablePulled = false;
    int pulledDevice = -1;        // index into devices while the cable is pulled
    int pullAtTransmission = 0;   // 0: never
    QList<FT_HANDLE> deadHandles; // opened before a pull
    int transmissions = 0;

    FT_HANDLE openHandle = nullptr;
    int openIndex = -1;
    quintptr handlesIssued = 0;

    bool breakEchoUncaptured = false; // a break's 0x00 awaits its capture line

    std::unique_ptr<EmulatedController> controller;
    // Wired to the controller while the open device is the controller's chip.
    std::unique_ptr<EmulatedSerialLine> line;
    std::unique_ptr<EmulatorCapture> capture;
    QList<EmulatorCall> callRecord;
    QList<EmulatorFrame> frameRecord;
};
