#include "app/LineCardUpdaterWindow.h"
#include "bootloader/FirmwareImage.h"
#include "controller/VX420Controller.h"
#include "emulated/AutoUpdateRunner.h"
#include "emulator/EmulatedFt232r.h"
#include "usb/LibftdiD2xx.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace {

const QString imagePath = QStringLiteral(":/firmware/LQ770_KRONE_LSAPLUS_S2_10PAIR.txt");
const QString linkLost =
    QStringLiteral("ERROR: USB link lost - check the cable and click Connect to controller");
constexpr int installTimeoutMs = 120000;

// Root reads any file: while it lasts, this process respects file modes.
class WithoutFileOverride
{
public:
    WithoutFileOverride()
    {
        header.version = _LINUX_CAPABILITY_VERSION_3;
        header.pid = 0;
        if (syscall(SYS_capget, &header, saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        active = syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutFileOverride()
    {
        if (active)
            syscall(SYS_capset, &header, saved);
    }

private:
    __user_cap_header_struct header{};
    __user_cap_data_struct saved[2]{};
    bool active = false;
};

int count(const QList<EmulatedFt232r::ControlRequest> &requests, quint8 request)
{
    int n = 0;
    for (const EmulatedFt232r::ControlRequest &r : requests)
        n += r.request == request;
    return n;
}

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
    QStringList summary() const { return summaryPane->toPlainText().split('\n'); }

    std::unique_ptr<EmulatedFt232r> chip;
    std::shared_ptr<D2xxApi> api;
    std::unique_ptr<LineCardUpdaterWindow> window;
    QPushButton *connectButton = nullptr;
    QPushButton *updateButton = nullptr;
    QPlainTextEdit *summaryPane = nullptr;
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
    window.reset();
    api.reset();
    chip.reset();
}

void tst_LibftdiUsb::setUpWindow()
{
    window = std::make_unique<LineCardUpdaterWindow>(nullptr, api);
    connectButton = window->findChild<QPushButton *>("connectButton");
    updateButton = window->findChild<QPushButton *>("updateButton");
    summaryPane = window->findChild<QPlainTextEdit *>("summaryPane");
    QVERIFY(connectButton && updateButton && summaryPane);
    window->show();
}

void tst_LibftdiUsb::connectController()
{
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(updateButton->isEnabled(), 10000);
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
    QTest::addColumn<QString>("wrong");
    QTest::addColumn<int>("led");
    QTest::newRow("nothing wrong: the LED goes red") << QString() << 0x21;
    QTest::newRow("19200 baud") << "baud" << 0;
    QTest::newRow("1 stop bit") << "stop" << 0;
    QTest::newRow("CBUS0 left high (mask 31)") << "mask" << 0;
    QTest::newRow("no break") << "break" << 0;
}

void tst_LibftdiUsb::lineSettingsDecideWhatTheControllerHears()
{
    QFETCH(QString, wrong);
    QFETCH(int, led);

    uint32_t n = 0;
    QCOMPARE(api->FT_CreateDeviceInfoList(&n), FT_STATUS(FT_OK));
    FT_HANDLE h = nullptr;
    QCOMPARE(api->FT_Open(0, &h), FT_STATUS(FT_OK));
    QCOMPARE(api->FT_SetBitMode(h, 0x22, FT_BITMODE_CBUS_BITBANG), FT_STATUS(FT_OK));
    QCOMPARE(api->FT_SetBitMode(h, wrong == "mask" ? 0x31 : 0x30, FT_BITMODE_CBUS_BITBANG),
             FT_STATUS(FT_OK));
    QCOMPARE(api->FT_SetBaudRate(h, wrong == "baud" ? 19200 : 9600), FT_STATUS(FT_OK));
    QCOMPARE(api->FT_SetDataCharacteristics(h, FT_BITS_8, wrong == "stop" ? 0 : FT_STOP_BITS_2,
                                            FT_PARITY_NONE),
             FT_STATUS(FT_OK));
    QCOMPARE(api->FT_SetChars(h, 0x00, 1, 0x00, 0), FT_STATUS(FT_OK));
    if (wrong != "break") {
        QCOMPARE(api->FT_SetBreakOn(h), FT_STATUS(FT_OK));
        QTest::qWait(3);
        QCOMPARE(api->FT_SetBreakOff(h), FT_STATUS(FT_OK));
    }
    // The sync byte, then the LED red command's packet: body 21 FF FF, its
    // code byte, the marker and its two check bytes.
    QByteArray led21 = QByteArray::fromHex("55" "21FFFF04" "00" "2DAD");
    uint32_t written = 0;
    QCOMPARE(api->FT_Write(h, led21.data(), uint32_t(led21.size()), &written), FT_STATUS(FT_OK));
    QCOMPARE(int(written), led21.size());
    QTest::qWait(300);
    QCOMPARE(chip->ledState(0), led);
    QCOMPARE(api->FT_Close(h), FT_STATUS(FT_OK));
}

// The whole update through libftdi1 and libusb, and what the chip was told.
void tst_LibftdiUsb::installThroughLibftdi()
{
    setUpWindow();
    connectController();
    const EmulatedLineState line = chip->lineState();
    QCOMPARE(line.baudRate, 9600u);
    QCOMPARE(int(line.wordLength), 8);
    QCOMPARE(int(line.stopBits), int(FT_STOP_BITS_2));
    QCOMPARE(int(line.parity), 0);
    QVERIFY(line.lineCardPath);

    const int requestsAtConnect = chip->controlRequests().size();
    const QByteArray segment = chip->infoSegment(0);
    QTest::mouseClick(updateButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(AutoUpdateRunner::outcomeOf(summary()) >= 0, installTimeoutMs);
    QCOMPARE(LineCardUpdaterWindow::verdictOf(summary()), QString("Finished."));
    FirmwareImage image;
    QVERIFY(image.load(imagePath));
    QCOMPARE(chip->flash(0, image.loadAddress(), image.payload().size()), image.payload());
    QCOMPARE(chip->infoSegment(0), segment);
    QVERIFY(chip->infoSegmentLocked(0));
    QVERIFY(chip->applicationRunning(0));
    QTRY_COMPARE(chip->ledState(0), 0x22);

    const QList<EmulatedFt232r::ControlRequest> requests = chip->controlRequests();
    using Chip = EmulatedFt232r;
    // 9600 baud whenever it is set, the divisor corrected for CBUS bit-bang
    // mode; 8 data bits, no parity, 2 stop bits; the event character 0x00.
    for (const Chip::ControlRequest &r : requests) {
        if (r.request == Chip::requestBaudRate)
            QCOMPARE(Chip::baudRateOf(r.value, r.index), 9600.0);
        if (r.request == Chip::requestData)
            QCOMPARE(r.value & 0x3FFF, 0x1008);
    }
    QVERIFY(count(requests, Chip::requestBaudRate) >= 1);
    bool eventChar = false;
    QList<quint16> masks;
    for (const Chip::ControlRequest &r : requests) {
        eventChar |= r.request == Chip::requestEventChar && r.value == 0x0100;
        if (r.request == Chip::requestBitMode)
            masks.append(r.value);
    }
    QVERIFY(eventChar);
    // The resting pins, then the line-card path by way of CBUS1 high.
    QCOMPARE(masks, (QList<quint16>{0x2022, 0x2032, 0x2022, 0x2010, 0x2030}));

    // RTS raised before each break, dropped and raised again within it, and
    // dropped once the transmission that follows the break is out.
    int breaks = 0;
    for (int i = requestsAtConnect; i < requests.size(); ++i) {
        const Chip::ControlRequest &r = requests.at(i);
        if (r.request != Chip::requestData || !(r.value & 0x4000))
            continue;
        ++breaks;
        QList<quint16> rts;
        for (int j = i - 1; j >= 0 && requests.at(j).request != Chip::requestData; --j)
            if (requests.at(j).request == Chip::requestModemControl) {
                rts.prepend(requests.at(j).value);
                break;
            }
        int off = i + 1;
        while (off < requests.size() && requests.at(off).request != Chip::requestData)
            ++off;
        QVERIFY(off < requests.size());
        for (int j = i + 1; j < off; ++j)
            if (requests.at(j).request == Chip::requestModemControl)
                rts.append(requests.at(j).value);
        for (int j = off + 1; j < requests.size(); ++j)
            if (requests.at(j).request == Chip::requestModemControl) {
                rts.append(requests.at(j).value);
                break;
            }
        QCOMPARE(rts, (QList<quint16>{0x0202, 0x0200, 0x0202, 0x0200}));
    }
    QVERIFY(breaks > 130); // one per transmission of the update
}

void tst_LibftdiUsb::cablePulledAndPluggedBackIn()
{
    setUpWindow();
    connectController();
    chip->pullCable();
    QTRY_COMPARE_WITH_TIMEOUT(summary().last(), linkLost, 5000);
    QVERIFY(connectButton->isEnabled());
    QVERIFY(!updateButton->isEnabled());

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
        const WithoutFileOverride asAUser;
        QTest::mouseClick(connectButton, Qt::LeftButton);
        QTRY_VERIFY(connectButton->isEnabled());
    }
    // What a user of the package does: plug the controller in again (the
    // rule applies to a new plug), or join the group the rule names.
    QCOMPARE(summary(),
             (QStringList{"ERROR: no permission to open the controller's USB chip - unplug the "
                          "controller, plug it in again and click Connect again",
                          "Next: if it is refused again, have your user added to the group "
                          "plugdev and log in again"}));
    QVERIFY(!updateButton->isEnabled());
}

// A stall or a babble now and then is no lost link; one that does not stop is.
void tst_LibftdiUsb::passingFaultsOnTheCable()
{
    setUpWindow();
    connectController();
    VX420Controller *controller = window->controllerManager();
    chip->failNextReads(LibftdiD2xx::transientFailures, -EPIPE);
    QTest::qWait(500);
    controller->onReqCmdLedGreen();
    QTRY_COMPARE(chip->ledState(0), 0x22);
    QTest::qWait(300);
    QVERIFY(!summary().contains(linkLost));

    chip->failNextReads(1000, -EOVERFLOW);
    QTRY_COMPARE_WITH_TIMEOUT(summary().last(), linkLost, 5000);
}

QTEST_MAIN(tst_LibftdiUsb)
#include "tst_libftdiusb.moc"
