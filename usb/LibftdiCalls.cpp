#include "usb/LibftdiCalls.h"

#include <libusb.h>

#include <algorithm>

namespace {

class LinkedLibftdi final : public LibftdiCalls
{
public:
    ftdi_context *newContext() override { return ftdi_new(); }
    void freeContext(ftdi_context *ftdi) override { ftdi_free(ftdi); }

    int findAll(ftdi_context *ftdi, std::vector<libusb_device *> &devices) override
    {
        ftdi_device_list *list = nullptr;
        // Vendor and product 0: the chip maker's IDs, 0x6001 and 0x6015 among them.
        const int count = ftdi_usb_find_all(ftdi, &list, 0, 0);
        for (ftdi_device_list *entry = list; entry; entry = entry->next)
            devices.push_back(libusb_ref_device(entry->dev));
        ftdi_list_free(&list);
        return count;
    }

    void releaseDevice(libusb_device *dev) override { libusb_unref_device(dev); }

    int deviceIds(libusb_device *dev, uint16_t &vendor, uint16_t &product, uint8_t &bus,
                  uint8_t &port) override
    {
        libusb_device_descriptor descriptor;
        const int result = libusb_get_device_descriptor(dev, &descriptor);
        if (result < 0)
            return result;
        vendor = descriptor.idVendor;
        product = descriptor.idProduct;
        bus = libusb_get_bus_number(dev);
        port = libusb_get_port_number(dev);
        return 0;
    }

    int usbGetStrings2(ftdi_context *ftdi, libusb_device *dev, char *description,
                       int descriptionLength, char *serial, int serialLength) override
    {
        return ftdi_usb_get_strings2(ftdi, dev, nullptr, 0, description, descriptionLength, serial,
                                     serialLength);
    }

    int usbOpenDev(ftdi_context *ftdi, libusb_device *dev) override
    {
        return ftdi_usb_open_dev(ftdi, dev);
    }
    int usbClose(ftdi_context *ftdi) override { return ftdi_usb_close(ftdi); }

    bool accessDenied(libusb_device *dev) override
    {
        libusb_device_handle *handle = nullptr;
        const int result = libusb_open(dev, &handle);
        if (result == 0)
            libusb_close(handle);
        return result == LIBUSB_ERROR_ACCESS;
    }

    int clearInHalt(ftdi_context *ftdi) override
    {
        // libftdi names the endpoints from the chip's side: out_ep is bulk in.
        return ftdi->usb_dev ? libusb_clear_halt(ftdi->usb_dev, (unsigned char)ftdi->out_ep) : -1;
    }
    int setBaudrate(ftdi_context *ftdi, int baudrate) override
    {
        return ftdi_set_baudrate(ftdi, baudrate);
    }
    int setLineProperty(ftdi_context *ftdi, ftdi_bits_type bits, ftdi_stopbits_type stopBits,
                        ftdi_parity_type parity) override
    {
        return ftdi_set_line_property(ftdi, bits, stopBits, parity);
    }
    int setLineProperty2(ftdi_context *ftdi, ftdi_bits_type bits, ftdi_stopbits_type stopBits,
                         ftdi_parity_type parity, ftdi_break_type breakType) override
    {
        return ftdi_set_line_property2(ftdi, bits, stopBits, parity, breakType);
    }
    int setEventChar(ftdi_context *ftdi, unsigned char eventChar, unsigned char enable) override
    {
        return ftdi_set_event_char(ftdi, eventChar, enable);
    }
    int setErrorChar(ftdi_context *ftdi, unsigned char errorChar, unsigned char enable) override
    {
        return ftdi_set_error_char(ftdi, errorChar, enable);
    }
    int setFlowCtrl(ftdi_context *ftdi, int flowControl) override
    {
        return ftdi_setflowctrl(ftdi, flowControl);
    }
    int setFlowCtrlXonXoff(ftdi_context *ftdi, unsigned char xon, unsigned char xoff) override
    {
        return ftdi_setflowctrl_xonxoff(ftdi, xon, xoff);
    }
    int setRts(ftdi_context *ftdi, int state) override { return ftdi_setrts(ftdi, state); }
    int setBitmode(ftdi_context *ftdi, unsigned char mask, unsigned char mode) override
    {
        return ftdi_set_bitmode(ftdi, mask, mode);
    }
    int tciflush(ftdi_context *ftdi) override { return ftdi_tciflush(ftdi); }
    int tcoflush(ftdi_context *ftdi) override { return ftdi_tcoflush(ftdi); }
    int writeData(ftdi_context *ftdi, const unsigned char *buffer, int size) override
    {
        return ftdi_write_data(ftdi, buffer, size);
    }

    int readData(ftdi_context *ftdi, unsigned char *buffer, int size) override
    {
        if (size <= 0)
            return 0;
        // Asking for one byte makes libftdi return after a single transfer;
        // the rest of that transfer then comes from its buffer without USB
        // traffic.
        int got = ftdi_read_data(ftdi, buffer, 1);
        if (got <= 0)
            return got;
        const int more = std::min(size - 1, int(ftdi->readbuffer_remaining));
        if (more > 0) {
            const int rest = ftdi_read_data(ftdi, buffer + 1, more);
            if (rest < 0)
                return rest;
            got += rest;
        }
        return got;
    }
};

} // namespace

std::shared_ptr<LibftdiCalls> LibftdiCalls::library()
{
    return std::make_shared<LinkedLibftdi>();
}
