#pragma once

#include "usb/D2xxTypes.h"

#include <QByteArray>
#include <QLoggingCategory>

#include <memory>
#include <string>

// Diagnostics of the USB layer the window does not show.
Q_DECLARE_LOGGING_CATEGORY(lcUsb)

// The operations of the USB serial chip library that the system uses, one
// member per library function with the library's name and argument shapes.
// Backends: the vendor library, libftdi, and the emulated controller.
//
// Besides the library calls the layer owns the passage of time on the I/O
// thread: every pause of the link discipline goes through
// sleepMicroseconds(), so that an emulated device can run on virtual time.
class D2xxApi
{
public:
    virtual ~D2xxApi() = default;

    virtual FT_STATUS FT_CreateDeviceInfoList(uint32_t *numDevs) = 0;
    virtual FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, uint32_t *numDevs) = 0;
    virtual FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *handle) = 0;
    virtual FT_STATUS FT_Close(FT_HANDLE handle) = 0;
    virtual FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate) = 0;
    virtual FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength,
                                                uint8_t stopBits, uint8_t parity) = 0;
    virtual FT_STATUS FT_SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventCharEnabled,
                                  uint8_t errorChar, uint8_t errorCharEnabled) = 0;
    virtual FT_STATUS FT_SetFlowControl(FT_HANDLE handle, uint16_t flowControl, uint8_t xonChar,
                                        uint8_t xoffChar) = 0;
    virtual FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeout,
                                     uint32_t writeTimeout) = 0;
    virtual FT_STATUS FT_SetRts(FT_HANDLE handle) = 0;
    virtual FT_STATUS FT_ClrRts(FT_HANDLE handle) = 0;
    virtual FT_STATUS FT_SetBreakOn(FT_HANDLE handle) = 0;
    virtual FT_STATUS FT_SetBreakOff(FT_HANDLE handle) = 0;
    virtual FT_STATUS FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode) = 0;
    virtual FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, uint32_t bytesToWrite,
                               uint32_t *bytesWritten) = 0;
    virtual FT_STATUS FT_GetStatus(FT_HANDLE handle, uint32_t *rxBytes, uint32_t *txBytes,
                                   uint32_t *eventDWord) = 0;
    virtual FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, uint32_t bytesToRead,
                              uint32_t *bytesReturned) = 0;
    virtual FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) = 0;

    // Blocks the calling thread for the given time; real backends sleep.
    virtual void sleepMicroseconds(uint32_t microseconds);

    // Why a chip that is there cannot be opened.
    enum class OpenRefusal {
        NotKnown,
        NoPermission, // this user may not open its device node
        KernelDriver, // a kernel driver (ftdi_sio) holds it
        OtherProgram, // another program has it open
    };
    // Why the last FT_Open that failed was refused, as far as the backend
    // can tell; `description` is that of the chip sought, for a backend that
    // has to find the chip by it.
    virtual OpenRefusal openRefusal(const QByteArray &description) const
    {
        Q_UNUSED(description)
        return OpenRefusal::NotKnown;
    }
    // Why the last FT_Open failed, in the library's words; empty where the
    // backend cannot tell.
    virtual std::string openFailureReason() const { return {}; }

    // Whether the library this backend drives could not be loaded, so that
    // no chip is ever listed: its driver is to be installed.
    virtual bool libraryMissing() const { return false; }

    // The backend used when the caller names none. The first choice is
    // stated once as "USB: ..."; why the vendor library was not taken goes
    // to the logging category linecard.usb (debug, off by default).
    static std::shared_ptr<D2xxApi> platformDefault();
};
