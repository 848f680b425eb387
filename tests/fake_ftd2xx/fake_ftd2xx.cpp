// A stand-in for the vendor's D2XX library, built only for the tests. It
// exports the library functions the system uses with their published
// signatures and writes each call with its arguments as one line into a log,
// which the test reads through fake_ftd2xx_log().

#include "usb/D2xxTypes.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#if defined(_WIN32)
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define FAKE_WINAPI __stdcall
#else
#define FAKE_WINAPI
#endif

namespace {

// The device record as the vendor's header lays it out.
struct VendorRecord
{
    uint32_t Flags;
    uint32_t Type;
    uint32_t ID;
    uint32_t LocId;
    char SerialNumber[16];
    char Description[64];
    void *ftHandle;
};

std::string callLog;

// All bits above the lowest 16 set, so that a truncated handle shows.
FT_HANDLE const issuedHandle = reinterpret_cast<FT_HANDLE>(~uintptr_t(0) - 0xFFFF);

void logCall(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    callLog += line;
    callLog += '\n';
}

const char *handleName(FT_HANDLE handle)
{
    return handle == issuedHandle ? "h" : "bad-handle";
}

FT_STATUS handleStatus(FT_HANDLE handle)
{
    return handle == issuedHandle ? FT_OK : FT_INVALID_HANDLE;
}

} // namespace

FAKE_EXPORT const char *fake_ftd2xx_log()
{
    return callLog.c_str();
}

FAKE_EXPORT void fake_ftd2xx_clear_log()
{
    callLog.clear();
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_CreateDeviceInfoList(uint32_t *numDevs)
{
    logCall("FT_CreateDeviceInfoList");
    *numDevs = 2;
    return FT_OK;
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_GetDeviceInfoList(VendorRecord *dest, uint32_t *numDevs)
{
    logCall("FT_GetDeviceInfoList");
    std::memset(dest, 0, 2 * sizeof(VendorRecord));
    dest[0] = {1, 5, 0x04036001, 0x0112, "FT9XK2QA", "VX420 Controller", issuedHandle};
    dest[1] = {0, 9, 0x04036015, 0x0213, "DQ00AB12", "FT230X Basic UART", nullptr};
    *numDevs = 2;
    return FT_OK;
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_Open(int deviceNumber, FT_HANDLE *handle)
{
    logCall("FT_Open %d", deviceNumber);
    *handle = deviceNumber == 0 ? issuedHandle : nullptr;
    return deviceNumber == 0 ? FT_OK : FT_DEVICE_NOT_FOUND;
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_Close(FT_HANDLE handle)
{
    logCall("FT_Close %s", handleName(handle));
    return handleStatus(handle);
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate)
{
    logCall("FT_SetBaudRate %s %u", handleName(handle), unsigned(baudRate));
    return handleStatus(handle);
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength,
                                                            uint8_t stopBits, uint8_t parity)
{
    logCall("FT_SetDataCharacteristics %s %u %u %u", handleName(handle), wordLength, stopBits,
            parity);
    return handleStatus(handle);
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_SetChars(FT_HANDLE handle, uint8_t eventChar,
                                              uint8_t eventCharEnabled, uint8_t errorChar,
                                              uint8_t errorCharEnabled)
{
    logCall("FT_SetChars %s 0x%02x %u 0x%02x %u", handleName(handle), eventChar, eventCharEnabled,
            errorChar, errorCharEnabled);
    return handleStatus(handle);
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_SetFlowControl(FT_HANDLE handle, uint16_t flowControl,
                                                    uint8_t xonChar, uint8_t xoffChar)
{
    logCall("FT_SetFlowControl %s 0x%04x 0x%02x 0x%02x", handleName(handle), flowControl, xonChar,
            xoffChar);
    return handleStatus(handle);
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeout,
                                                 uint32_t writeTimeout)
{
    logCall("FT_SetTimeouts %s %u %u", handleName(handle), unsigned(readTimeout),
            unsigned(writeTimeout));
    return handleStatus(handle);
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_SetRts(FT_HANDLE handle)
{
    logCall("FT_SetRts %s", handleName(handle));
    return handleStatus(handle);
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_ClrRts(FT_HANDLE handle)
{
    logCall("FT_ClrRts %s", handleName(handle));
    return handleStatus(handle);
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_SetBreakOn(FT_HANDLE handle)
{
    logCall("FT_SetBreakOn %s", handleName(handle));
    return handleStatus(handle);
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_SetBreakOff(FT_HANDLE handle)
{
    logCall("FT_SetBreakOff %s", handleName(handle));
    return handleStatus(handle);
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode)
{
    logCall("FT_SetBitMode %s 0x%02x 0x%02x", handleName(handle), mask, mode);
    return handleStatus(handle);
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_Write(FT_HANDLE handle, void *buffer, uint32_t bytesToWrite,
                                           uint32_t *bytesWritten)
{
    std::string bytes;
    const auto *data = static_cast<const unsigned char *>(buffer);
    for (uint32_t i = 0; i < bytesToWrite && i < 64; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", data[i]);
        bytes += hex;
    }
    logCall("FT_Write %s %u%s", handleName(handle), unsigned(bytesToWrite), bytes.c_str());
    *bytesWritten = bytesToWrite;
    return handleStatus(handle);
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_GetStatus(FT_HANDLE handle, uint32_t *rxBytes,
                                               uint32_t *txBytes, uint32_t *eventDWord)
{
    logCall("FT_GetStatus %s", handleName(handle));
    *rxBytes = 70000;
    *txBytes = 3;
    *eventDWord = 1;
    return handleStatus(handle);
}

FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_Read(FT_HANDLE handle, void *buffer, uint32_t bytesToRead,
                                          uint32_t *bytesReturned)
{
    logCall("FT_Read %s %u", handleName(handle), unsigned(bytesToRead));
    static const unsigned char received[] = {0x01, 0x02, 0x00, 0xFE, 0xFF};
    const uint32_t n = bytesToRead < sizeof received ? bytesToRead : uint32_t(sizeof received);
    std::memcpy(buffer, received, n);
    *bytesReturned = n;
    return handleStatus(handle);
}

#ifndef FAKE_FTD2XX_WITHOUT_PURGE
FAKE_EXPORT FT_STATUS FAKE_WINAPI FT_Purge(FT_HANDLE handle, uint32_t mask)
{
    logCall("FT_Purge %s %u", handleName(handle), unsigned(mask));
    return handleStatus(handle);
}
#endif
