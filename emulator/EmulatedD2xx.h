#pragma once

#include "emulator/CardFirmware.h"
#include "usb/D2xxApi.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

class EmulatedController;
class EmulatedLineCard;
class EmulatedRxQueue;
class EmulatorCapture;
struct ControllerEvent;

// Identity an emulated LQ770 line card reports in its information reply.
struct EmulatedCardIdentity
{
    quint8 blockManufacturer = 0;
    quint8 blockType = 0;
    quint8 pairByte = 10;
    quint8 productId = 0x21;
    quint8 platformId = 0x04;
    quint8 infoBytes[4] = {0x01, 0x02, 0x03, 0x04};
    quint32 serialNumber = 770001;
    quint32 secondWord = 0;
};

// A fault on the line in one of the frames that carry a card's answer: one
// byte changed, lost, or a spurious one inserted.
enum class LineFault { Flip, Lose, Extra };

// One enumerated USB device.
struct EmulatedDevice
{
    QByteArray description = "VX420";
    QByteArray serialNumber = "VX4200001";
};

// One library call (or pause) as the emulated chip saw it.
struct EmulatorCall
{
    qint64 timeUs = 0;          // since the emulator was created
    QByteArray function;        // "FT_Write", ..., or "sleep" for sleepMicroseconds
    QList<quint32> args;        // numeric arguments in call order (sleep: microseconds)
    QByteArray bytes;           // FT_Write: bytes written; FT_Read: bytes returned
    FT_STATUS status = FT_OK;   // 0 for sleeps
};

// One frame the controller sent, with the frame interval it was sent under.
struct EmulatorFrame
{
    qint64 startUs = 0; // first character on the line
    qint64 endUs = 0;   // last character received
    QByteArray bytes;
    quint32 intervalUs = 0;
};

// The line settings and pins the chip currently has; the defaults are its
// power-up state: 9600 baud, 8 data bits, 1 stop bit, no parity, CBUS pins
// inputs.
struct EmulatedLineState
{
    quint32 baudRate = 9600;
    quint8 wordLength = FT_BITS_8;
    quint8 stopBits = 0;
    quint8 parity = 0;
    quint16 flowControl = 0;
    quint8 xonChar = 0, xoffChar = 0;
    quint8 eventChar = 0, eventCharEnabled = 0, errorChar = 0, errorCharEnabled = 0;
    quint32 readTimeout = 0, writeTimeout = 0;
    bool rts = false;
    bool breakOn = false;
    quint8 bitMode = 0;       // last mode given to FT_SetBitMode
    quint8 cbusOutputs = 0;   // CBUS3..0 output enables (high nibble of the mask)
    quint8 cbusLevels = 0;    // levels driven on the outputs (low nibble of the mask)
    bool lineCardPath = false; // CBUS1 and CBUS0 driven low in CBUS bit-bang mode

    // A bit mode as the chip takes it: in CBUS bit-bang mode the mask's high
    // nibble enables CBUS3..0 as outputs, its low nibble drives them.
    void setBitMode(quint8 mask, quint8 mode);
};

// An FTDI chip wired to a VX420 controller with LQ770 line cards, behind the
// library-shaped interface. Called from the I/O thread, configured and
// inspected from any thread: every member takes the one mutex.
//
// The line is half duplex: every byte the host sends comes back as echo,
// and a break shows in the receive queue as one 0x00 once the break ends.
// In wire timing received bytes reach the host in USB packets (see
// EmulatedRxQueue); the controller's own assumptions are stated with
// EmulatedController.
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
    void setEchoEnabled(bool enabled);          // false: the echo never arrives
    void injectReceived(const QByteArray &bytes); // raw bytes into the receive queue, readable now

    // --- cards (index 0 = first card slot); none attached until added
    int addCard(const EmulatedCardIdentity &identity = EmulatedCardIdentity());
    int cardCount() const;
    void setFlashVersions(int card, quint32 carried, quint32 installed);
    void setReflashSucceeds(int card, bool succeeds);
    void setListenEntries(int card, const QByteArray &entries);
    void setContinuityEntries(int card, const QByteArray &entries);
    // Faults, by the number of the command the card receives (counting every
    // command from 1) or relative to the commands received so far.
    void dropReplyTo(int card, int k);
    void dropNextReplies(int card, int n);
    void corruptReplyTo(int card, int k);
    void corruptNextReply(int card);
    void confusedReplyTo(int card, int k);
    void confusedNextReplies(int card, int n);
    void stopAnsweringFrom(int card, int k);       // card pulled out at its k-th command
    void stopAnsweringAfter(int card, int commands); // ... after that many more commands
    // The card takes ms milliseconds to answer its k-th command, or every
    // command from the k-th on. It works on one command at a time, so the
    // commands that reach it meanwhile are answered afterwards, in order.
    void slowReplyTo(int card, int k, int ms);
    void slowRepliesFrom(int card, int k, int ms);
    void shortReplyTo(int card, int k); // the reply body cut to two bytes
    void duplicateReplyTo(int card, int k); // the k-th command answered twice
    // A packet of this body, asked for by no command, right before or right
    // after the answer to the card's k-th command.
    void strayBefore(int card, int k, const QByteArray &body);
    void strayAfter(int card, int k, const QByteArray &body);
    // One byte of the frames that carry the answer to the card's k-th
    // command is damaged on the line.
    void setLineFault(int card, int k, LineFault fault);
    // The card sends a reply packet of this body now, asked for by no command.
    void strayReply(int card, const QByteArray &body);

    void setCardIdentity(int card, const EmulatedCardIdentity &identity);
    EmulatedCardIdentity cardIdentity(int card) const;
    // The firmware the card's application check accepts; by default the
    // stand-in image of its board.
    void setCardFirmware(int card, const CardFirmware &firmware);

    // --- the cards' bootloaders (packets of opcode 0x02)
    void setDeviceId(int card, const QByteArray &deviceId); // 16 bytes, 0x25 0x53 first by default
    void refusePage(int card, int page, int times);          // message code 5; times < 0: always
    void refuseCapacityProbe(int card, quint16 address);
    void setLockNeverLocks(int card, bool neverLocks);
    void dropNextBootloaderReplies(int card, int n);
    void setInfoSegment(int card, const QByteArray &segment); // 64 bytes at 0x10C0
    QByteArray flash(int card, quint32 address, int length) const;
    QByteArray infoSegment(int card) const;
    bool infoSegmentLocked(int card) const;
    // One entry per mass erase the card carried out: whether the
    // information segment was locked at that moment.
    QList<bool> massErases(int card) const;
    // The card's own application from power-up; none from a mass erase until
    // an application check passes. The flash-version and reflash replies
    // need one.
    bool applicationRunning(int card) const;

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
    int ledState(int card) const;                 // last LED opcode, 0 when none
    QList<QByteArray> receivedCommands(int card) const; // decoded command bodies in order
    int commandsReceived(int card, quint8 opcode) const; // by header & 0x3F
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
    void endCall(qint64 timeUs, const char *function, const QList<quint32> &args,
                 FT_STATUS status, const QByteArray &capturedArgs);
    FT_STATUS checkHandle(FT_HANDLE handle) const;
    void pullNow(qint64 timeUs);
    // The devices FT_CreateDeviceInfoList lists now, by index into devices.
    QList<int> visibleDevices() const;
    bool cardIndexValid(int card) const;
    // Locks, and applies the change when the card exists.
    void withCard(int card, const std::function<void(EmulatedLineCard &)> &change);
    void captureLoneBreak(qint64 timeUs);
    void deliver(const QList<ControllerEvent> &events);

    mutable QMutex mutex;
    const Timing timing;
    QElapsedTimer clock;
    qint64 virtualOffsetUs = 0;

    QList<EmulatedDevice> devices;
    QList<EmulatedDevice> listedDevices; // as the last FT_CreateDeviceInfoList saw them
    bool openFails = false;
    bool cablePulled = false;
    int pulledDevice = -1;          // index into devices while the cable is pulled
    int pullAtTransmission = 0;     // 0: never
    QList<FT_HANDLE> deadHandles;   // opened before a pull
    int transmissions = 0;
    bool echoEnabled = true;

    FT_HANDLE openHandle = nullptr;
    int openIndex = -1;
    bool controllerWired = false; // the open device is the controller's chip
    quintptr handlesIssued = 0;

    EmulatedLineState line;
    bool breakSeen = false;          // a break ended since the last transmission
    bool breakEchoUncaptured = false; // its 0x00 awaits its capture line
    qint64 txFreeUs = 0;             // Wire timing: when the transmit line is idle

    std::unique_ptr<EmulatedRxQueue> rxQueue;
    std::unique_ptr<EmulatedController> controller;
    std::unique_ptr<EmulatorCapture> capture;
    QList<EmulatorCall> callRecord;
    QList<EmulatorFrame> frameRecord;
};
