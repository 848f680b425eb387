#include "usb/LibftdiD2xx.h"

#include "usb/LibftdiCalls.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// The vendor library's values that D2xxTypes.h does not carry.
constexpr uint8_t ftBits7 = 7;
constexpr uint8_t ftStopBits1 = 0;
constexpr uint16_t ftFlowRtsCts = 0x0100;
constexpr uint16_t ftFlowDtrDsr = 0x0200;
constexpr uint16_t ftFlowXonXoff = 0x0400;
constexpr uint32_t ftDeviceUnknown = 3;

FT_STATUS ioStatus(int result)
{
    return result < 0 ? FT_IO_ERROR : FT_OK;
}

// A read that timed out or was interrupted leaves the device usable.
bool idleReadResult(int result)
{
    return result == LIBUSB_ERROR_TIMEOUT || result == LIBUSB_ERROR_INTERRUPTED;
}

// The device is gone (libusb's NO_DEVICE, libftdi's -666 for no device).
bool deviceGone(int result)
{
    return result == LIBUSB_ERROR_NO_DEVICE || result == -666;
}

} // namespace

struct LibftdiD2xx::Device
{
    ftdi_context *ftdi = nullptr;
    // Line settings as the chip has them after the reset that opening does.
    ftdi_bits_type bits = BITS_8;
    ftdi_stopbits_type stopBits = STOP_BIT_1;
    ftdi_parity_type parity = NONE;
    bool breakOn = false;
    uint8_t bitMode = BITMODE_RESET;
    uint32_t readTimeoutMs = 0;
    uint32_t writeTimeoutMs = 0;

    std::thread reader;
    std::mutex transferMutex; // held around each read of the reader, and by a receive purge
    std::mutex mutex;         // guards what follows
    std::condition_variable changed;
    std::deque<unsigned char> received;
    bool failed = false;
    bool stopping = false;
    int pauses = 0; // receive purges waiting for the reader to stand still

    void readLoop(LibftdiCalls &calls)
    {
        std::vector<unsigned char> chunk(static_cast<size_t>(readChunk));
        int failures = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [this] {
                    const size_t room = receiveCapacity - received.size();
                    return stopping || (pauses == 0 && room >= size_t(readChunk));
                });
                if (stopping)
                    return;
            }
            // Bytes read are in the buffer before a purge can run.
            std::lock_guard<std::mutex> transfer(transferMutex);
            const int got = calls.readData(ftdi, chunk.data(), readChunk);
            std::lock_guard<std::mutex> lock(mutex);
            if (got >= 0 || idleReadResult(got))
                failures = 0;
            if (got > 0) {
                received.insert(received.end(), chunk.begin(),
                                chunk.begin() + std::min(got, readChunk));
                changed.notify_all();
            } else if (got < 0 && !idleReadResult(got)) {
                if (!deviceGone(got) && ++failures <= transientFailures) {
                    if (got == LIBUSB_ERROR_PIPE)
                        calls.clearInHalt(ftdi);
                    continue;
                }
                failed = true;
                changed.notify_all();
                return;
            }
        }
    }
};

LibftdiD2xx::LibftdiD2xx() : LibftdiD2xx(LibftdiCalls::library())
{ }

LibftdiD2xx::LibftdiD2xx(std::shared_ptr<LibftdiCalls> calls) : calls(std::move(calls))
{ }

LibftdiD2xx::~LibftdiD2xx()
{
    for (const std::unique_ptr<Device> &device : devices)
        shutDown(*device);
    devices.clear();
    releaseListed();
    if (enumeration)
        calls->freeContext(enumeration);
}

LibftdiD2xx::Device *LibftdiD2xx::find(FT_HANDLE handle) const
{
    for (const std::unique_ptr<Device> &device : devices)
        if (device.get() == handle)
            return device.get();
    return nullptr;
}

void LibftdiD2xx::releaseListed()
{
    for (libusb_device *dev : listed)
        calls->releaseDevice(dev);
    listed.clear();
    records.clear();
}

int LibftdiD2xx::shutDown(Device &device)
{
    {
        std::lock_guard<std::mutex> lock(device.mutex);
        device.stopping = true;
    }
    device.changed.notify_all();
    if (device.reader.joinable())
        device.reader.join();
    const int result = calls->usbClose(device.ftdi);
    calls->freeContext(device.ftdi);
    device.ftdi = nullptr;
    return result;
}

FT_STATUS LibftdiD2xx::FT_CreateDeviceInfoList(uint32_t *numDevs)
{
    if (!numDevs)
        return FT_INVALID_PARAMETER;
    *numDevs = 0;
    releaseListed();
    if (!enumeration)
        enumeration = calls->newContext();
    if (!enumeration)
        return FT_OTHER_ERROR;

    std::vector<libusb_device *> found;
    if (calls->findAll(enumeration, found) < 0) {
        for (libusb_device *dev : found)
            calls->releaseDevice(dev);
        return FT_IO_ERROR;
    }
    for (libusb_device *dev : found) {
        FT_DEVICE_LIST_INFO_NODE node = {};
        node.Type = ftDeviceUnknown;
        uint16_t vendor = 0, product = 0;
        uint8_t bus = 0, port = 0;
        if (calls->deviceIds(dev, vendor, product, bus, port) == 0) {
            node.ID = uint32_t(vendor) << 16 | product;
            node.LocId = uint32_t(bus) << 8 | port;
        }
        // A chip this user may not open still counts; it has no strings. An
        // EEPROM without a serial number string keeps its description.
        if (calls->usbGetStrings2(enumeration, dev, node.Description, int(sizeof node.Description),
                                  nullptr, 0)
            < 0)
            std::fill(std::begin(node.Description), std::end(node.Description), '\0');
        else if (calls->usbGetStrings2(enumeration, dev, nullptr, 0, node.SerialNumber,
                                       int(sizeof node.SerialNumber))
                 < 0)
            std::fill(std::begin(node.SerialNumber), std::end(node.SerialNumber), '\0');
        node.Description[sizeof node.Description - 1] = '\0';
        node.SerialNumber[sizeof node.SerialNumber - 1] = '\0';
        records.push_back(node);
        listed.push_back(dev);
    }
    *numDevs = uint32_t(records.size());
    return FT_OK;
}

FT_STATUS LibftdiD2xx::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, uint32_t *numDevs)
{
    if (!numDevs || (!dest && !records.empty()))
        return FT_INVALID_PARAMETER;
    std::copy(records.begin(), records.end(), dest);
    *numDevs = uint32_t(records.size());
    return FT_OK;
}

FT_STATUS LibftdiD2xx::FT_Open(int deviceNumber, FT_HANDLE *handle)
{
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    if (deviceNumber < 0 || size_t(deviceNumber) >= listed.size())
        return FT_DEVICE_NOT_FOUND;

    ftdi_context *ftdi = calls->newContext();
    if (!ftdi)
        return FT_INSUFFICIENT_RESOURCES;
    refusedAccess = false;
    openFailure.clear();
    if (calls->usbOpenDev(ftdi, listed[size_t(deviceNumber)]) < 0) {
        refusedAccess = calls->accessDenied(listed[size_t(deviceNumber)]);
        if (ftdi->error_str)
            openFailure = ftdi->error_str;
        calls->freeContext(ftdi);
        return FT_DEVICE_NOT_OPENED;
    }
    ftdi->usb_read_timeout = readerTransferTimeoutMs;

    auto device = std::make_unique<Device>();
    device->ftdi = ftdi;
    Device *opened = device.get();
    devices.push_back(std::move(device));
    opened->reader = std::thread([opened, calls = calls] { opened->readLoop(*calls); });
    *handle = opened;
    return FT_OK;
}

FT_STATUS LibftdiD2xx::FT_Close(FT_HANDLE handle)
{
    const auto it =
        std::find_if(devices.begin(), devices.end(),
                     [handle](const std::unique_ptr<Device> &d) { return d.get() == handle; });
    if (it == devices.end())
        return FT_INVALID_HANDLE;
    const int result = shutDown(**it);
    devices.erase(it);
    return ioStatus(result);
}

FT_STATUS LibftdiD2xx::FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate)
{
    Device *device = find(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if (baudRate == 0 || baudRate > uint32_t(INT_MAX / 4))
        return FT_INVALID_BAUD_RATE;
    // libftdi multiplies the rate by 4 whenever a bit mode is on, which suits
    // the pin clock of the bit-bang modes. In CBUS bit-bang mode the UART
    // runs at the rate given, so the flag is cleared for the call.
    ftdi_context *ftdi = device->ftdi;
    const unsigned char bitbang = ftdi->bitbang_enabled;
    if (device->bitMode == BITMODE_CBUS)
        ftdi->bitbang_enabled = 0;
    const int result = calls->setBaudrate(ftdi, int(baudRate));
    ftdi->bitbang_enabled = bitbang;
    if (result == -1)
        return FT_INVALID_BAUD_RATE;
    return ioStatus(result);
}

FT_STATUS LibftdiD2xx::FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength,
                                                 uint8_t stopBits, uint8_t parity)
{
    Device *device = find(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if ((wordLength != ftBits7 && wordLength != FT_BITS_8)
        || (stopBits != ftStopBits1 && stopBits != FT_STOP_BITS_2) || parity > SPACE)
        return FT_INVALID_PARAMETER;
    const ftdi_bits_type bits = wordLength == FT_BITS_8 ? BITS_8 : BITS_7;
    const ftdi_stopbits_type stop = stopBits == FT_STOP_BITS_2 ? STOP_BIT_2 : STOP_BIT_1;
    // The vendor's parity numbering is libftdi's: none, odd, even, mark, space.
    const ftdi_parity_type parityType = ftdi_parity_type(parity);
    // A break in progress stays on.
    const int result = device->breakOn
                           ? calls->setLineProperty2(device->ftdi, bits, stop, parityType, BREAK_ON)
                           : calls->setLineProperty(device->ftdi, bits, stop, parityType);
    if (result < 0)
        return FT_IO_ERROR;
    device->bits = bits;
    device->stopBits = stop;
    device->parity = parityType;
    return FT_OK;
}

FT_STATUS LibftdiD2xx::FT_SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventCharEnabled,
                                   uint8_t errorChar, uint8_t errorCharEnabled)
{
    Device *device = find(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if (calls->setEventChar(device->ftdi, eventChar, eventCharEnabled) < 0)
        return FT_IO_ERROR;
    return ioStatus(calls->setErrorChar(device->ftdi, errorChar, errorCharEnabled));
}

FT_STATUS LibftdiD2xx::FT_SetFlowControl(FT_HANDLE handle, uint16_t flowControl, uint8_t xonChar,
                                         uint8_t xoffChar)
{
    Device *device = find(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    switch (flowControl) {
    case FT_FLOW_NONE:
        return ioStatus(calls->setFlowCtrl(device->ftdi, SIO_DISABLE_FLOW_CTRL));
    case ftFlowRtsCts:
        return ioStatus(calls->setFlowCtrl(device->ftdi, SIO_RTS_CTS_HS));
    case ftFlowDtrDsr:
        return ioStatus(calls->setFlowCtrl(device->ftdi, SIO_DTR_DSR_HS));
    case ftFlowXonXoff:
        return ioStatus(calls->setFlowCtrlXonXoff(device->ftdi, xonChar, xoffChar));
    default:
        return FT_INVALID_PARAMETER;
    }
}

FT_STATUS LibftdiD2xx::FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeout, uint32_t writeTimeout)
{
    Device *device = find(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(device->mutex);
    device->readTimeoutMs = readTimeout;
    device->writeTimeoutMs = writeTimeout;
    return FT_OK;
}

FT_STATUS LibftdiD2xx::FT_SetRts(FT_HANDLE handle)
{
    Device *device = find(handle);
    return device ? ioStatus(calls->setRts(device->ftdi, 1)) : FT_INVALID_HANDLE;
}

FT_STATUS LibftdiD2xx::FT_ClrRts(FT_HANDLE handle)
{
    Device *device = find(handle);
    return device ? ioStatus(calls->setRts(device->ftdi, 0)) : FT_INVALID_HANDLE;
}

// libftdi sets the break together with bits, stop bits and parity; the
// current ones are given again.
FT_STATUS LibftdiD2xx::setLine(Device &device, bool breakOn)
{
    if (calls->setLineProperty2(device.ftdi, device.bits, device.stopBits, device.parity,
                                breakOn ? BREAK_ON : BREAK_OFF)
        < 0)
        return FT_IO_ERROR;
    device.breakOn = breakOn;
    return FT_OK;
}

FT_STATUS LibftdiD2xx::FT_SetBreakOn(FT_HANDLE handle)
{
    Device *device = find(handle);
    return device ? setLine(*device, true) : FT_INVALID_HANDLE;
}

FT_STATUS LibftdiD2xx::FT_SetBreakOff(FT_HANDLE handle)
{
    Device *device = find(handle);
    return device ? setLine(*device, false) : FT_INVALID_HANDLE;
}

FT_STATUS LibftdiD2xx::FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode)
{
    Device *device = find(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if (calls->setBitmode(device->ftdi, mask, mode) < 0)
        return FT_IO_ERROR;
    device->bitMode = mode;
    return FT_OK;
}

FT_STATUS LibftdiD2xx::FT_Write(FT_HANDLE handle, void *buffer, uint32_t bytesToWrite,
                                uint32_t *bytesWritten)
{
    Device *device = find(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if (!bytesWritten)
        return FT_INVALID_PARAMETER;
    *bytesWritten = 0;
    if (bytesToWrite == 0)
        return FT_OK;
    if (!buffer || bytesToWrite > uint32_t(INT_MAX))
        return FT_INVALID_PARAMETER;

    ftdi_context *ftdi = device->ftdi;
    const int libraryTimeout = ftdi->usb_write_timeout;
    ftdi->usb_write_timeout = int(std::min<uint32_t>(device->writeTimeoutMs, INT_MAX));
    int result = 0;
    for (int attempt = 0; attempt <= transientFailures; ++attempt) {
        result = calls->writeData(ftdi, static_cast<const unsigned char *>(buffer),
                                  int(bytesToWrite));
        if (result >= 0 || deviceGone(result))
            break;
    }
    ftdi->usb_write_timeout = libraryTimeout;
    if (result < 0)
        return FT_IO_ERROR;
    *bytesWritten = std::min(uint32_t(result), bytesToWrite);
    return FT_OK;
}

FT_STATUS LibftdiD2xx::FT_GetStatus(FT_HANDLE handle, uint32_t *rxBytes, uint32_t *txBytes,
                                    uint32_t *eventDWord)
{
    if (!rxBytes || !txBytes || !eventDWord)
        return FT_INVALID_PARAMETER;
    *rxBytes = *txBytes = *eventDWord = 0;
    Device *device = find(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->failed)
        return FT_IO_ERROR;
    *rxBytes = uint32_t(device->received.size());
    return FT_OK;
}

FT_STATUS LibftdiD2xx::FT_Read(FT_HANDLE handle, void *buffer, uint32_t bytesToRead,
                               uint32_t *bytesReturned)
{
    Device *device = find(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if (!bytesReturned || (!buffer && bytesToRead > 0))
        return FT_INVALID_PARAMETER;
    *bytesReturned = 0;

    std::unique_lock<std::mutex> lock(device->mutex);
    const auto ready = [device, bytesToRead] {
        return device->failed || device->received.size() >= bytesToRead;
    };
    if (device->readTimeoutMs == 0)
        device->changed.wait(lock, ready);
    else
        device->changed.wait_for(lock, std::chrono::milliseconds(device->readTimeoutMs), ready);

    const size_t n = std::min<size_t>(bytesToRead, device->received.size());
    std::copy_n(device->received.begin(), n, static_cast<unsigned char *>(buffer));
    device->received.erase(device->received.begin(), device->received.begin() + long(n));
    *bytesReturned = uint32_t(n);
    if (n > 0)
        device->changed.notify_all(); // room for the reader
    return n == 0 && device->failed ? FT_IO_ERROR : FT_OK;
}

FT_STATUS LibftdiD2xx::FT_Purge(FT_HANDLE handle, uint32_t mask)
{
    Device *device = find(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if (mask & ~(FT_PURGE_RX | FT_PURGE_TX))
        return FT_INVALID_PARAMETER;

    FT_STATUS status = FT_OK;
    if (mask & FT_PURGE_RX) {
        {
            std::lock_guard<std::mutex> lock(device->mutex);
            ++device->pauses;
        }
        {
            // Waits for the reader's transfer in flight; libftdi's own read
            // buffer, which ftdi_tciflush clears too, is the reader's.
            std::lock_guard<std::mutex> transfer(device->transferMutex);
            status = ioStatus(calls->tciflush(device->ftdi));
            std::lock_guard<std::mutex> lock(device->mutex);
            device->received.clear();
            --device->pauses;
        }
        device->changed.notify_all();
    }
    if ((mask & FT_PURGE_TX) && calls->tcoflush(device->ftdi) < 0)
        status = FT_IO_ERROR;
    return status;
}
