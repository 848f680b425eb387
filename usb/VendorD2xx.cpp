#include "usb/VendorD2xx.h"

#include "usb/UsbNodeProbe.h"

#include <QtGlobal>
#ifdef Q_OS_WIN
#include <windows.h>
#include <timeapi.h>
#endif

#include <QFileInfo>

#include <algorithm>
#include <cstddef>
#include <cstdint>

// The library's calling convention: WINAPI, which is __stdcall on 32-bit
// Windows and the platform's default everywhere else.
#if defined(_WIN32) && !defined(_WIN64)
#define D2XX_CALL __stdcall
#else
#define D2XX_CALL
#endif

// The device record crosses the library boundary as the library lays it out.
static_assert(sizeof(FT_STATUS) == 4, "FT_STATUS is an unsigned 32-bit value");
static_assert(offsetof(FT_DEVICE_LIST_INFO_NODE, SerialNumber) == 16, "record layout");
static_assert(offsetof(FT_DEVICE_LIST_INFO_NODE, Description) == 32, "record layout");
static_assert(offsetof(FT_DEVICE_LIST_INFO_NODE, ftHandle) == 96, "record layout");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(FT_DEVICE_LIST_INFO_NODE) == 100, "record is 100 bytes in a 32-bit build");
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(FT_DEVICE_LIST_INFO_NODE) == 104, "record is 104 bytes in a 64-bit build");
#else
#error "unsupported pointer size"
#endif

struct VendorD2xx::Functions
{
    FT_STATUS(D2XX_CALL *createDeviceInfoList)(uint32_t *) = nullptr;
    FT_STATUS(D2XX_CALL *getDeviceInfoList)(FT_DEVICE_LIST_INFO_NODE *, uint32_t *) = nullptr;
    FT_STATUS(D2XX_CALL *open)(int, FT_HANDLE *) = nullptr;
    FT_STATUS(D2XX_CALL *close)(FT_HANDLE) = nullptr;
    FT_STATUS(D2XX_CALL *setBaudRate)(FT_HANDLE, uint32_t) = nullptr;
    FT_STATUS(D2XX_CALL *setDataCharacteristics)(FT_HANDLE, uint8_t, uint8_t, uint8_t) = nullptr;
    FT_STATUS(D2XX_CALL *setChars)(FT_HANDLE, uint8_t, uint8_t, uint8_t, uint8_t) = nullptr;
    FT_STATUS(D2XX_CALL *setFlowControl)(FT_HANDLE, uint16_t, uint8_t, uint8_t) = nullptr;
    FT_STATUS(D2XX_CALL *setTimeouts)(FT_HANDLE, uint32_t, uint32_t) = nullptr;
    FT_STATUS(D2XX_CALL *setRts)(FT_HANDLE) = nullptr;
    FT_STATUS(D2XX_CALL *clrRts)(FT_HANDLE) = nullptr;
    FT_STATUS(D2XX_CALL *setBreakOn)(FT_HANDLE) = nullptr;
    FT_STATUS(D2XX_CALL *setBreakOff)(FT_HANDLE) = nullptr;
    FT_STATUS(D2XX_CALL *setBitMode)(FT_HANDLE, uint8_t, uint8_t) = nullptr;
    FT_STATUS(D2XX_CALL *write)(FT_HANDLE, void *, uint32_t, uint32_t *) = nullptr;
    FT_STATUS(D2XX_CALL *getStatus)(FT_HANDLE, uint32_t *, uint32_t *, uint32_t *) = nullptr;
    FT_STATUS(D2XX_CALL *read)(FT_HANDLE, void *, uint32_t, uint32_t *) = nullptr;
    FT_STATUS(D2XX_CALL *purge)(FT_HANDLE, uint32_t) = nullptr;
};

namespace {

template<typename Function>
bool resolve(QLibrary &library, const char *name, Function &target, QString &missing)
{
    if (!missing.isEmpty())
        return false;
    const QFunctionPointer found = library.resolve(name);
    if (!found) {
        missing = QString::fromLatin1(name);
        return false;
    }
    target = reinterpret_cast<Function>(found);
    return true;
}

} // namespace

VendorD2xx::VendorD2xx(const QStringList &libraryNames)
{
    error = QStringLiteral("no library named");
    for (const QString &name : libraryNames) {
        library.setFileName(name);
        if (!library.load()) {
            error = library.errorString();
            continue;
        }
        auto functions = std::make_unique<Functions>();
        Functions &f = *functions;
        QString missing;
        resolve(library, "FT_CreateDeviceInfoList", f.createDeviceInfoList, missing);
        resolve(library, "FT_GetDeviceInfoList", f.getDeviceInfoList, missing);
        resolve(library, "FT_Open", f.open, missing);
        resolve(library, "FT_Close", f.close, missing);
        resolve(library, "FT_SetBaudRate", f.setBaudRate, missing);
        resolve(library, "FT_SetDataCharacteristics", f.setDataCharacteristics, missing);
        resolve(library, "FT_SetChars", f.setChars, missing);
        resolve(library, "FT_SetFlowControl", f.setFlowControl, missing);
        resolve(library, "FT_SetTimeouts", f.setTimeouts, missing);
        resolve(library, "FT_SetRts", f.setRts, missing);
        resolve(library, "FT_ClrRts", f.clrRts, missing);
        resolve(library, "FT_SetBreakOn", f.setBreakOn, missing);
        resolve(library, "FT_SetBreakOff", f.setBreakOff, missing);
        resolve(library, "FT_SetBitMode", f.setBitMode, missing);
        resolve(library, "FT_Write", f.write, missing);
        resolve(library, "FT_GetStatus", f.getStatus, missing);
        resolve(library, "FT_Read", f.read, missing);
        resolve(library, "FT_Purge", f.purge, missing);
        if (!missing.isEmpty()) {
            error = QStringLiteral("%1 lacks %2").arg(library.fileName(), missing);
            library.unload();
            continue;
        }
        fn = std::move(functions);
        error.clear();
        return;
    }
}

// The library stays loaded (unloading it under its own threads is not
// safe), but nothing of ours stays open in it.
VendorD2xx::~VendorD2xx()
{
    while (!openHandles.empty())
        FT_Close(openHandles.back());
}

QStringList VendorD2xx::defaultLibraryNames()
{
#if defined(_WIN64)
    return {QStringLiteral("ftd2xx64.dll"), QStringLiteral("ftd2xx.dll")};
#elif defined(_WIN32)
    return {QStringLiteral("ftd2xx.dll")};
#else
    return {QStringLiteral("libftd2xx.so"), QStringLiteral("libftd2xx.so.1")};
#endif
}

QString VendorD2xx::libraryFile() const
{
    return fn ? library.fileName() : QString();
}

// Without a library: no device is listed and every handle is unknown.

FT_STATUS VendorD2xx::FT_CreateDeviceInfoList(uint32_t *numDevs)
{
    if (fn)
        return fn->createDeviceInfoList(numDevs);
    if (numDevs)
        *numDevs = 0;
    return FT_OK;
}

FT_STATUS VendorD2xx::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, uint32_t *numDevs)
{
    if (fn)
        return fn->getDeviceInfoList(dest, numDevs);
    if (numDevs)
        *numDevs = 0;
    return FT_OK;
}

FT_STATUS VendorD2xx::FT_Open(int deviceNumber, FT_HANDLE *handle)
{
    if (fn) {
        const FT_STATUS status = fn->open(deviceNumber, handle);
        lastOpenFailed = status != FT_OK;
        if (status == FT_OK && handle) {
            openHandles.push_back(*handle);
#ifdef Q_OS_WIN
            // 1 ms timer periods while the device is open: the link's pauses
            // are of a few milliseconds.
            timeBeginPeriod(1);
#endif
        } else if (status != FT_OK) {
            qCDebug(lcUsb) << "vendor library: FT_Open" << deviceNumber << "gave" << status;
        }
        return status;
    }
    if (handle)
        *handle = nullptr;
    return FT_DEVICE_NOT_FOUND;
}

D2xxApi::OpenRefusal VendorD2xx::openRefusal(const QByteArray &description) const
{
    // The chip maker's vendor ID: the library lists no other chips.
    return lastOpenFailed ? UsbNodeProbe::refusal(0x0403, description) : OpenRefusal::NotKnown;
}

FT_STATUS VendorD2xx::FT_Close(FT_HANDLE handle)
{
    if (!fn)
        return FT_INVALID_HANDLE;
    // A handle whose device has gone is closed all the same: the library
    // ends its threads for it.
    const auto it = std::find(openHandles.begin(), openHandles.end(), handle);
    const bool ours = it != openHandles.end();
    if (ours)
        openHandles.erase(it);
    const FT_STATUS status = fn->close(handle);
#ifdef Q_OS_WIN
    if (ours)
        timeEndPeriod(1);
#endif
    return status;
}

FT_STATUS VendorD2xx::FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate)
{
    return fn ? fn->setBaudRate(handle, baudRate) : FT_INVALID_HANDLE;
}

FT_STATUS VendorD2xx::FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength,
                                                uint8_t stopBits, uint8_t parity)
{
    return fn ? fn->setDataCharacteristics(handle, wordLength, stopBits, parity)
              : FT_INVALID_HANDLE;
}

FT_STATUS VendorD2xx::FT_SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventCharEnabled,
                                  uint8_t errorChar, uint8_t errorCharEnabled)
{
    return fn ? fn->setChars(handle, eventChar, eventCharEnabled, errorChar, errorCharEnabled)
              : FT_INVALID_HANDLE;
}

FT_STATUS VendorD2xx::FT_SetFlowControl(FT_HANDLE handle, uint16_t flowControl, uint8_t xonChar,
                                        uint8_t xoffChar)
{
    return fn ? fn->setFlowControl(handle, flowControl, xonChar, xoffChar) : FT_INVALID_HANDLE;
}

FT_STATUS VendorD2xx::FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeout, uint32_t writeTimeout)
{
    return fn ? fn->setTimeouts(handle, readTimeout, writeTimeout) : FT_INVALID_HANDLE;
}

FT_STATUS VendorD2xx::FT_SetRts(FT_HANDLE handle)
{
    return fn ? fn->setRts(handle) : FT_INVALID_HANDLE;
}

FT_STATUS VendorD2xx::FT_ClrRts(FT_HANDLE handle)
{
    return fn ? fn->clrRts(handle) : FT_INVALID_HANDLE;
}

FT_STATUS VendorD2xx::FT_SetBreakOn(FT_HANDLE handle)
{
    return fn ? fn->setBreakOn(handle) : FT_INVALID_HANDLE;
}

FT_STATUS VendorD2xx::FT_SetBreakOff(FT_HANDLE handle)
{
    return fn ? fn->setBreakOff(handle) : FT_INVALID_HANDLE;
}

FT_STATUS VendorD2xx::FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode)
{
    return fn ? fn->setBitMode(handle, mask, mode) : FT_INVALID_HANDLE;
}

FT_STATUS VendorD2xx::FT_Write(FT_HANDLE handle, void *buffer, uint32_t bytesToWrite,
                               uint32_t *bytesWritten)
{
    if (fn)
        return fn->write(handle, buffer, bytesToWrite, bytesWritten);
    if (bytesWritten)
        *bytesWritten = 0;
    return FT_INVALID_HANDLE;
}

FT_STATUS VendorD2xx::FT_GetStatus(FT_HANDLE handle, uint32_t *rxBytes, uint32_t *txBytes,
                                   uint32_t *eventDWord)
{
    if (fn)
        return fn->getStatus(handle, rxBytes, txBytes, eventDWord);
    for (uint32_t *out : {rxBytes, txBytes, eventDWord})
        if (out)
            *out = 0;
    return FT_INVALID_HANDLE;
}

FT_STATUS VendorD2xx::FT_Read(FT_HANDLE handle, void *buffer, uint32_t bytesToRead,
                              uint32_t *bytesReturned)
{
    if (fn)
        return fn->read(handle, buffer, bytesToRead, bytesReturned);
    if (bytesReturned)
        *bytesReturned = 0;
    return FT_INVALID_HANDLE;
}

FT_STATUS VendorD2xx::FT_Purge(FT_HANDLE handle, uint32_t mask)
{
    return fn ? fn->purge(handle, mask) : FT_INVALID_HANDLE;
}
