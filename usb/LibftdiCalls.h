#pragma once

#include <ftdi.h>

#include <cstdint>
#include <memory>
#include <vector>

struct libusb_device;

// The libftdi1 calls (and the few libusb ones) that LibftdiD2xx makes, one
// member per library function, so that tests can put a recording fake in the
// library's place. Results are the library's: 0 or a count on success, a
// negative code on failure.
class LibftdiCalls
{
public:
    virtual ~LibftdiCalls() = default;

    // ftdi_new; null when libusb cannot start.
    virtual ftdi_context *newContext() = 0;
    // ftdi_free
    virtual void freeContext(ftdi_context *ftdi) = 0;
    // ftdi_usb_find_all over the chip maker's own vendor and product IDs.
    // Each device found stays referenced until releaseDevice; on failure the
    // devices already found are handed over too.
    virtual int findAll(ftdi_context *ftdi, std::vector<libusb_device *> &devices) = 0;
    // libusb_unref_device
    virtual void releaseDevice(libusb_device *dev) = 0;
    // libusb_get_device_descriptor, libusb_get_bus_number, libusb_get_port_number
    virtual int deviceIds(libusb_device *dev, uint16_t &vendor, uint16_t &product, uint8_t &bus,
                          uint8_t &port) = 0;
    // ftdi_usb_get_strings2 without the manufacturer; unlike
    // ftdi_usb_get_strings it leaves an open device open.
    virtual int usbGetStrings2(ftdi_context *ftdi, libusb_device *dev, char *description,
                               int descriptionLength, char *serial, int serialLength) = 0;
    // ftdi_usb_open_dev; detaches the kernel's serial driver and resets the chip.
    virtual int usbOpenDev(ftdi_context *ftdi, libusb_device *dev) = 0;
    // Whether opening the device is refused for want of permission on its
    // node (libusb_open gives LIBUSB_ERROR_ACCESS); libftdi's own results do
    // not tell.
    virtual bool accessDenied(libusb_device *dev) = 0;
    // libusb_clear_halt on the chip's bulk-in endpoint, after a stall.
    virtual int clearInHalt(ftdi_context *ftdi) = 0;
    virtual int usbClose(ftdi_context *ftdi) = 0;
    // ftdi_set_baudrate; multiplies the rate by 4 while ftdi->bitbang_enabled is set.
    virtual int setBaudrate(ftdi_context *ftdi, int baudrate) = 0;
    virtual int setLineProperty(ftdi_context *ftdi, ftdi_bits_type bits,
                                ftdi_stopbits_type stopBits, ftdi_parity_type parity) = 0;
    virtual int setLineProperty2(ftdi_context *ftdi, ftdi_bits_type bits,
                                 ftdi_stopbits_type stopBits, ftdi_parity_type parity,
                                 ftdi_break_type breakType) = 0;
    virtual int setEventChar(ftdi_context *ftdi, unsigned char eventChar, unsigned char enable) = 0;
    virtual int setErrorChar(ftdi_context *ftdi, unsigned char errorChar, unsigned char enable) = 0;
    virtual int setFlowCtrl(ftdi_context *ftdi, int flowControl) = 0;
    virtual int setFlowCtrlXonXoff(ftdi_context *ftdi, unsigned char xon, unsigned char xoff) = 0;
    virtual int setRts(ftdi_context *ftdi, int state) = 0;
    // ftdi_set_bitmode; sets ftdi->bitbang_enabled for every mode but BITMODE_RESET.
    virtual int setBitmode(ftdi_context *ftdi, unsigned char mask, unsigned char mode) = 0;
    // ftdi_tciflush: the chip's receive buffer and libftdi's own.
    virtual int tciflush(ftdi_context *ftdi) = 0;
    virtual int tcoflush(ftdi_context *ftdi) = 0;
    // ftdi_write_data, bounded by ftdi->usb_write_timeout.
    virtual int writeData(ftdi_context *ftdi, const unsigned char *buffer, int size) = 0;
    // What one USB transfer from the chip brings, at most size bytes: 0 when
    // the chip had nothing (it answers once per latency period), a negative
    // libftdi or libusb code on failure. ftdi_read_data alone would keep
    // collecting transfers until size bytes had come.
    virtual int readData(ftdi_context *ftdi, unsigned char *buffer, int size) = 0;

    // The libftdi1 the program is linked with.
    static std::shared_ptr<LibftdiCalls> library();
};
