#pragma once

#include "usb/D2xxApi.h"

#include <QLibrary>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// The chip maker's D2XX library, loaded at run time: the build needs neither
// its header nor its import library. Each function is resolved by its
// published name and called with its published signature. When no candidate
// loads with every function the system uses, the backend lists no device.
//
// The library runs reader, processor and writer threads for every open
// device until FT_Close; a device still open when the backend goes is closed
// then, so that none of them outlives the program's use of it. On Linux the
// library neither detaches the kernel's serial driver nor tells why an open
// failed; the kernel is asked instead (UsbNodeProbe).
class VendorD2xx : public D2xxApi
{
public:
    // Candidates are tried in order; plain names go through the system's
    // library search, paths are loaded as given.
    explicit VendorD2xx(const QStringList &libraryNames = defaultLibraryNames());
    ~VendorD2xx() override;

    // ftd2xx64.dll then ftd2xx.dll on 64-bit Windows, ftd2xx.dll on 32-bit
    // Windows, libftd2xx.so then libftd2xx.so.1 elsewhere.
    static QStringList defaultLibraryNames();

    bool isLoaded() const { return fn != nullptr; }
    // The library in use; empty when none loaded.
    QString libraryFile() const;
    // Why the last candidate was refused; empty when one loaded.
    QString loadError() const { return error; }
    bool libraryMissing() const override { return !isLoaded(); }

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
    // Asks the kernel about the chips whose product string is `description`.
    OpenRefusal openRefusal(const QByteArray &description) const override;

private:
    struct Functions;

    QLibrary library;
    std::unique_ptr<Functions> fn; // null when no library loaded
    QString error;
    std::vector<FT_HANDLE> openHandles;
    bool lastOpenFailed = false;
};
