#pragma once

#include "emulator/EmulatedCardAccess.h"
#include "emulator/EmulatorTypes.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QRecursiveMutex>
#include <QString>

#include <memory>

class EmulatedController;
class EmulatedSerialLine;

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

// An FT232R at the USB boundary, wired to an emulated VX420 controller with
// its line cards, for the real libusb and libftdi1 of the machine. umockdev
// puts a device node under /dev/bus/usb with its sysfs entries in place, and
// this chip answers the usbdevfs requests made on it: descriptors, the
// kernel-driver query and detach, the vendor control requests (each one
// recorded), bulk out into the controller's serial line and bulk in as the
// chip sends it: two modem-status bytes at the head of every packet, a packet
// when the event character arrives or the latency timer runs out, a
// status-only packet when nothing came. The line settings the chip was
// given decide what the controller hears.
//
// The program must run under umockdev-wrapper. Time is real: the wire's.
// Called from umockdev's thread and the test's; every member takes the lock.
// Its serial side is an EmulatedSerialLine, as the D2XX-shaped chip's is.
class EmulatedFt232r
{
public:
    // One control request as the chip received it.
    struct ControlRequest
    {
        qint64 timeUs = 0;
        quint8 requestType = 0;
        quint8 request = 0;
        quint16 value = 0;
        quint16 index = 0;
        quint16 length = 0;
    };

    struct Options
    {
        QByteArray product = "VX420";
        QByteArray serialNumber = "VX4200001"; // empty: the EEPROM has no serial string
        // The kernel's driver that takes the interface whenever the chip is
        // plugged in; empty for none (the module unloaded or blacklisted).
        QByteArray kernelDriver = "ftdi_sio";
    };

    // Vendor requests of the chip.
    static constexpr quint8 requestReset = 0x00;
    static constexpr quint8 requestModemControl = 0x01;
    static constexpr quint8 requestFlowControl = 0x02;
    static constexpr quint8 requestBaudRate = 0x03;
    static constexpr quint8 requestData = 0x04;
    static constexpr quint8 requestModemStatus = 0x05;
    static constexpr quint8 requestEventChar = 0x06;
    static constexpr quint8 requestErrorChar = 0x07;
    static constexpr quint8 requestSetLatency = 0x09;
    static constexpr quint8 requestGetLatency = 0x0A;
    static constexpr quint8 requestBitMode = 0x0B;
    static constexpr quint8 requestReadPins = 0x0C;

    // Whether the process runs under umockdev-wrapper.
    static bool available();
    // The baud rate an FT232R divisor (wValue, wIndex) gives.
    static double baudRateOf(quint16 value, quint16 index);

    EmulatedFt232r();
    explicit EmulatedFt232r(const Options &options);
    ~EmulatedFt232r();

    int addCard(const EmulatedCardIdentity &identity = EmulatedCardIdentity());
    // The card in that slot, with the chip's lock held while the access
    // lives; a slot without a card is a fatal error.
    EmulatedCardAccess card(int card);

    QList<ControlRequest> controlRequests() const;
    // The bytes of each bulk-out transfer, oldest first.
    QList<QByteArray> writes() const;
    bool kernelDriverDetached() const;
    EmulatedLineState lineState() const;
    QString deviceNode() const;

    // The cable is pulled: the node and its sysfs entries go away, and every
    // request on an open handle fails as on a vanished device.
    void pullCable();
    // A new device appears, to be opened anew: by default at the next
    // device number, as the kernel numbers it; with newAddress false at the
    // number it had, for a USB library that never hears umockdev's hot-plug
    // events (they come as udev's, and the libusb inside the chip maker's
    // library listens to the kernel's alone), so that its stale entry leads
    // to the new device as its fresh one would on a real kernel.
    void plugBackIn(bool newAddress = true);
    // Transfers on the bulk-in endpoint end with errno (-EPIPE: a stall,
    // -EOVERFLOW: a babble) the next `count` times.
    void failNextReads(int count, int error);
    // Permission bits of the device node: 0 makes it unreadable.
    void setNodeMode(int mode);

    // What umockdev's thread calls, which may outlive the chip, reaches it
    // only while it exists.
    struct Link
    {
        QMutex mutex;
        EmulatedFt232r *chip = nullptr;
    };

    // umockdev's handlers, in its thread.
    bool handleIoctl(UMockdevIoctlClient *client);
    void clientConnected(UMockdevIoctlClient *client);
    // A client closed its file: the kernel releases its interface and
    // discards its transfers.
    void clientVanished(UMockdevIoctlClient *client);

private:
    struct Urb;

    void addDevice();
    qint64 now() const;
    bool control(Urb &urb, qint64 nowUs);
    void vendorOut(quint8 request, quint16 value, quint16 index, qint64 nowUs);
    bool readyToReap(Urb &urb, qint64 nowUs);
    // Claims the interface for the client: refused while the kernel's
    // driver or another client holds it. The lock is held.
    int claim(UMockdevIoctlClient *client);
    QByteArray stringDescriptor(int index) const;

    // Recursive: a test may reach two cards, or one card twice, in one
    // expression, each access holding the lock until the expression ends.
    mutable QRecursiveMutex mutex;
    const Options options;
    QElapsedTimer clock;
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    std::shared_ptr<Link> link;
    int deviceNumber = 1;
    int attachedUpTo = 1; // nodes up to this number have the handler
    QString sysfsPath;
    QString node;
    int plug = 0;                                 // counts the times the chip was plugged in
    QHash<UMockdevIoctlClient *, int> clientPlug; // an open file and the plug it was opened on

    std::unique_ptr<EmulatedController> controller;
    std::unique_ptr<EmulatedSerialLine> line;
    qint64 lastInUs = 0; // when the last bulk-in packet was sent
    bool detached = false;
    UMockdevIoctlClient *claimedBy = nullptr;
    int failingReads = 0;
    int failingError = 0;
    QList<std::shared_ptr<Urb>> urbs; // submitted, not yet reaped
    QList<ControlRequest> requests;
    QList<QByteArray> written;
};
