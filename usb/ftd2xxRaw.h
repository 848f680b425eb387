#pragma once

#include "usb/D2xxApi.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

// The USB serial chip of the controller: enumeration, opening, line set-up,
// the CBUS pins that select the line-card path, and the half-duplex
// transmit discipline (break, sync byte, RTS while sending, echo discarded).
// Not thread-safe: its owner serialises every call.
class ftd2xxRaw
{
public:
    explicit ftd2xxRaw(std::shared_ptr<D2xxApi> api);
    // Closes the device: a library may run threads for it until then.
    ~ftd2xxRaw();
    ftd2xxRaw(const ftd2xxRaw &) = delete;
    ftd2xxRaw &operator=(const ftd2xxRaw &) = delete;

    bool getDeviceList();
    bool openDevice(int index);
    // Closes the open device, if any; a device that has gone as well.
    void closeDevice();
    bool configureLine();
    void selectLineCards();
    // Sends the sync byte and the whole of txBytes, which is left empty.
    // False only when txBytes was empty.
    bool write(QByteArray &txBytes);
    // Appends everything the receive queue holds to out.
    bool read(QByteArray &out);
    // Bytes waiting; 0 when no device is open, -1 when the query failed.
    int rxQueueCount();
    // Drops what the chip and the driver hold of the far end's bytes. Called
    // only while nothing waits to be sent.
    FT_STATUS clearRxQueue();
    bool clearRxWithWait(quint32 expected);
    bool sendBreak();

    void sleepMicroseconds(quint32 microseconds);

    int listedDevices() const { return deviceCount; }
    // Description of a listed device, up to its terminating NUL.
    QByteArray listedDescription(int index) const;
    // Vendor and product ID of a listed device, vendor in the high half.
    quint32 listedId(int index) const;
    // Why opening a listed device, which may be the one described, is
    // refused; NotKnown for one that opens, which is closed again untouched.
    D2xxApi::OpenRefusal openRefusal(int index, const QByteArray &description);
    // Why the last openDevice that failed was refused, as far as told.
    D2xxApi::OpenRefusal lastOpenRefusal(const QByteArray &description) const
    {
        return api->openRefusal(description);
    }
    // Why the last openDevice failed, in the library's words (may be empty).
    std::string openFailureReason() const { return api->openFailureReason(); }
    bool deviceOpen() const { return isOpen; }
    FT_STATUS status() const { return lastStatus; }

    static constexpr quint8 syncByte = 0x55;
    static constexpr int maxDevices = 1024;
    static constexpr int maxReadPerCall = 64 * 1024;

private:
    bool queryRxQueue(quint32 &count);

    std::shared_ptr<D2xxApi> api;
    std::vector<FT_DEVICE_LIST_INFO_NODE> deviceInfoList;
    qint32 deviceCount = 0;
    bool isOpen = false;
    FT_HANDLE handle = nullptr;
    FT_STATUS lastStatus = FT_OK;
    char rxScratch[512];
    bool traceEnabled = false;
};
