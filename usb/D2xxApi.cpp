#include "usb/D2xxApi.h"

#include "usb/VendorD2xx.h"
#ifdef LINECARD_HAVE_LIBFTDI1
#include "usb/LibftdiD2xx.h"
#endif

#include <QDebug>
#include <QThread>

#include <QtGlobal>

#include <atomic>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

Q_LOGGING_CATEGORY(lcUsb, "linecard.usb", QtInfoMsg)

namespace {

// Stands in where no USB library is available: it lists no device.
class NoDeviceD2xx : public D2xxApi
{
public:
    FT_STATUS FT_CreateDeviceInfoList(uint32_t *numDevs) override
    {
        *numDevs = 0;
        return FT_OK;
    }
    FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *, uint32_t *numDevs) override
    {
        *numDevs = 0;
        return FT_OK;
    }
    FT_STATUS FT_Open(int, FT_HANDLE *handle) override
    {
        *handle = nullptr;
        return FT_DEVICE_NOT_FOUND;
    }
    FT_STATUS FT_Close(FT_HANDLE) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_SetBaudRate(FT_HANDLE, uint32_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_SetDataCharacteristics(FT_HANDLE, uint8_t, uint8_t, uint8_t) override
    {
        return FT_INVALID_HANDLE;
    }
    FT_STATUS FT_SetChars(FT_HANDLE, uint8_t, uint8_t, uint8_t, uint8_t) override
    {
        return FT_INVALID_HANDLE;
    }
    FT_STATUS FT_SetFlowControl(FT_HANDLE, uint16_t, uint8_t, uint8_t) override
    {
        return FT_INVALID_HANDLE;
    }
    FT_STATUS FT_SetTimeouts(FT_HANDLE, uint32_t, uint32_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_SetRts(FT_HANDLE) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_ClrRts(FT_HANDLE) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_SetBreakOn(FT_HANDLE) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_SetBreakOff(FT_HANDLE) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_SetBitMode(FT_HANDLE, uint8_t, uint8_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_Write(FT_HANDLE, void *, uint32_t, uint32_t *written) override
    {
        *written = 0;
        return FT_INVALID_HANDLE;
    }
    FT_STATUS FT_GetStatus(FT_HANDLE, uint32_t *rx, uint32_t *tx, uint32_t *event) override
    {
        *rx = *tx = *event = 0;
        return FT_INVALID_HANDLE;
    }
    FT_STATUS FT_Read(FT_HANDLE, void *, uint32_t, uint32_t *returned) override
    {
        *returned = 0;
        return FT_INVALID_HANDLE;
    }
    FT_STATUS FT_Purge(FT_HANDLE, uint32_t) override { return FT_INVALID_HANDLE; }
};

} // namespace

void D2xxApi::sleepMicroseconds(uint32_t microseconds)
{
#ifdef Q_OS_WIN
    // Windows sleeps whole timer periods, at least a millisecond and often
    // 15.6: sleep to a millisecond short of the end (the vendor backend
    // raises the timer resolution while a device is open), then wait out
    // the rest on the performance counter.
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    const LONGLONG end = now.QuadPart + LONGLONG(microseconds) * frequency.QuadPart / 1000000;
    if (microseconds > 2000)
        Sleep(DWORD(microseconds / 1000 - 1));
    do
        QueryPerformanceCounter(&now);
    while (now.QuadPart < end);
#else
    QThread::usleep(microseconds);
#endif
}

// The vendor library when it loads, else libftdi1 when the build has it,
// else a backend that lists no device. The first choice made is logged.
std::shared_ptr<D2xxApi> D2xxApi::platformDefault()
{
    static std::atomic<bool> logged{false};
    const bool log = !logged.exchange(true);

    auto vendor = std::make_shared<VendorD2xx>();
    if (vendor->isLoaded()) {
        if (log)
            qDebug().noquote() << "USB library: vendor library" << vendor->libraryFile();
        return vendor;
    }
#ifdef LINECARD_HAVE_LIBFTDI1
    if (log)
        qDebug().noquote() << "USB library: libftdi1 (vendor library not used:"
                           << vendor->loadError() + ")";
    return std::make_shared<LibftdiD2xx>();
#else
    if (log)
        qDebug().noquote() << "USB library: none, no controller can be found (vendor library:"
                           << vendor->loadError() + ")";
    return std::make_shared<NoDeviceD2xx>();
#endif
}
