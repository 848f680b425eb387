#include "UsbChipTesting.h"
#include "tests/support/UpdaterWindowUnderTest.h"

#include "app/LineCardUpdaterWindow.h"
#include "bootloader/FirmwareImage.h"
#include "controller/VX420Controller.h"
#include "emulated/AutoUpdateRunner.h"
#include "emulator/EmulatedFt232r.h"
#include "usb/VendorD2xx.h"
#include "usb/ftd2xxRaw.h"

#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSet>
#include <QtTest>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <climits>
#include <memory>

namespace {

const QString library = QStringLiteral(FTD2XX_LIBRARY);
const QString imagePath = QStringLiteral(":/firmware/LQ770_KRONE_LSAPLUS_S2_10PAIR.txt");
const QString linkLost =
    QStringLiteral("ERROR: USB link lost - check the cable and click Connect to controller");
constexpr int installTimeoutMs = 120000;

using Chip = EmulatedFt232r;

// The threads of this process by their IDs: the library runs three of its
// own for each open device. Other threads (umockdev's, the sanitizers') come
// and go, so tests compare the threads a step started, not their number.
QSet<QString> threads()
{
    const QStringList ids =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return QSet<QString>(ids.begin(), ids.end());
}

} // namespace

// The vendor-library backend through the chip maker's own D2XX library (the
// x86-64 Linux build, with its own libusb inside), against an emulated
// FT232R at the USB boundary (umockdev), with the emulated controller and
// its card behind the chip. The library keeps one USB context for the
// process, so every test uses the same library, and each its own chip.
class tst_VendorUsb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void exportsOnlyItsOwnFunctions();
    void listedAndOpened_data();
    void listedAndOpened();
    void requestsOfOpenAndConfiguration();
    void lineSettingsDecideWhatTheControllerHears_data();
    void lineSettingsDecideWhatTheControllerHears();
    void purgeOfReceivedBytes_data();
    void purgeOfReceivedBytes();
    void installThroughTheVendorLibrary();
    void cablePulledAndPluggedBackIn();
    void libraryThreadsEndWithTheWindow();
    void chipThatDoesNotOpen_data();
    void chipThatDoesNotOpen();
    void failingCableEndsInAStatedError_data();
    void failingCableEndsInAStatedError();

private:
    void newChip(const Chip::Options &options);
    void setUpWindow();
    void connectController();
    QStringList summary() const { return ui->summary(); }

    std::unique_ptr<Chip> chip;
    std::shared_ptr<VendorD2xx> api;
    std::unique_ptr<UpdaterWindowUnderTest> ui;
};

void tst_VendorUsb::initTestCase()
{
    Q_INIT_RESOURCE(firmware);
    if (!Chip::available())
        QSKIP("needs umockdev-wrapper");
    if (!QFileInfo::exists(library))
        QSKIP(qPrintable(
            "the chip maker's library is not in the build tree (" + library
            + "): tools/fetch_ftd2xx.sh, which CTest runs as ftd2xx_fetch, fetches it with npm "
              "where the npm registry is reachable"));
}

void tst_VendorUsb::init()
{
    // The user has released the chip from ftdi_sio, as the README says.
    Chip::Options options;
    options.kernelDriver.clear();
    newChip(options);
    api = std::make_shared<VendorD2xx>(QStringList{library});
    QVERIFY2(api->isLoaded(), qPrintable(api->loadError()));
    // The library's threads for the whole process start with its first
    // listing; the threads counted below are those of a device.
    uint32_t n = 0;
    QCOMPARE(api->FT_CreateDeviceInfoList(&n), FT_STATUS(FT_OK));
}

void tst_VendorUsb::cleanup()
{
    ui.reset();
    api.reset();
    chip.reset();
}

void tst_VendorUsb::newChip(const Chip::Options &options)
{
    chip.reset(); // one testbed at a time
    chip = std::make_unique<Chip>(options);
    chip->addCard();
}

void tst_VendorUsb::setUpWindow()
{
    ui = std::make_unique<UpdaterWindowUnderTest>(api);
    QVERIFY(ui->complete());
}

void tst_VendorUsb::connectController()
{
    QTest::mouseClick(ui->connectButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(ui->updateButton->isEnabled(), 10000);
}

// Its own libusb stays inside: exported, its libusb_* functions could take
// the place of the machine's libusb that libftdi1 loads into the process.
void tst_VendorUsb::exportsOnlyItsOwnFunctions()
{
    QLibrary direct(library);
    QVERIFY(direct.resolve("FT_Open"));
    QVERIFY(direct.resolve("FT_GetLibraryVersion"));
    QVERIFY(!direct.resolve("libusb_init"));
    QVERIFY(!direct.resolve("libusb_open"));

    // The build the package names: 1.4.24.
    auto version =
        reinterpret_cast<FT_STATUS (*)(uint32_t *)>(direct.resolve("FT_GetLibraryVersion"));
    uint32_t number = 0;
    QCOMPARE(version(&number), FT_STATUS(FT_OK));
    QCOMPARE(number, 0x00010424u);
}

void tst_VendorUsb::listedAndOpened_data()
{
    QTest::addColumn<QByteArray>("serial");
    QTest::newRow("serial number VX4200001") << QByteArray("VX4200001");
    QTest::newRow("EEPROM without a serial number") << QByteArray();
}

void tst_VendorUsb::listedAndOpened()
{
    QFETCH(QByteArray, serial);
    Chip::Options options;
    options.kernelDriver.clear();
    options.serialNumber = serial;
    newChip(options);

    uint32_t n = 0;
    QCOMPARE(api->FT_CreateDeviceInfoList(&n), FT_STATUS(FT_OK));
    QCOMPARE(n, 1u);
    FT_DEVICE_LIST_INFO_NODE node{};
    QCOMPARE(api->FT_GetDeviceInfoList(&node, &n), FT_STATUS(FT_OK));
    QCOMPARE(node.Flags, 0u);
    QCOMPARE(node.Type, 5u); // FT_DEVICE_232R
    QCOMPARE(node.ID, 0x04036001u);
    QCOMPARE(QByteArray(node.Description), QByteArray("VX420"));
    QCOMPARE(QByteArray(node.SerialNumber), serial);

    FT_HANDLE handle = nullptr;
    QCOMPARE(api->FT_Open(0, &handle), FT_STATUS(FT_OK));
    QVERIFY(handle);
    // Listed again while open: marked opened, with the handle, and not
    // opened a second time (the kernel would refuse that claim).
    QCOMPARE(api->FT_CreateDeviceInfoList(&n), FT_STATUS(FT_OK));
    QCOMPARE(api->FT_GetDeviceInfoList(&node, &n), FT_STATUS(FT_OK));
    QCOMPARE(node.Flags & 1u, 1u);
    QCOMPARE(node.ftHandle, handle);
    QCOMPARE(QByteArray(node.Description), QByteArray("VX420"));
    QCOMPARE(api->FT_Close(handle), FT_STATUS(FT_OK));
}

// What the chip hears when the tool opens and configures it through the
// library: the library's own reset and purges, then the tool's settings.
void tst_VendorUsb::requestsOfOpenAndConfiguration()
{
    const int before = chip->controlRequests().size();
    ftd2xxRaw raw(api);
    QVERIFY(raw.getDeviceList());
    QVERIFY(raw.openDevice(0));
    QVERIFY(raw.configureLine());
    raw.selectLineCards();
    QCOMPARE(raw.status(), FT_STATUS(FT_OK));

    QList<QByteArray> seen;
    for (const Chip::ControlRequest &r : chip->controlRequests().mid(before))
        seen.append(QByteArray::number(r.requestType, 16) + ' ' + QByteArray::number(r.request, 16)
                    + ' ' + QByteArray::number(r.value, 16) + ' '
                    + QByteArray::number(r.index, 16));
    const QList<QByteArray> expected = {
        // The listing opens the chip to read its strings, with what FT_Open
        // sends then:
        "40 0 0 0", "40 0 1 0", "40 0 1 0", "40 0 1 0", "40 0 1 0", "40 0 1 0", "40 0 1 0",
        "40 0 2 0", "c0 5 0 0", "c0 a 0 0",
        // FT_Open: reset, the receive purge six times, the transmit purge,
        // the modem status and the latency timer read.
        "40 0 0 0", "40 0 1 0", "40 0 1 0", "40 0 1 0", "40 0 1 0", "40 0 1 0", "40 0 1 0",
        "40 0 2 0", "c0 5 0 0", "c0 a 0 0",
        // Resting pins: CBUS bit-bang with masks 0x22, 0x32.
        "40 b 2022 0", "40 b 2032 0",
        // 9600 baud as divisor 0x4138 with index 0; 8N2; event character 0x00
        // on, error character 0xFF off; no flow control; RTS pulse; then the
        // characters again with error character 0x00.
        "40 3 4138 0", "40 4 1008 0", "40 6 100 0", "40 7 ff 0", "40 2 0 0", "40 1 202 0",
        "40 1 200 0", "40 6 100 0", "40 7 0 0",
        // The line-card path, by way of CBUS1 high, and the RTS pulse.
        "40 b 2022 0", "40 b 2010 0", "40 b 2030 0", "40 1 202 0", "40 1 200 0"};
    QCOMPARE(seen, expected);
    QVERIFY(chip->lineState().lineCardPath);
    QCOMPARE(chip->lineState().baudRate, 9600u);
}

// The host's transmission with one thing wrong: the controller does not
// listen, so the card's LED stays as it was.
void tst_VendorUsb::lineSettingsDecideWhatTheControllerHears_data()
{
    UsbChipTesting::addLineSettingRows();
}

void tst_VendorUsb::lineSettingsDecideWhatTheControllerHears()
{
    QFETCH(QString, wrong);
    QFETCH(int, led);
    UsbChipTesting::sendLedRed(*api, wrong);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(chip->card(0)->ledState(), led);
}

// Bytes the chip holds (its latency timer set long, no event character
// among them) and a purge: the library names the buffers otherwise than
// libftdi1 1.5 does, and the chip model drops received bytes on reset value
// 2 alone. Purging both, as the tool does, drops them either way.
void tst_VendorUsb::purgeOfReceivedBytes_data()
{
    QTest::addColumn<uint32_t>("mask");
    QTest::addColumn<int>("left");
    QTest::newRow("FT_PURGE_RX alone (value 1): the bytes stay in the chip")
        << uint32_t(FT_PURGE_RX) << 10;
    QTest::newRow("FT_PURGE_TX alone (value 2) drops them") << uint32_t(FT_PURGE_TX) << 0;
    QTest::newRow("both, as the tool purges, drop them")
        << uint32_t(FT_PURGE_RX | FT_PURGE_TX) << 0;
}

void tst_VendorUsb::purgeOfReceivedBytes()
{
    QFETCH(uint32_t, mask);
    QFETCH(int, left);

    QLibrary direct(library);
    auto setLatency = reinterpret_cast<FT_STATUS (*)(FT_HANDLE, unsigned char)>(
        direct.resolve("FT_SetLatencyTimer"));
    QVERIFY(setLatency);
    uint32_t n = 0;
    QCOMPARE(api->FT_CreateDeviceInfoList(&n), FT_STATUS(FT_OK));
    FT_HANDLE h = nullptr;
    QCOMPARE(api->FT_Open(0, &h), FT_STATUS(FT_OK));
    QCOMPARE(api->FT_SetBaudRate(h, 9600), FT_STATUS(FT_OK));
    QCOMPARE(setLatency(h, 255), FT_STATUS(FT_OK));

    // Their echo lands in the chip within 12 ms and would leave it after 255.
    QByteArray bytes = QByteArray::fromHex("0102030405060708090A");
    uint32_t written = 0;
    QCOMPARE(api->FT_Write(h, bytes.data(), uint32_t(bytes.size()), &written), FT_STATUS(FT_OK));
    QTest::qWait(40);
    QCOMPARE(api->FT_Purge(h, mask), FT_STATUS(FT_OK));
    uint32_t rx = 0, tx = 0, event = 0;
    QTRY_VERIFY_WITH_TIMEOUT((api->FT_GetStatus(h, &rx, &tx, &event), int(rx) == left), 1000);
    QTest::qWait(300);
    QCOMPARE(api->FT_GetStatus(h, &rx, &tx, &event), FT_STATUS(FT_OK));
    QCOMPARE(int(rx), left);
    QCOMPARE(api->FT_Close(h), FT_STATUS(FT_OK));
}

// The whole update through the chip maker's library, and what the chip was
// told, judged as the libftdi1 backend's is.
void tst_VendorUsb::installThroughTheVendorLibrary()
{
    setUpWindow();
    connectController();
    UsbChipTesting::checkConnectedLine(chip->lineState());
    if (QTest::currentTestFailed())
        return;

    const int requestsAtConnect = chip->controlRequests().size();
    const QByteArray segment = chip->card(0)->bootloader().infoSegment();
    QTest::mouseClick(ui->updateButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(AutoUpdateRunner::outcomeOf(summary()) >= 0, installTimeoutMs);
    UsbChipTesting::checkInstalled(*chip, summary(), segment, requestsAtConnect, imagePath);
}

// The library reports the vanished device as an I/O error; the tool closes
// the dead handle, so the library's threads for it end, and connects anew.
void tst_VendorUsb::cablePulledAndPluggedBackIn()
{
    setUpWindow();
    const QSet<QString> idle = threads();
    connectController();
    const QSet<QString> started = threads() - idle;
    QVERIFY(started.size() >= 3);
    chip->pullCable();
    QTRY_COMPARE_WITH_TIMEOUT(summary().last(), linkLost, 5000);
    QTRY_VERIFY((threads() & started).isEmpty());
    QVERIFY(ui->connectButton->isEnabled());
    QVERIFY(!ui->updateButton->isEnabled());

    // umockdev's hot-plug events never reach the libusb inside the library
    // (it takes only the kernel's), so it keeps its entry of the old device;
    // at the old address that entry leads to the new one, as the fresh
    // entry would after a real kernel's events.
    chip->plugBackIn(false);
    connectController();
    QVERIFY(chip->lineState().lineCardPath);
    ui->window->controllerManager()->onReqCmdLedGreen();
    QTRY_COMPARE(chip->card(0)->ledState(), 0x22);
}

void tst_VendorUsb::libraryThreadsEndWithTheWindow()
{
    const QSet<QString> before = threads();
    setUpWindow();
    connectController();
    const QSet<QString> started = threads() - before;
    QVERIFY(started.size() >= 4); // the I/O thread and the library's three
    ui.reset();
    QTRY_VERIFY((threads() & started).isEmpty());
}

// A chip is there and the library cannot open it; it lists it without
// type, ID or strings, and the tool asks the kernel why, of the chips whose
// product string (in sysfs) is the controller's.
void tst_VendorUsb::chipThatDoesNotOpen_data()
{
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QString>("text");
    QTest::newRow("held by ftdi_sio, which the library never detaches")
        << "ftdi_sio"
        << "ERROR: the kernel's serial driver holds the controller's USB chip - unload it with "
           "\"sudo rmmod ftdi_sio\" and click Connect again";
    QTest::newRow("node the user may not open")
        << "permission"
        << "ERROR: no permission to open the controller's USB chip - unplug the controller, "
           "plug it in again and click Connect again";
    QTest::newRow("claimed by another program")
        << "program"
        << "ERROR: another program has the controller's USB chip open - close it and click "
           "Connect again";
    QTest::newRow("no controller, another FTDI chip held by ftdi_sio")
        << "other chip"
        << "ERROR: controller not found - check the USB cable and click Connect again";
}

void tst_VendorUsb::chipThatDoesNotOpen()
{
    QFETCH(QString, cause);
    QFETCH(QString, text);

    if (cause == "ftdi_sio") {
        newChip(Chip::Options());
    } else if (cause == "other chip") {
        Chip::Options options;
        options.product = "FT232R USB UART";
        newChip(options);
    } else if (cause == "permission")
        chip->setNodeMode(0);
    int other = -1;
    if (cause == "program") {
        // Another program's usbfs claim of the chip's interface.
        other = ::open(chip->deviceNode().toUtf8().constData(), O_RDWR | O_CLOEXEC);
        QVERIFY(other >= 0);
        unsigned int interface = 0;
        QCOMPARE(::ioctl(other, USBDEVFS_CLAIMINTERFACE, &interface), 0);
    }

    setUpWindow();
    {
        const UsbChipTesting::WithoutFileOverride asAUser;
        uint32_t n = 0;
        QCOMPARE(api->FT_CreateDeviceInfoList(&n), FT_STATUS(FT_OK));
        QCOMPARE(n, 1u);
        FT_DEVICE_LIST_INFO_NODE node{};
        QCOMPARE(api->FT_GetDeviceInfoList(&node, &n), FT_STATUS(FT_OK));
        QCOMPARE(node.Type, 3u); // FT_DEVICE_UNKNOWN
        QCOMPARE(node.ID, 0u);
        QCOMPARE(QByteArray(node.Description), QByteArray());

        QTest::mouseClick(ui->connectButton, Qt::LeftButton);
        QTRY_VERIFY(ui->connectButton->isEnabled());
    }
    if (other >= 0)
        ::close(other);
    QCOMPARE(summary().value(0), text); // a hint of what to do may follow
    QVERIFY(!ui->updateButton->isEnabled());
}

// The library swallows stalls and babbles on the bulk-in endpoint, so a
// cable that keeps failing never shows as a lost link; the reply time-out
// bounds the wait: a query asked twice, 2 s each.
void tst_VendorUsb::failingCableEndsInAStatedError_data()
{
    QTest::addColumn<int>("error");
    QTest::newRow("babbles (-EOVERFLOW)") << -EOVERFLOW;
    QTest::newRow("stalls (-EPIPE)") << -EPIPE;
}

void tst_VendorUsb::failingCableEndsInAStatedError()
{
    QFETCH(int, error);
    setUpWindow();
    connectController();
    chip->failNextReads(INT_MAX, error);
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(ui->updateButton, Qt::LeftButton);
    // Nothing answers from the click on, which the window cannot tell from a
    // controller with no card in it.
    QTRY_COMPARE_WITH_TIMEOUT(summary().last(),
                              QString("ERROR: no line card answered - plug in one line card and "
                                      "click Update card again"),
                              15000);
    QVERIFY2(clock.elapsed() < 2 * VX420Controller::replyTimeoutMs + 2000,
             qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!summary().contains(linkLost));
    QVERIFY(ui->updateButton->isEnabled());
    chip->failNextReads(0, 0);
}

QTEST_MAIN(tst_VendorUsb)
#include "tst_vendorusb.moc"
