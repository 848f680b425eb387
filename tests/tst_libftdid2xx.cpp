#include "usb/LibftdiCalls.h"
#include "usb/LibftdiD2xx.h"
#include "usb/ftd2xxRaw.h"

#include <QElapsedTimer>
#include <QtTest>

#include <libusb.h>

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

using LibraryCall = std::function<FT_STATUS(D2xxApi &, FT_HANDLE)>;
Q_DECLARE_METATYPE(LibraryCall)

namespace {

struct FakeUsbDevice
{
    uint16_t vendor = 0x0403;
    uint16_t product = 0x6001;
    uint8_t bus = 1;
    uint8_t port = 4;
    QByteArray description = "VX420 Controller";
    QByteArray serial = "FT9XK2QA";
    bool stringsFail = false;    // as without permission to open the device
    bool accessDenied = false;   // libusb_open refused for want of permission
    bool noSerialString = false; // the EEPROM has no serial number string
};

// libftdi as far as the backend relies on it: the context flags that
// ftdi_set_bitmode and ftdi_set_baudrate share, the baud rate divisor an
// FT232R gets, and a chip whose USB transfers the test scripts. Every call
// but the reads is logged as one line: name and numeric arguments.
class FakeLibftdi : public LibftdiCalls
{
public:
    std::deque<FakeUsbDevice> usb; // stable addresses: they are the libusb devices
    bool contextFails = false;
    int findAllResult = 0;               // below 0: fail after handing over the devices
    QMap<QByteArray, int> failWith;      // call name -> result instead of success
    const char *openErrorText = nullptr; // what a failing usbOpenDev leaves in error_str
    bool echo = false;                   // the controller's line echoes breaks and writes
    QByteArray replyAfterWrite;          // received after each write's echo

    // --- inspection
    QByteArrayList log() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    void clearLog()
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.clear();
    }
    int wireBaud() const { return chipBaud; }
    int baudValue() const { return chipBaudValue; }
    ftdi_context *openContext() const { return opened; }
    QByteArray written() const { return writtenBytes; }
    int liveContexts() const { return contexts; }
    int deviceRefs() const { return refs; }

    // --- the chip's receive side; each injected block is one USB transfer
    void inject(const QByteArray &bytes)
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending.emplace_back(bytes.constData(), size_t(bytes.size()));
    }
    void injectReadResult(int result)
    {
        std::lock_guard<std::mutex> lock(mutex);
        readResults.push_back(result);
    }

    // LibftdiCalls
    ftdi_context *newContext() override
    {
        if (contextFails)
            return nullptr;
        auto *ftdi = new ftdi_context{};
        ftdi->usb_read_timeout = ftdi->usb_write_timeout = 5000;
        ++contexts;
        return ftdi;
    }
    void freeContext(ftdi_context *ftdi) override
    {
        record("freeContext");
        if (ftdi == opened)
            opened = nullptr;
        delete ftdi;
        --contexts;
    }
    int findAll(ftdi_context *, std::vector<libusb_device *> &devices) override
    {
        record("findAll");
        for (FakeUsbDevice &device : usb) {
            devices.push_back(reinterpret_cast<libusb_device *>(&device));
            ++refs;
        }
        return findAllResult < 0 ? findAllResult : int(usb.size());
    }
    void releaseDevice(libusb_device *) override { --refs; }
    int deviceIds(libusb_device *dev, uint16_t &vendor, uint16_t &product, uint8_t &bus,
                  uint8_t &port) override
    {
        const FakeUsbDevice &device = *reinterpret_cast<FakeUsbDevice *>(dev);
        vendor = device.vendor;
        product = device.product;
        bus = device.bus;
        port = device.port;
        return 0;
    }
    int usbGetStrings2(ftdi_context *, libusb_device *dev, char *description, int descriptionLength,
                       char *serial, int serialLength) override
    {
        const FakeUsbDevice &device = *reinterpret_cast<FakeUsbDevice *>(dev);
        record("usbGetStrings2 " + QByteArray::number(indexOf(dev)) + (description ? " d" : "")
               + (serial ? " s" : ""));
        if (device.stringsFail)
            return -4;
        // Fills the whole buffer, with no terminating NUL when the text is too
        // long; as libftdi, reads the description first and fails on the
        // serial number with -9 after it.
        if (description) {
            std::fill_n(description, descriptionLength, 'x');
            qstrncpy(description, device.description.constData(), uint(descriptionLength));
            if (device.description.size() >= descriptionLength)
                description[descriptionLength - 1] = 'x';
        }
        if (serial) {
            if (device.noSerialString)
                return -9;
            std::fill_n(serial, serialLength, 'x');
            qstrncpy(serial, device.serial.constData(), uint(serialLength));
        }
        return 0;
    }
    bool accessDenied(libusb_device *dev) override
    {
        record("accessDenied " + QByteArray::number(indexOf(dev)));
        return reinterpret_cast<FakeUsbDevice *>(dev)->accessDenied;
    }
    int clearInHalt(ftdi_context *) override { return result("clearInHalt"); }
    int usbOpenDev(ftdi_context *ftdi, libusb_device *dev) override
    {
        record("usbOpenDev " + QByteArray::number(indexOf(dev)));
        if (failWith.contains("usbOpenDev")) {
            ftdi->error_str = openErrorText; // as libftdi's ftdi_error_return does
            return failWith.value("usbOpenDev");
        }
        opened = ftdi;
        chipBaud = 9600; // the open resets the chip and sets 9600 baud
        return 0;
    }
    int usbClose(ftdi_context *) override { return result("usbClose"); }
    int setBaudrate(ftdi_context *ftdi, int baudrate) override
    {
        record("setBaudrate " + QByteArray::number(baudrate));
        if (failWith.contains("setBaudrate"))
            return failWith.value("setBaudrate");
        if (ftdi->bitbang_enabled)
            baudrate *= 4;
        chipBaud = baudrate;
        chipBaudValue = ft232rDivisor(baudrate);
        return 0;
    }
    int setLineProperty(ftdi_context *, ftdi_bits_type bits, ftdi_stopbits_type stopBits,
                        ftdi_parity_type parity) override
    {
        return result("setLineProperty", {bits, stopBits, parity});
    }
    int setLineProperty2(ftdi_context *, ftdi_bits_type bits, ftdi_stopbits_type stopBits,
                         ftdi_parity_type parity, ftdi_break_type breakType) override
    {
        const int r = result("setLineProperty2", {bits, stopBits, parity, breakType});
        if (r == 0 && echo && breakOn && breakType == BREAK_OFF)
            inject(QByteArray(1, '\0'));
        if (r == 0)
            breakOn = breakType == BREAK_ON;
        return r;
    }
    int setEventChar(ftdi_context *, unsigned char eventChar, unsigned char enable) override
    {
        return result("setEventChar", {eventChar, enable});
    }
    int setErrorChar(ftdi_context *, unsigned char errorChar, unsigned char enable) override
    {
        return result("setErrorChar", {errorChar, enable});
    }
    int setFlowCtrl(ftdi_context *, int flowControl) override
    {
        return result("setFlowCtrl", {flowControl});
    }
    int setFlowCtrlXonXoff(ftdi_context *, unsigned char xon, unsigned char xoff) override
    {
        return result("setFlowCtrlXonXoff", {xon, xoff});
    }
    int setRts(ftdi_context *, int state) override { return result("setRts", {state}); }
    int setBitmode(ftdi_context *ftdi, unsigned char mask, unsigned char mode) override
    {
        const int r = result("setBitmode", {mask, mode});
        if (r == 0) {
            ftdi->bitbang_mode = mode;
            ftdi->bitbang_enabled = mode == BITMODE_RESET ? 0 : 1;
        }
        return r;
    }
    int tciflush(ftdi_context *) override
    {
        const int r = result("tciflush");
        std::lock_guard<std::mutex> lock(mutex);
        pending.clear();
        return r;
    }
    int tcoflush(ftdi_context *) override { return result("tcoflush"); }
    void failWriteTimes(int times, int code)
    {
        std::lock_guard<std::mutex> lock(mutex);
        writeFailures = times;
        writeFailure = code;
    }
    int writeData(ftdi_context *ftdi, const unsigned char *buffer, int size) override
    {
        int r = result("writeData", {size, ftdi->usb_write_timeout});
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (writeFailures > 0) {
                --writeFailures;
                r = writeFailure;
            }
        }
        if (r < 0)
            return r;
        writtenBytes.append(reinterpret_cast<const char *>(buffer), size);
        if (echo)
            inject(QByteArray(reinterpret_cast<const char *>(buffer), size) + replyAfterWrite);
        return size;
    }
    int readData(ftdi_context *, unsigned char *buffer, int size) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!readResults.empty()) {
                const int r = readResults.front();
                readResults.pop_front();
                return r;
            }
            if (!pending.empty()) {
                std::string &transfer = pending.front();
                const int n = std::min(size, int(transfer.size()));
                std::copy_n(transfer.data(), n, buffer);
                transfer.erase(0, size_t(n));
                if (transfer.empty())
                    pending.pop_front();
                return n;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the chip's latency
        return 0;
    }

    // libftdi's divisor encoding for the FT232R and its kin (3 MHz base,
    // eighths in the top bits): 9600 baud is 0x4138, 38400 is 0xC04E.
    static int ft232rDivisor(int baud)
    {
        static const int fraction[8] = {0, 3, 2, 4, 1, 5, 6, 7};
        const int sixteenths = 48000000 / baud;
        const int divisor = (sixteenths + 1) / 2;
        return (divisor >> 3) | (fraction[divisor & 7] << 14);
    }

private:
    int indexOf(libusb_device *dev) const
    {
        for (size_t i = 0; i < usb.size(); ++i)
            if (reinterpret_cast<const libusb_device *>(&usb[i]) == dev)
                return int(i);
        return -1;
    }
    void record(const QByteArray &line)
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.append(line);
    }
    int result(const QByteArray &name, std::initializer_list<int> args = {})
    {
        QByteArray line = name;
        for (int arg : args)
            line += ' ' + QByteArray::number(arg);
        record(line);
        return failWith.value(name, 0);
    }

    mutable std::mutex mutex; // the reader thread reads while the test calls
    QByteArrayList calls;
    std::deque<std::string> pending; // not shared with the test thread
    std::deque<int> readResults;
    int writeFailures = 0;
    int writeFailure = 0;
    QByteArray writtenBytes;
    bool breakOn = false;
    ftdi_context *opened = nullptr;
    int chipBaud = 0;
    int chipBaudValue = 0;
    int contexts = 0;
    int refs = 0;
};

uint32_t queued(D2xxApi &api, FT_HANDLE handle, FT_STATUS *status = nullptr)
{
    uint32_t rx = 0, tx = 0, event = 0;
    const FT_STATUS s = api.FT_GetStatus(handle, &rx, &tx, &event);
    if (status)
        *status = s;
    return rx;
}

FT_STATUS statusOf(D2xxApi &api, FT_HANDLE handle)
{
    FT_STATUS status = FT_OK;
    queued(api, handle, &status);
    return status;
}

QByteArray readBytes(D2xxApi &api, FT_HANDLE handle, uint32_t count, FT_STATUS *status = nullptr)
{
    QByteArray buffer(int(count), '\0');
    uint32_t got = 0;
    const FT_STATUS s = api.FT_Read(handle, buffer.data(), count, &got);
    if (status)
        *status = s;
    return buffer.left(int(got));
}

} // namespace

class tst_LibftdiD2xx : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void enumeration();
    void enumerationFails_data();
    void enumerationFails();
    void openAndClose();
    void everythingReleased();

    void baudRateOnTheWire_data();
    void baudRateOnTheWire();
    void breakKeepsTheLineSettings();
    void invalidDataCharacteristics_data();
    void invalidDataCharacteristics();
    void callMapping_data();
    void callMapping();
    void libraryFailures_data();
    void libraryFailures();
    void writeBoundedByTheWriteTimeout();

    void statusCountsWhatArrived();
    void readWaitsUpToTheReadTimeout();
    void readEndsWhenTheBytesArrive();
    void purgeEmptiesTheReceiveBuffer();
    void receiveBufferIsBounded();
    void vanishedDeviceFailsStatus_data();
    void vanishedDeviceFailsStatus();
    void transientReadErrorsPass_data();
    void transientReadErrorsPass();
    void transientWriteErrorsRetried();
    void whatALinuxBenchShows();

    void lineDisciplineOverLibftdi();
    void linkedLibraryListsConsistently();

private:
    // Lists the fake's devices and opens the first.
    FT_HANDLE openFirst();

    std::shared_ptr<FakeLibftdi> fake;
    std::unique_ptr<LibftdiD2xx> backend;
};

void tst_LibftdiD2xx::init()
{
    fake = std::make_shared<FakeLibftdi>();
    fake->usb.push_back(FakeUsbDevice());
    backend = std::make_unique<LibftdiD2xx>(fake);
}

void tst_LibftdiD2xx::cleanup()
{
    backend.reset();
    fake.reset();
}

FT_HANDLE tst_LibftdiD2xx::openFirst()
{
    uint32_t count = 0;
    FT_HANDLE handle = nullptr;
    if (backend->FT_CreateDeviceInfoList(&count) != FT_OK || count == 0
        || backend->FT_Open(0, &handle) != FT_OK)
        return nullptr;
    fake->clearLog();
    return handle;
}

void tst_LibftdiD2xx::enumeration()
{
    FakeUsbDevice ftx;
    ftx.product = 0x6015;
    ftx.bus = 3;
    ftx.port = 1;
    ftx.description = QByteArray(70, 'D');
    ftx.serial = "SERIAL-LONGER-THAN-15";
    fake->usb.push_back(ftx);
    FakeUsbDevice locked;
    locked.stringsFail = true;
    fake->usb.push_back(locked);

    uint32_t count = 0;
    QCOMPARE(backend->FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(count, 3u);
    std::vector<FT_DEVICE_LIST_INFO_NODE> records(count);
    QCOMPARE(backend->FT_GetDeviceInfoList(records.data(), &count), FT_STATUS(FT_OK));
    QCOMPARE(count, 3u);

    QCOMPARE(records[0].ID, 0x04036001u);
    QCOMPARE(records[0].LocId, 0x0104u);
    QCOMPARE(QByteArray(records[0].Description), QByteArray("VX420 Controller"));
    QCOMPARE(QByteArray(records[0].SerialNumber), QByteArray("FT9XK2QA"));
    QCOMPARE(records[1].ID, 0x04036015u);
    QCOMPARE(records[1].LocId, 0x0301u);
    QCOMPARE(QByteArray(records[1].Description), QByteArray(63, 'D'));
    QCOMPARE(QByteArray(records[1].SerialNumber), QByteArray("SERIAL-LONGER-T"));
    // A device this user may not open is listed without strings.
    QCOMPARE(records[2].ID, 0x04036001u);
    QCOMPARE(QByteArray(records[2].Description), QByteArray());
    QCOMPARE(QByteArray(records[2].SerialNumber), QByteArray());

    QCOMPARE(fake->log(),
             QByteArrayList({"findAll", "usbGetStrings2 0 d", "usbGetStrings2 0 s",
                             "usbGetStrings2 1 d", "usbGetStrings2 1 s", "usbGetStrings2 2 d"}));
}

void tst_LibftdiD2xx::enumerationFails_data()
{
    QTest::addColumn<bool>("contextFails");
    QTest::addColumn<int>("findAllResult");
    QTest::addColumn<FT_STATUS>("status");

    QTest::newRow("libusb does not start") << true << 0 << FT_STATUS(FT_OTHER_ERROR);
    QTest::newRow("device list fails") << false << -5 << FT_STATUS(FT_IO_ERROR);
}

void tst_LibftdiD2xx::enumerationFails()
{
    QFETCH(bool, contextFails);
    QFETCH(int, findAllResult);
    QFETCH(FT_STATUS, status);

    fake->contextFails = contextFails;
    fake->findAllResult = findAllResult;
    uint32_t count = 7;
    QCOMPARE(backend->FT_CreateDeviceInfoList(&count), status);
    QCOMPARE(count, 0u);
    QCOMPARE(fake->deviceRefs(), 0);
    FT_HANDLE handle = nullptr;
    QCOMPARE(backend->FT_Open(0, &handle), FT_STATUS(FT_DEVICE_NOT_FOUND));
}

void tst_LibftdiD2xx::openAndClose()
{
    fake->usb.push_back(FakeUsbDevice());
    uint32_t count = 0;
    QCOMPARE(backend->FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    fake->clearLog();

    FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(quintptr(1));
    QCOMPARE(backend->FT_Open(2, &handle), FT_STATUS(FT_DEVICE_NOT_FOUND));
    QCOMPARE(handle, nullptr);
    QCOMPARE(backend->FT_Open(-1, &handle), FT_STATUS(FT_DEVICE_NOT_FOUND));

    fake->failWith["usbOpenDev"] = -5;
    fake->openErrorText =
        "unable to claim usb device. Make sure the default FTDI driver is not in use";
    QCOMPARE(backend->FT_Open(1, &handle), FT_STATUS(FT_DEVICE_NOT_OPENED));
    QCOMPARE(handle, nullptr);
    QCOMPARE(fake->liveContexts(), 1); // the enumeration's only
    // libftdi's words, kept past the context's end, for the window to show.
    QCOMPARE(backend->openFailureReason(),
             std::string("unable to claim usb device. Make sure the default FTDI driver is not "
                         "in use"));
    fake->failWith.clear();

    QCOMPARE(backend->FT_Open(1, &handle), FT_STATUS(FT_OK));
    QVERIFY(handle != nullptr);
    QCOMPARE(backend->openFailureReason(), std::string());
    QCOMPARE(backend->FT_SetRts(handle), FT_STATUS(FT_OK));
    QCOMPARE(backend->FT_Close(handle), FT_STATUS(FT_OK));
    QCOMPARE(backend->FT_SetRts(handle), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(backend->FT_Close(handle), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(fake->log(), QByteArrayList({"usbOpenDev 1", "accessDenied 1", "freeContext",
                                          "usbOpenDev 1", "setRts 1", "usbClose", "freeContext"}));
    QCOMPARE(backend->openRefusal("VX420"), D2xxApi::OpenRefusal::NotKnown);
    QCOMPARE(fake->liveContexts(), 1);
}

void tst_LibftdiD2xx::everythingReleased()
{
    fake->usb.push_back(FakeUsbDevice());
    uint32_t count = 0;
    QCOMPARE(backend->FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(backend->FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(fake->deviceRefs(), 2); // the first list's references are gone
    FT_HANDLE handle = nullptr;
    QCOMPARE(backend->FT_Open(0, &handle), FT_STATUS(FT_OK));
    fake->inject("abc");
    QTRY_COMPARE(queued(*backend, handle), 3u);

    // The device stays open until the backend goes; then its reader stops
    // and the device is closed.
    fake->clearLog();
    backend.reset();
    QCOMPARE(fake->log(), QByteArrayList({"usbClose", "freeContext", "freeContext"}));
    QCOMPARE(fake->liveContexts(), 0);
    QCOMPARE(fake->deviceRefs(), 0);
}

void tst_LibftdiD2xx::baudRateOnTheWire_data()
{
    QTest::addColumn<QList<int>>("bitModes");

    QTest::newRow("serial mode") << QList<int>();
    QTest::newRow("CBUS bit-bang") << QList<int>{0x22, 0x32};
    QTest::newRow("bit-bang left again") << QList<int>{0x32, -1};
}

void tst_LibftdiD2xx::baudRateOnTheWire()
{
    QFETCH(QList<int>, bitModes);

    const FT_HANDLE handle = openFirst();
    QVERIFY(handle);
    for (int mask : bitModes) {
        const uint8_t mode = mask < 0 ? 0 : FT_BITMODE_CBUS_BITBANG;
        QCOMPARE(backend->FT_SetBitMode(handle, uint8_t(std::max(mask, 0)), mode),
                 FT_STATUS(FT_OK));
    }
    const unsigned char bitbang = fake->openContext()->bitbang_enabled;

    QCOMPARE(backend->FT_SetBaudRate(handle, 9600), FT_STATUS(FT_OK));
    QCOMPARE(fake->wireBaud(), 9600);
    QCOMPARE(fake->baudValue(), 0x4138);
    QCOMPARE(fake->openContext()->bitbang_enabled, bitbang); // libftdi's own state kept

    QCOMPARE(backend->FT_SetBaudRate(handle, 0), FT_STATUS(FT_INVALID_BAUD_RATE));
    QCOMPARE(fake->wireBaud(), 9600);
}

void tst_LibftdiD2xx::breakKeepsTheLineSettings()
{
    const FT_HANDLE handle = openFirst();
    QVERIFY(handle);

    QCOMPARE(backend->FT_SetBreakOn(handle), FT_STATUS(FT_OK)); // the chip's 8N1 after reset
    QCOMPARE(backend->FT_SetBreakOff(handle), FT_STATUS(FT_OK));
    QCOMPARE(backend->FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE),
             FT_STATUS(FT_OK));
    QCOMPARE(backend->FT_SetBreakOn(handle), FT_STATUS(FT_OK));
    QCOMPARE(backend->FT_SetDataCharacteristics(handle, 7, 0, 2), FT_STATUS(FT_OK));
    QCOMPARE(backend->FT_SetBreakOff(handle), FT_STATUS(FT_OK));
    fake->failWith["setLineProperty2"] = -1;
    QCOMPARE(backend->FT_SetBreakOn(handle), FT_STATUS(FT_IO_ERROR));
    fake->failWith.clear();
    QCOMPARE(backend->FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE),
             FT_STATUS(FT_OK));

    // libftdi enumerations: BITS_8 8, STOP_BIT_1 0, STOP_BIT_2 2, NONE 0, EVEN 2, BREAK_ON 1.
    QCOMPARE(fake->log(), QByteArrayList({
                              "setLineProperty2 8 0 0 1",
                              "setLineProperty2 8 0 0 0",
                              "setLineProperty 8 2 0",
                              "setLineProperty2 8 2 0 1",
                              "setLineProperty2 7 0 2 1", // the break stays on
                              "setLineProperty2 7 0 2 0",
                              "setLineProperty2 7 0 2 1", // failed: no break
                              "setLineProperty 8 2 0",
                          }));
}

void tst_LibftdiD2xx::invalidDataCharacteristics_data()
{
    QTest::addColumn<int>("wordLength");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<int>("parity");

    QTest::newRow("9 data bits") << 9 << 2 << 0;
    QTest::newRow("1.5 stop bits") << 8 << 1 << 0;
    QTest::newRow("parity 5") << 8 << 2 << 5;
}

void tst_LibftdiD2xx::invalidDataCharacteristics()
{
    QFETCH(int, wordLength);
    QFETCH(int, stopBits);
    QFETCH(int, parity);

    const FT_HANDLE handle = openFirst();
    QVERIFY(handle);
    QCOMPARE(backend->FT_SetDataCharacteristics(handle, uint8_t(wordLength), uint8_t(stopBits),
                                                uint8_t(parity)),
             FT_STATUS(FT_INVALID_PARAMETER));
    QCOMPARE(fake->log(), QByteArrayList());
}

void tst_LibftdiD2xx::callMapping_data()
{
    QTest::addColumn<LibraryCall>("call");
    QTest::addColumn<FT_STATUS>("status");
    QTest::addColumn<QByteArrayList>("lines");

    QTest::newRow("FT_SetChars") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_SetChars(h, 0x00, 1, 0xFF, 0);
    }) << FT_STATUS(FT_OK) << QByteArrayList{"setEventChar 0 1", "setErrorChar 255 0"};
    QTest::newRow("no flow control") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_SetFlowControl(h, FT_FLOW_NONE, 0x11, 0x13);
    }) << FT_STATUS(FT_OK) << QByteArrayList{"setFlowCtrl 0"};
    QTest::newRow("RTS/CTS") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_SetFlowControl(h, 0x0100, 0x11, 0x13);
    }) << FT_STATUS(FT_OK) << QByteArrayList{"setFlowCtrl " + QByteArray::number(SIO_RTS_CTS_HS)};
    QTest::newRow("XON/XOFF") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_SetFlowControl(h, 0x0400, 0x11, 0x13);
    }) << FT_STATUS(FT_OK) << QByteArrayList{"setFlowCtrlXonXoff 17 19"};
    QTest::newRow("unknown flow control") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_SetFlowControl(h, 0x0800, 0x11, 0x13);
    }) << FT_STATUS(FT_INVALID_PARAMETER) << QByteArrayList();
    QTest::newRow("FT_SetRts") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_SetRts(h);
    }) << FT_STATUS(FT_OK) << QByteArrayList{"setRts 1"};
    QTest::newRow("FT_ClrRts") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_ClrRts(h);
    }) << FT_STATUS(FT_OK) << QByteArrayList{"setRts 0"};
    QTest::newRow("FT_SetBitMode CBUS") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_SetBitMode(h, 0x32, FT_BITMODE_CBUS_BITBANG);
    }) << FT_STATUS(FT_OK) << QByteArrayList{"setBitmode 50 32"};
    QTest::newRow("purge receive side")
        << LibraryCall([](D2xxApi &api, FT_HANDLE h) { return api.FT_Purge(h, FT_PURGE_RX); })
        << FT_STATUS(FT_OK) << QByteArrayList{"tciflush"};
    QTest::newRow("purge transmit side")
        << LibraryCall([](D2xxApi &api, FT_HANDLE h) { return api.FT_Purge(h, FT_PURGE_TX); })
        << FT_STATUS(FT_OK) << QByteArrayList{"tcoflush"};
    QTest::newRow("purge unknown side")
        << LibraryCall([](D2xxApi &api, FT_HANDLE h) { return api.FT_Purge(h, 4); })
        << FT_STATUS(FT_INVALID_PARAMETER) << QByteArrayList();
    QTest::newRow("FT_SetTimeouts, no library call")
        << LibraryCall([](D2xxApi &api, FT_HANDLE h) { return api.FT_SetTimeouts(h, 20, 20); })
        << FT_STATUS(FT_OK) << QByteArrayList();
    QTest::newRow("unknown handle") << LibraryCall(
        [](D2xxApi &api, FT_HANDLE h) { return api.FT_SetRts(static_cast<char *>(h) + 1); })
                                    << FT_STATUS(FT_INVALID_HANDLE) << QByteArrayList();
}

void tst_LibftdiD2xx::callMapping()
{
    QFETCH(LibraryCall, call);
    QFETCH(FT_STATUS, status);
    QFETCH(QByteArrayList, lines);

    const FT_HANDLE handle = openFirst();
    QVERIFY(handle);
    QCOMPARE(call(*backend, handle), status);
    QCOMPARE(fake->log(), lines);
}

void tst_LibftdiD2xx::libraryFailures_data()
{
    QTest::addColumn<QByteArray>("failing");
    QTest::addColumn<int>("code");
    QTest::addColumn<LibraryCall>("call");
    QTest::addColumn<FT_STATUS>("status");

    const LibraryCall setBaud = [](D2xxApi &api, FT_HANDLE h) {
        return api.FT_SetBaudRate(h, 9600);
    };
    QTest::newRow("baud rate refused")
        << QByteArray("setBaudrate") << -1 << setBaud << FT_STATUS(FT_INVALID_BAUD_RATE);
    QTest::newRow("baud rate transfer failed")
        << QByteArray("setBaudrate") << -2 << setBaud << FT_STATUS(FT_IO_ERROR);
    QTest::newRow("RTS") << QByteArray("setRts") << -1
                         << LibraryCall([](D2xxApi &api, FT_HANDLE h) { return api.FT_SetRts(h); })
                         << FT_STATUS(FT_IO_ERROR);
    QTest::newRow("error character")
        << QByteArray("setErrorChar") << -1
        << LibraryCall([](D2xxApi &api, FT_HANDLE h) { return api.FT_SetChars(h, 0, 1, 0, 0); })
        << FT_STATUS(FT_IO_ERROR);
    QTest::newRow("bit mode") << QByteArray("setBitmode") << -1
                              << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
                                     return api.FT_SetBitMode(h, 0x22, FT_BITMODE_CBUS_BITBANG);
                                 })
                              << FT_STATUS(FT_IO_ERROR);
    QTest::newRow("receive purge")
        << QByteArray("tciflush") << -1
        << LibraryCall([](D2xxApi &api, FT_HANDLE h) { return api.FT_Purge(h, FT_PURGE_RX); })
        << FT_STATUS(FT_IO_ERROR);
    QTest::newRow("write, device gone")
        << QByteArray("writeData") << -666 << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
               char bytes[2] = {1, 2};
               uint32_t written = 9;
               const FT_STATUS s = api.FT_Write(h, bytes, 2, &written);
               return written == 0 ? s : FT_STATUS(FT_OK);
           })
        << FT_STATUS(FT_IO_ERROR);
}

void tst_LibftdiD2xx::libraryFailures()
{
    QFETCH(QByteArray, failing);
    QFETCH(int, code);
    QFETCH(LibraryCall, call);
    QFETCH(FT_STATUS, status);

    const FT_HANDLE handle = openFirst();
    QVERIFY(handle);
    fake->failWith[failing] = code;
    QCOMPARE(call(*backend, handle), status);
}

void tst_LibftdiD2xx::writeBoundedByTheWriteTimeout()
{
    const FT_HANDLE handle = openFirst();
    QVERIFY(handle);
    QCOMPARE(backend->FT_SetTimeouts(handle, 20, 35), FT_STATUS(FT_OK));
    char bytes[] = {0x55, 0x01, 0x00};
    uint32_t written = 0;
    QCOMPARE(backend->FT_Write(handle, bytes, 3, &written), FT_STATUS(FT_OK));
    QCOMPARE(written, 3u);
    QCOMPARE(fake->written(), QByteArray::fromHex("550100"));
    QCOMPARE(fake->log(), QByteArrayList{"writeData 3 35"});
    QCOMPARE(fake->openContext()->usb_write_timeout, 5000); // libftdi's own again
}

void tst_LibftdiD2xx::statusCountsWhatArrived()
{
    const FT_HANDLE handle = openFirst();
    QVERIFY(handle);
    QCOMPARE(queued(*backend, handle), 0u);
    fake->inject("abc");
    fake->inject("defg");
    QTRY_COMPARE(queued(*backend, handle), 7u);

    FT_STATUS status = FT_OTHER_ERROR;
    QCOMPARE(readBytes(*backend, handle, 5, &status), QByteArray("abcde"));
    QCOMPARE(status, FT_STATUS(FT_OK));
    QCOMPARE(queued(*backend, handle), 2u);
    QCOMPARE(readBytes(*backend, handle, 2), QByteArray("fg"));
    QCOMPARE(queued(*backend, handle), 0u);
}

void tst_LibftdiD2xx::readWaitsUpToTheReadTimeout()
{
    const FT_HANDLE handle = openFirst();
    QVERIFY(handle);
    QCOMPARE(backend->FT_SetTimeouts(handle, 60, 20), FT_STATUS(FT_OK));
    fake->inject("xy");
    QTRY_COMPARE(queued(*backend, handle), 2u);

    QElapsedTimer clock;
    clock.start();
    FT_STATUS status = FT_OTHER_ERROR;
    QCOMPARE(readBytes(*backend, handle, 5, &status), QByteArray("xy"));
    QCOMPARE(status, FT_STATUS(FT_OK));
    QVERIFY2(clock.elapsed() >= 55, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
}

void tst_LibftdiD2xx::readEndsWhenTheBytesArrive()
{
    const FT_HANDLE handle = openFirst();
    QVERIFY(handle);
    QCOMPARE(backend->FT_SetTimeouts(handle, 5000, 20), FT_STATUS(FT_OK));
    fake->inject("ab");
    QTRY_COMPARE(queued(*backend, handle), 2u);

    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        fake->inject("cd");
    });
    QElapsedTimer clock;
    clock.start();
    const QByteArray got = readBytes(*backend, handle, 4);
    const qint64 elapsed = clock.elapsed();
    later.join();
    QCOMPARE(got, QByteArray("abcd"));
    QVERIFY2(elapsed < 2000, qPrintable(QString::number(elapsed)));
}

void tst_LibftdiD2xx::purgeEmptiesTheReceiveBuffer()
{
    const FT_HANDLE handle = openFirst();
    QVERIFY(handle);
    fake->inject("old");
    QTRY_COMPARE(queued(*backend, handle), 3u);

    QCOMPARE(backend->FT_Purge(handle, FT_PURGE_RX), FT_STATUS(FT_OK));
    QCOMPARE(queued(*backend, handle), 0u);
    QCOMPARE(fake->log(), QByteArrayList{"tciflush"});

    fake->inject("new");
    QTRY_COMPARE(queued(*backend, handle), 3u);
    QCOMPARE(readBytes(*backend, handle, 3), QByteArray("new"));
}

void tst_LibftdiD2xx::receiveBufferIsBounded()
{
    const FT_HANDLE handle = openFirst();
    QVERIFY(handle);
    QByteArray sent;
    for (int i = 0; i < 200; ++i) {
        const QByteArray transfer(1000, char(i));
        fake->inject(transfer);
        sent += transfer;
    }
    // The reader stops while the buffer is full; the rest waits in the chip.
    QTRY_VERIFY(queued(*backend, handle) > LibftdiD2xx::receiveCapacity - LibftdiD2xx::readChunk);
    QTest::qWait(50);
    QVERIFY(queued(*backend, handle) <= LibftdiD2xx::receiveCapacity);

    QCOMPARE(backend->FT_SetTimeouts(handle, 200, 20), FT_STATUS(FT_OK));
    QByteArray received;
    while (received.size() < sent.size()) {
        const QByteArray got = readBytes(*backend, handle, 10000);
        if (got.isEmpty())
            break;
        received += got;
        QVERIFY(queued(*backend, handle) <= LibftdiD2xx::receiveCapacity);
    }
    QCOMPARE(received.size(), sent.size());
    QVERIFY(received == sent);
}

void tst_LibftdiD2xx::vanishedDeviceFailsStatus_data()
{
    QTest::addColumn<int>("code");

    QTest::newRow("libusb: no device") << int(LIBUSB_ERROR_NO_DEVICE);
    QTest::newRow("libftdi: device unavailable") << -666;
}

void tst_LibftdiD2xx::vanishedDeviceFailsStatus()
{
    QFETCH(int, code);

    const FT_HANDLE handle = openFirst();
    QVERIFY(handle);
    QCOMPARE(backend->FT_SetTimeouts(handle, 0, 20), FT_STATUS(FT_OK)); // reads wait without limit
    fake->inject("ab");
    QTRY_COMPARE(queued(*backend, handle), 2u);
    fake->injectReadResult(code);

    QTRY_COMPARE(statusOf(*backend, handle), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(queued(*backend, handle), 0u);
    // A read that cannot be satisfied any more returns at once.
    QElapsedTimer clock;
    clock.start();
    FT_STATUS status = FT_OTHER_ERROR;
    QCOMPARE(readBytes(*backend, handle, 10, &status), QByteArray("ab"));
    QCOMPARE(status, FT_STATUS(FT_OK));
    QCOMPARE(readBytes(*backend, handle, 10, &status), QByteArray());
    QCOMPARE(status, FT_STATUS(FT_IO_ERROR));
    QVERIFY(clock.elapsed() < 1000);
}

// Reads that time out are no fault; a stall, a babble or an I/O error on a
// noisy cable is one while it does not repeat; a stall clears the endpoint.
void tst_LibftdiD2xx::transientReadErrorsPass_data()
{
    QTest::addColumn<QList<int>>("results");
    QTest::addColumn<bool>("fails");
    QTest::addColumn<int>("haltsCleared");

    const int n = LibftdiD2xx::transientFailures;
    QTest::newRow("timed out, interrupted")
        << QList<int>{LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_INTERRUPTED} << false << 0;
    QTest::newRow("one stall") << QList<int>{LIBUSB_ERROR_PIPE} << false << 1;
    QTest::newRow("one babble, one I/O error")
        << QList<int>{LIBUSB_ERROR_OVERFLOW, LIBUSB_ERROR_IO} << false << 0;
    QTest::newRow("stalls, each after a good read")
        << QList<int>{LIBUSB_ERROR_PIPE, 0, LIBUSB_ERROR_PIPE, 0,
                      LIBUSB_ERROR_PIPE, 0, LIBUSB_ERROR_PIPE}
        << false << 4;
    QTest::newRow("stalls until the device counts as gone")
        << QVector<int>(n + 1, int(LIBUSB_ERROR_PIPE)).toList() << true << n;
}

void tst_LibftdiD2xx::transientReadErrorsPass()
{
    QFETCH(QList<int>, results);
    QFETCH(bool, fails);
    QFETCH(int, haltsCleared);

    const FT_HANDLE handle = openFirst();
    QVERIFY(handle);
    for (int result : results)
        fake->injectReadResult(result);
    fake->inject("ok");
    if (fails) {
        QTRY_COMPARE(statusOf(*backend, handle), FT_STATUS(FT_IO_ERROR));
    } else {
        QTRY_COMPARE(queued(*backend, handle), 2u);
        QCOMPARE(statusOf(*backend, handle), FT_STATUS(FT_OK));
    }
    QCOMPARE(fake->log().count("clearInHalt"), haltsCleared);
}

// A write that fails on a passing fault is made again; a gone device's
// write is not.
void tst_LibftdiD2xx::transientWriteErrorsRetried()
{
    const FT_HANDLE handle = openFirst();
    QVERIFY(handle);
    QCOMPARE(backend->FT_SetTimeouts(handle, 20, 35), FT_STATUS(FT_OK));
    fake->failWriteTimes(1, LIBUSB_ERROR_PIPE);
    char bytes[] = {0x55, 0x01};
    uint32_t written = 0;
    QCOMPARE(backend->FT_Write(handle, bytes, 2, &written), FT_STATUS(FT_OK));
    QCOMPARE(written, 2u);
    QCOMPARE(fake->log().count("writeData 2 35"), 2);

    fake->clearLog();
    fake->failWriteTimes(5, LIBUSB_ERROR_NO_DEVICE);
    QCOMPARE(backend->FT_Write(handle, bytes, 2, &written), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(fake->log().count("writeData 2 35"), 1);
}

// Listing and opening a chip as it is on a Linux bench.
void tst_LibftdiD2xx::whatALinuxBenchShows()
{
    FakeUsbDevice noSerial;
    noSerial.noSerialString = true;
    fake->usb.push_back(noSerial);
    FakeUsbDevice locked;
    locked.stringsFail = true;
    locked.accessDenied = true;
    fake->usb.push_back(locked);

    uint32_t count = 0;
    QCOMPARE(backend->FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    std::vector<FT_DEVICE_LIST_INFO_NODE> records(count);
    QCOMPARE(backend->FT_GetDeviceInfoList(records.data(), &count), FT_STATUS(FT_OK));
    QCOMPARE(count, 3u); // behind the fixture's own device
    // An EEPROM without a serial number string keeps its description.
    QCOMPARE(QByteArray(records[1].Description), QByteArray("VX420 Controller"));
    QCOMPARE(QByteArray(records[1].SerialNumber), QByteArray());
    QCOMPARE(QByteArray(records[2].Description), QByteArray());

    fake->failWith["usbOpenDev"] = -4;
    FT_HANDLE handle = nullptr;
    QCOMPARE(backend->FT_Open(2, &handle), FT_STATUS(FT_DEVICE_NOT_OPENED));
    QCOMPARE(backend->openRefusal("VX420"), D2xxApi::OpenRefusal::NoPermission);
    QCOMPARE(backend->FT_Open(1, &handle), FT_STATUS(FT_DEVICE_NOT_OPENED));
    QCOMPARE(backend->openRefusal("VX420"), D2xxApi::OpenRefusal::NotKnown);
}

void tst_LibftdiD2xx::lineDisciplineOverLibftdi()
{
    fake->echo = true;
    fake->replyAfterWrite = QByteArray::fromHex("0701");
    auto shared = std::shared_ptr<LibftdiD2xx>(std::move(backend));
    ftd2xxRaw raw(shared);

    QVERIFY(raw.getDeviceList());
    QCOMPARE(raw.listedDescription(0), QByteArray("VX420 Controller"));
    QVERIFY(raw.openDevice(0));
    QVERIFY(raw.configureLine());
    // Set up in CBUS bit-bang mode, the line still runs at 9600 baud.
    QCOMPARE(fake->openContext()->bitbang_enabled, 1);
    QCOMPARE(fake->wireBaud(), 9600);
    QCOMPARE(fake->baudValue(), 0x4138);
    raw.selectLineCards();
    QCOMPARE(raw.rxQueueCount(), 0);

    QByteArray tx = QByteArray::fromHex("0102030405060708090a");
    QVERIFY(raw.write(tx));
    QCOMPARE(fake->written(), QByteArray::fromHex("550102030405060708090a"));
    // The break's 0x00 and the echo are gone; the reply stays.
    QTRY_COMPARE(raw.rxQueueCount(), 2);
    QByteArray rx;
    QVERIFY(raw.read(rx));
    QCOMPARE(rx, QByteArray::fromHex("0701"));
}

void tst_LibftdiD2xx::linkedLibraryListsConsistently()
{
    // Whatever this machine has attached, the linked libftdi1 lists it
    // without fault, and both calls agree.
    LibftdiD2xx linked;
    uint32_t counted = 0;
    const FT_STATUS status = linked.FT_CreateDeviceInfoList(&counted);
    QVERIFY(status == FT_OK || status == FT_OTHER_ERROR || status == FT_IO_ERROR);
    std::vector<FT_DEVICE_LIST_INFO_NODE> records(counted);
    uint32_t listed = 0;
    QCOMPARE(linked.FT_GetDeviceInfoList(records.data(), &listed), FT_STATUS(FT_OK));
    QCOMPARE(listed, counted);
    for (const FT_DEVICE_LIST_INFO_NODE &node : records)
        QCOMPARE(node.ID >> 16, 0x0403u);
}

QTEST_GUILESS_MAIN(tst_LibftdiD2xx)
#include "tst_libftdid2xx.moc"
