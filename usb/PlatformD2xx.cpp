#include "usb/D2xxApi.h"

#include "usb/VendorD2xx.h"
#ifdef LINECARD_HAVE_LIBFTDI1
#include "usb/LibftdiD2xx.h"
#endif

#include <QDebug>

#include <atomic>

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
    bool libraryMissing() const override { return true; }
};

} // namespace

// The vendor library when it loads, else libftdi1 when the build has it,
// else a backend that lists no device. The first choice made is stated.
std::shared_ptr<D2xxApi> D2xxApi::platformDefault()
{
    static std::atomic<bool> stated{false};
    const bool state = !stated.exchange(true);

    auto vendor = std::make_shared<VendorD2xx>();
    if (vendor->isLoaded()) {
        if (state)
            qInfo().noquote() << "USB: vendor library" << vendor->libraryFile();
        return vendor;
    }
    if (state)
        qCDebug(lcUsb).noquote() << "vendor library not used:" << vendor->loadError();
#ifdef LINECARD_HAVE_LIBFTDI1
    if (state)
        qInfo("USB: libftdi1");
    return std::make_shared<LibftdiD2xx>();
#else
    if (state)
        qInfo("USB: none - no USB library, so no controller can be found");
    return std::make_shared<NoDeviceD2xx>();
#endif
}
