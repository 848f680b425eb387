#include "UsbChipTesting.h"
#include "tests/support/UpdaterWindowUnderTest.h"

#include "app/LineCardUpdaterWindow.h"
#include "bootloader/FirmwareImage.h"
#include "controller/VX420Controller.h"
#include "emulated/AutoUpdateRunner.h"
#include "emulator/EmulatedFt232r.h"
#include "usb/LibftdiD2xx.h"

#include <QPushButton>
#include <QtTest>

#include <cerrno>
#include <memory>

namespace {

const QString imagePath = QStringLiteral(":/firmware/LQ770_KRONE_LSAPLUS_S2_10PAIR.txt");
const QString linkLost =
    QStringLiteral("ERROR: USB link lost - check the cable and click Connect to controller");
constexpr int installTimeoutMs = 120000;

} // namespace

// The tool's libftdi1 backend through the machine's real libftdi1 and
// libusb, against an emulated FT232R at the USB boundary (umockdev), with
// the emulated controller and its card behind the chip.
class tst_LibftdiUsb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void listedAndOpened_data();
    void listedAndOpened();
    void lineSettingsDecideWhatTheControllerHears_data();
    void lineSettingsDecideWhatTheControllerHears();
    void installThroughLibftdi();
    void cablePulledAndPluggedBackIn();
    void noPermission();
    void passingFaultsOnTheCable();

private:
    void setUpWindow();
    void connectController();
    QStringList summary() const { return ui->summary(); }

    std::unique_ptr<EmulatedFt232r> chip;
    std::shared_ptr<D2xxApi> api;
    std::unique_ptr<UpdaterWindowUnderTest> ui;
};

void tst_LibftdiUsb::initTestCase()
{
    Q_INIT_RESOURCE(firmware);
    if (!EmulatedFt232r::available())
        QSKIP("needs umockdev-wrapper");
}

void tst_LibftdiUsb::init()
{
    chip = std::make_unique<EmulatedFt232r>();
    chip->addCard();
    // The tool's own choice: the vendor library is not on this machine.
    api = D2xxApi::platformDefault();
    QVERIFY(dynamic_cast<LibftdiD2xx *>(api.get()));
}

void tst_LibftdiUsb::cleanup()
{
    ui.reset();
    api.reset();
    chip.reset();
}

void tst_LibftdiUsb::setUpWindow()
{
    ui = std::make_unique<UpdaterWindowUnderTest>(api);
    QVERIFY(ui->complete());
}

void tst_LibftdiUsb::connectController()
{
    QTest::mouseClick(ui->connectButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(ui->updateButton->isEnabled(), 10000);
}

void tst_LibftdiUsb::listedAndOpened_data()
{
    QTest::addColumn<QByteArray>("serial");
    QTest::newRow("serial number VX4200001") << QByteArray("VX4200001");
    QTest::newRow("EEPROM without a serial number") << QByteArray();
}

void tst_LibftdiUsb::listedAndOpened()
{
    QFETCH(QByteArray, serial);
    EmulatedFt232r::Options options;
    options.serialNumber = serial;
    chip.reset(); // one testbed at a time
    chip = std::make_unique<EmulatedFt232r>(options);

    uint32_t n = 0;
    QCOMPARE(api->FT_CreateDeviceInfoList(&n), FT_STATUS(FT_OK));
    QCOMPARE(n, 1u);
    FT_DEVICE_LIST_INFO_NODE node{};
    QCOMPARE(api->FT_GetDeviceInfoList(&node, &n), FT_STATUS(FT_OK));
    QCOMPARE(node.ID, 0x04036001u);
    QCOMPARE(QByteArray(node.Description), QByteArray("VX420"));
    QCOMPARE(QByteArray(node.SerialNumber), serial);

    QVERIFY(!chip->kernelDriverDetached());
    FT_HANDLE handle = nullptr;
    QCOMPARE(api->FT_Open(0, &handle), FT_STATUS(FT_OK));
    QVERIFY(chip->kernelDriverDetached()); // ftdi_sio let go of the chip
    QCOMPARE(api->FT_Close(handle), FT_STATUS(FT_OK));
}

// The host's transmission with one thing wrong: the controller does not
// listen, so the card's LED stays as it was.
void tst_LibftdiUsb::lineSettingsDecideWhatTheControllerHears_data()
{
    UsbChipTesting::addLineSettingRows();
}

void tst_LibftdiUsb::lineSettingsDecideWhatTheControllerHears()
{
    QFETCH(QString, wrong);
    QFETCH(int, led);
    UsbChipTesting::sendLedRed(*api, wrong);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(chip->card(0)->ledState(), led);
}

// The whole update through libftdi1 and libusb, and what the chip was told.
void tst_LibftdiUsb::installThroughLibftdi()
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

void tst_LibftdiUsb::cablePulledAndPluggedBackIn()
{
    setUpWindow();
    connectController();
    chip->pullCable();
    QTRY_COMPARE_WITH_TIMEOUT(summary().last(), linkLost, 5000);
    QVERIFY(ui->connectButton->isEnabled());
    QVERIFY(!ui->updateButton->isEnabled());

    // Back in: a new device, opened anew.
    const QString nodeBefore = chip->deviceNode();
    chip->plugBackIn();
    QVERIFY(chip->deviceNode() != nodeBefore);
    connectController();
    QVERIFY(chip->kernelDriverDetached());
    QVERIFY(chip->lineState().lineCardPath);
}

void tst_LibftdiUsb::noPermission()
{
    chip->setNodeMode(0);
    setUpWindow();
    {
        const UsbChipTesting::WithoutFileOverride asAUser;
        QTest::mouseClick(ui->connectButton, Qt::LeftButton);
        QTRY_VERIFY(ui->connectButton->isEnabled());
    }
    // What a user of the package does: plug the controller in again (the
    // rule applies to a new plug), or join the group the rule names.
    QCOMPARE(summary(),
             (QStringList{"ERROR: no permission to open the controller's USB chip - unplug the "
                          "controller, plug it in again and click Connect again",
                          "Next: if it is refused again, have your user added to the group "
                          "plugdev and log in again"}));
    QVERIFY(!ui->updateButton->isEnabled());
}

// A stall or a babble now and then is no lost link; one that does not stop is.
void tst_LibftdiUsb::passingFaultsOnTheCable()
{
    setUpWindow();
    connectController();
    VX420Controller *controller = ui->window->controllerManager();
    chip->failNextReads(LibftdiD2xx::transientFailures, -EPIPE);
    QTest::qWait(500);
    controller->onReqCmdLedGreen();
    QTRY_COMPARE(chip->card(0)->ledState(), 0x22);
    QTest::qWait(300);
    QVERIFY(!summary().contains(linkLost));

    chip->failNextReads(1000, -EOVERFLOW);
    QTRY_COMPARE_WITH_TIMEOUT(summary().last(), linkLost, 5000);
}

QTEST_MAIN(tst_LibftdiUsb)
#include "tst_libftdiusb.moc"
