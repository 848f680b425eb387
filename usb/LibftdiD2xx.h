#pragma once

#include "usb/D2xxApi.h"

#include <cstddef>
#include <memory>
#include <vector>

class LibftdiCalls;
struct ftdi_context;
struct libusb_device;

// The library calls on top of libftdi1, for systems without the vendor
// library. libftdi has no receive-queue count, so every open device gets a
// reader thread that fills a receive buffer of the backend's own:
// FT_GetStatus reports its size at once, FT_Read takes from it, and a failed
// USB transfer (the device has gone) makes FT_GetStatus fail from then on.
//
// One caller at a time, as ftd2xxRaw's owner guarantees; the reader threads
// share only the receive buffers, under their own locks.
class LibftdiD2xx : public D2xxApi
{
public:
    // Receive buffer per device; the reader stops taking data from the chip
    // while it is full, as the vendor's driver does.
    static constexpr std::size_t receiveCapacity = 64 * 1024;
    static constexpr int readChunk = 4096;
    // Bounds one USB read of the reader, and with it the time a close waits.
    static constexpr int readerTransferTimeoutMs = 250;
    // Failed transfers in a row (a stall or a babble on a noisy cable) taken
    // for a passing fault; one more and the device counts as gone. A device
    // that has gone (LIBUSB_ERROR_NO_DEVICE) counts so at once.
    static constexpr int transientFailures = 3;

    LibftdiD2xx();
    explicit LibftdiD2xx(std::shared_ptr<LibftdiCalls> calls);
    ~LibftdiD2xx() override;

    // Lists the chips with the vendor's own IDs; FT_Open's index refers to
    // the last list made.
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
    // 0 means no limit, as with the vendor library.
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
    // Waits up to the read time-out for bytesToRead bytes, then returns what
    // the receive buffer holds, at most bytesToRead.
    FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, uint32_t bytesToRead,
                      uint32_t *bytesReturned) override;
    FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) override;
    // libftdi detaches a kernel driver by itself, so only a refused node
    // is told.
    OpenRefusal openRefusal(const QByteArray &) const override
    {
        return refusedAccess ? OpenRefusal::NoPermission : OpenRefusal::NotKnown;
    }
    std::string openFailureReason() const override { return openFailure; }

private:
    struct Device;

    Device *find(FT_HANDLE handle) const;
    // Stops the reader and closes the device; the result of ftdi_usb_close.
    int shutDown(Device &device);
    void releaseListed();
    FT_STATUS setLine(Device &device, bool breakOn);

    std::shared_ptr<LibftdiCalls> calls;
    ftdi_context *enumeration = nullptr; // also owns the USB context of every open device
    std::vector<libusb_device *> listed;
    std::vector<FT_DEVICE_LIST_INFO_NODE> records;
    std::vector<std::unique_ptr<Device>> devices;
    bool refusedAccess = false;
    std::string openFailure; // libftdi's error text for the last failed FT_Open
};
