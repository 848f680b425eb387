#include "emulated/AutoUpdateRunner.h"
#include "app/LineCardUpdaterWindow.h"
#include "bootloader/FirmwareImage.h"
#include "controller/Opcodes.h"
#include "controller/VX420Controller.h"
#include "emulator/EmulatedD2xx.h"
#include "tests/support/UpdaterWindowUnderTest.h"
#include "usb/VendorD2xx.h"
#include "emulator/EmulatorCodec.h"

#include <QElapsedTimer>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

namespace {
constexpr int updateTimeoutMs = 60000;

// What the summary pane says once the controller is connected.
const QStringList connected{"Controller connected",
                            "Next: plug in one line card and click Update card"};
const QString nextCard = QStringLiteral("Next: plug in the next card and click Update card");
const QString noReply = QStringLiteral(
    "ERROR: no reply from the controller - check the line card and click Update card again");

// The emulated controller behind a USB library that says why an open failed,
// as libftdi1 does.
class ExplainingEmulator : public EmulatedD2xx
{
public:
    using EmulatedD2xx::EmulatedD2xx;
    std::string openFailureReason() const override { return reason; }
    std::string reason;
};
} // namespace

// The window with the real controller manager, worker and I/O thread, in
// front of the emulated controller (instant timing), used as a technician
// would: buttons pressed, panes read.
class tst_LineCardUpdaterWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startUpState();
    void verdictLeavesHintsOut_data();
    void verdictLeavesHintsOut();
    void connectedSaysWhatNext();
    void wholeUpdate_data();
    void wholeUpdate();
    void reflash_data();
    void reflash();
    void unknownBoardAfterKnownOne();
    void noCard();
    void twoCards();
    void failedInstallations_data();
    void failedInstallations();
    void noController();
    void refusedOpenSaysWhy_data();
    void refusedOpenSaysWhy();
    void controllerNotOpened_data();
    void controllerNotOpened();
    void noUsbLibrary();
    void cardPulledOut();
    void cablePulledOut();
    void reconnectSoonAfterCablePull();
    void cablePulledBetweenUpdates();
    void unaskedReportsAreOnlyLogged_data();
    void unaskedReportsAreOnlyLogged();
    void lateConfusedRaisesNoError();
    void secondClickRunsAgain();

private:
    void setUpWindow();
    void connectController();
    void clickUpdate();
    void waitForEnd();
    // One default card, connected and updated to "Finished.".
    void finishOneUpdate();
    QStringList summary() const { return summaryPane->toPlainText().split('\n'); }
    QStringList results() const { return resultsPane->toPlainText().split('\n'); }
    // The summary's latest message, the hints that follow it left out.
    QString verdict() const { return LineCardUpdaterWindow::verdictOf(summary()); }
    QStringList summarySinceClick() const;
    QByteArray payloadOf(const QString &resource) const;

    std::shared_ptr<EmulatedD2xx> emu;
    std::unique_ptr<UpdaterWindowUnderTest> ui;
    LineCardUpdaterWindow *window = nullptr;
    QPushButton *connectButton = nullptr;
    QPushButton *updateButton = nullptr;
    QPlainTextEdit *summaryPane = nullptr;
    QPlainTextEdit *resultsPane = nullptr;
    int summaryCharsAtClick = 0;
};

void tst_LineCardUpdaterWindow::initTestCase()
{
    Q_INIT_RESOURCE(firmware);
}

void tst_LineCardUpdaterWindow::init()
{
    emu = std::make_shared<EmulatedD2xx>(EmulatedD2xx::Timing::Instant);
    summaryCharsAtClick = 0;
}

void tst_LineCardUpdaterWindow::setUpWindow()
{
    ui = std::make_unique<UpdaterWindowUnderTest>(emu);
    QVERIFY(ui->complete());
    window = ui->window.get();
    connectButton = ui->connectButton;
    updateButton = ui->updateButton;
    summaryPane = ui->summaryPane;
    resultsPane = ui->resultsPane;
}

void tst_LineCardUpdaterWindow::cleanup()
{
    ui.reset();
    window = nullptr;
    emu.reset();
}

void tst_LineCardUpdaterWindow::connectController()
{
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QVERIFY(!connectButton->isEnabled());
    QTRY_VERIFY(updateButton->isEnabled());
}

void tst_LineCardUpdaterWindow::clickUpdate()
{
    QVERIFY(updateButton->isEnabled());
    summaryCharsAtClick = summaryPane->toPlainText().size();
    QTest::mouseClick(updateButton, Qt::LeftButton);
    QVERIFY(!updateButton->isEnabled());
}

// Until the last click's run writes "Finished." or an error text, and until
// the LED command that follows has been answered or has timed out.
void tst_LineCardUpdaterWindow::waitForEnd()
{
    QTRY_VERIFY_WITH_TIMEOUT(AutoUpdateRunner::outcomeOf(summarySinceClick()) >= 0,
                             updateTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!window->controllerManager()->awaitingReply(), 5000);
    QTest::qWait(50);
}

void tst_LineCardUpdaterWindow::finishOneUpdate()
{
    emu->addCard();
    setUpWindow();
    connectController();
    clickUpdate();
    waitForEnd();
    QCOMPARE(verdict(), QString("Finished."));
}

// The summary lines the last click's run has written.
QStringList tst_LineCardUpdaterWindow::summarySinceClick() const
{
    QString added = summaryPane->toPlainText().mid(summaryCharsAtClick);
    if (added.startsWith('\n'))
        added.remove(0, 1);
    return added.split('\n');
}

QByteArray tst_LineCardUpdaterWindow::payloadOf(const QString &resource) const
{
    FirmwareImage image;
    if (!image.load(resource))
        return {};
    return image.payload();
}

void tst_LineCardUpdaterWindow::startUpState()
{
    setUpWindow();
    QCOMPARE(window->windowTitle(), QString("Line Card Update Tool V1.1"));
    // The icon the desktop entry names, drawn from the SVG in the program.
    QVERIFY(!window->windowIcon().pixmap(48, 48).isNull());
    QVERIFY(connectButton->isEnabled());
    QVERIFY(!updateButton->isEnabled());
    QCOMPARE(connectButton->text(), QString("Connect to controller"));
    QCOMPARE(updateButton->text(), QString("Update card"));
    QVERIFY(summaryPane->toPlainText().isEmpty());
    QVERIFY(resultsPane->toPlainText().isEmpty());
    QVERIFY(summaryPane->isReadOnly());
    QVERIFY(resultsPane->isReadOnly());
    QVERIFY(!window->findChild<QProgressBar *>("progressBar")->isVisible());

    auto *controls = window->findChild<QGroupBox *>("controlsGroupBox");
    auto *resultsBox = window->findChild<QGroupBox *>("resultsGroupBox");
    QCOMPARE(resultsBox->title(), QString("Results"));
    QVERIFY(controls->x() < resultsBox->x());
    window->resize(1400, 600);
    QTRY_COMPARE(controls->width(), 500);
    const int narrowResults = resultsBox->width();
    window->resize(1800, 600);
    QTRY_COMPARE(controls->width(), 500);
    QTRY_VERIFY(resultsBox->width() > narrowResults);
    QVERIFY(resultsBox->width() >= 500);
}

void tst_LineCardUpdaterWindow::verdictLeavesHintsOut_data()
{
    QTest::addColumn<QStringList>("summary");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("empty") << QStringList{""} << "";
    QTest::newRow("finished, then what next")
        << QStringList{"Loading firmware - please wait", "Finished.", "Next: plug in ..."}
        << "Finished.";
    QTest::newRow("an error, its reason and what next")
        << QStringList{"Detected Unknown", "Error: bad line card", "Reason: ...", "Next: ..."}
        << "Error: bad line card";
    QTest::newRow("a message last")
        << QStringList{"Finished.", "Next: ...", "Detected Unknown"} << "Detected Unknown";
}

void tst_LineCardUpdaterWindow::verdictLeavesHintsOut()
{
    QFETCH(QStringList, summary);
    QFETCH(QString, verdict);
    QCOMPARE(LineCardUpdaterWindow::verdictOf(summary), verdict);
}

void tst_LineCardUpdaterWindow::connectedSaysWhatNext()
{
    emu->addCard();
    setUpWindow();
    connectController();
    QCOMPARE(summary(), connected);
    QCOMPARE(results(), (QStringList{"onSelectDevice", "onLineCardsSelected(true)"}));
}

void tst_LineCardUpdaterWindow::wholeUpdate_data()
{
    QTest::addColumn<int>("manufacturer");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("board");
    QTest::addColumn<QString>("resource");

    QTest::newRow("0:0") << 0 << 0 << "Krone LSA-PLUS 10 pair"
                         << ":/firmware/LQ770_KRONE_LSAPLUS_S2_10PAIR.txt";
    QTest::newRow("5:0") << 5 << 0 << "Quante SID-C  10 pair"
                         << ":/firmware/LQ770_QUANTE_SIDC_10PAIR.txt";
    QTest::newRow("5:1") << 5 << 1 << "Quante SID-C  20 pair"
                         << ":/firmware/LQ770_QUANTE_SIDC_20PAIR.txt";
    QTest::newRow("6:0") << 6 << 0 << "R&M VS Compact  10 pair"
                         << ":/firmware/LQ770_RANDM_VS_COMPACT_10PAIR.txt";
    QTest::newRow("6:1") << 6 << 1 << "R&M VS Compact  20 pair"
                         << ":/firmware/LQ770_RANDM_VS_COMPACT_20PAIR.txt";
    QTest::newRow("6:11") << 6 << 11 << "R&M VS Compact (Splitters)  16 pair"
                          << ":/firmware/LQ770_RANDM_VS_COMPACT_16PAIR_XC.txt";
    QTest::newRow("8:0") << 8 << 0 << "Krone HD  10 pair"
                         << ":/firmware/LQ770_KRONE_LSAPLUS_HD180_10PAIR.txt";
}

void tst_LineCardUpdaterWindow::wholeUpdate()
{
    QFETCH(int, manufacturer);
    QFETCH(int, type);
    QFETCH(QString, board);
    QFETCH(QString, resource);

    EmulatedCardIdentity identity;
    identity.blockManufacturer = quint8(manufacturer);
    identity.blockType = quint8(type);
    identity.pairByte = 0x85; // the pair count plays no part in the choice
    identity.serialNumber = 123456;
    emu->addCard(identity);
    setUpWindow();
    connectController();
    clickUpdate();
    waitForEnd();

    QCOMPARE(summary(), connected
                            + QStringList({"Detected " + board, "serialNumber 123456",
                                           "Loading firmware - please wait",
                                           "Do not remove the card during the update",
                                           "New firmware installed OK", "Finished.", nextCard}));
    QCOMPARE(results(),
             (QStringList{"onSelectDevice", "onLineCardsSelected(true)", "onFrameRate(0,1250)",
                          "LineCardUpdaterWindow::onLineCardInfo(0)", "serialNumber 123456",
                          QString("blockManufacturer %1").arg(manufacturer),
                          QString("blockType %1").arg(type), "blockPairCount 5", "wiresPerPair 4",
                          "productId 33", "platformId 4", "firmwareResourceName=(" + resource + ")",
                          "Detected " + board, "LineCardUpdaterWindow::onBootLoaderResult(1)",
                          "Firmware load ok", "LineCardUpdaterWindow::onReflashStatus  False"}));
    QTRY_COMPARE(emu->card(0)->ledState(), int(OPCODE_LED_GREEN));
    QVERIFY(updateButton->isEnabled());
    const QByteArray payload = payloadOf(resource);
    QCOMPARE(payload.size(), 8192);
    QCOMPARE(emu->card(0)->bootloader().flash(0xD000, 8192), payload);
}

void tst_LineCardUpdaterWindow::reflash_data()
{
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("needed and succeeding") << true;
    QTest::newRow("needed and failing") << false;
}

void tst_LineCardUpdaterWindow::reflash()
{
    QFETCH(bool, succeeds);
    emu->addCard();
    emu->card(0)->setFlashVersions(0x00010003, 0x00010002);
    emu->card(0)->setReflashSucceeds(succeeds);
    setUpWindow();
    connectController();
    clickUpdate();
    waitForEnd();

    QVERIFY(results().contains("LineCardUpdaterWindow::onReflashStatus  True"));
    QVERIFY(summary().contains("Updating bootloader"));
    if (succeeds) {
        QCOMPARE(results().last(), QString("LineCardUpdaterWindow::onReflashResult  True"));
        QCOMPARE(summary().mid(summary().size() - 3),
                 (QStringList{"Updating bootloader", "Finished.", nextCard}));
        QTRY_COMPARE(emu->card(0)->ledState(), int(OPCODE_LED_GREEN));
        QVERIFY(updateButton->isEnabled());
    } else {
        QCOMPARE(results().last(), QString("LineCardUpdaterWindow::onReflashResult  False"));
        // It says what to do; "Update card" stays disabled.
        QCOMPARE(summary().last(),
                 QString("ERROR: Update failed - return card to Quorvane for replacement"));
        QTRY_COMPARE(emu->card(0)->ledState(), int(OPCODE_LED_RED));
        QVERIFY(!updateButton->isEnabled());
    }
}

void tst_LineCardUpdaterWindow::unknownBoardAfterKnownOne()
{
    finishOneUpdate();

    EmulatedCardIdentity unknown;
    unknown.blockManufacturer = 6;
    unknown.blockType = 2;
    emu->card(0)->setIdentity(unknown);
    const int resultLines = results().size();
    clickUpdate();
    waitForEnd();

    const QStringList newResults = results().mid(resultLines);
    QVERIFY(
        newResults.contains("firmwareResourceName=(:/firmware/LQ770_KRONE_LSAPLUS_S2_10PAIR.txt)"));
    QVERIFY(newResults.contains("Detected Unknown"));
    QCOMPARE(summarySinceClick(),
             (QStringList{"Detected Unknown", "serialNumber 770001", "Error: bad line card",
                          "Reason: no firmware for this board (manufacturer 6, type 2)",
                          "Next: set this card aside and click Update card for the next one"}));
    QTRY_COMPARE(emu->card(0)->ledState(), int(OPCODE_LED_RED));
    QVERIFY(updateButton->isEnabled());
}

void tst_LineCardUpdaterWindow::noCard()
{
    setUpWindow();
    connectController();
    clickUpdate();
    waitForEnd();
    // Not even the click's first command, which only a card answers, was
    // answered: no card took part.
    QCOMPARE(summary(), connected
                            + QStringList({"ERROR: no line card answered - plug in one line card "
                                           "and click Update card again"}));
    QCOMPARE(results().last(), QString("onSeriousError(3)"));
    QVERIFY(updateButton->isEnabled());
    QVERIFY(!connectButton->isEnabled());
}

void tst_LineCardUpdaterWindow::twoCards()
{
    emu->addCard();
    emu->addCard();
    setUpWindow();
    connectController();
    clickUpdate();
    waitForEnd();
    QTRY_COMPARE(emu->card(0)->commandsReceived(OPCODE_LED_RED), 1);

    const QStringList twoCards =
        connected
        + QStringList({"ERROR: 2 line cards attached - please update your line cards one at a time",
                       "Next: leave one card plugged in and click Update card"});
    QCOMPARE(summary(), twoCards);
    QCOMPARE(results().count("TOO MANY CARDS! Saw 2 cards, expected 1"), 1);
    QVERIFY(updateButton->isEnabled());

    // Identify names card 1 only; should the other card report as well, that
    // report only asks for the red LED again.
    emu->strayReply(
        1, QByteArray::fromHex("04 01 FF 21 04 00 00 0A 01 02 03 04 D1 BF 0B 00 00 00 00 00"));
    QTRY_COMPARE(emu->card(0)->commandsReceived(OPCODE_LED_RED), 2);
    QTest::qWait(200);
    QCOMPARE(emu->card(1)->commandsReceived(OPCODE_LED_RED), 2);
    QCOMPARE(results().count("TOO MANY CARDS! Saw 2 cards, expected 1"), 1);
    QCOMPARE(summary(), twoCards);
}

void tst_LineCardUpdaterWindow::failedInstallations_data()
{
    QTest::addColumn<int>("refusals"); // -1: every time
    QTest::addColumn<int>("retries");
    QTest::addColumn<bool>("finished");

    QTest::newRow("page refused every time") << -1 << 4 << false;
    QTest::newRow("two failures, then success") << 2 << 2 << true;
}

void tst_LineCardUpdaterWindow::failedInstallations()
{
    QFETCH(int, refusals);
    QFETCH(int, retries);
    QFETCH(bool, finished);

    emu->addCard();
    emu->card(0)->bootloader().refusePage(3, refusals);
    setUpWindow();
    connectController();
    clickUpdate();
    waitForEnd();

    QCOMPARE(results().count("Firmware load failed - trying again"), retries);
    QCOMPARE(results().count("LineCardUpdaterWindow::onBootLoaderResult(0)"), finished ? 2 : 5);
    if (finished) {
        QCOMPARE(verdict(), QString("Finished."));
        QCOMPARE(emu->card(0)->bootloader().flash(0xD000, 8192),
                 payloadOf(":/firmware/LQ770_KRONE_LSAPLUS_S2_10PAIR.txt"));
    } else {
        QCOMPARE(results().last(), QString("Firmware load failed - give up"));
        QCOMPARE(summary().mid(summary().size() - 2),
                 (QStringList{"ERROR: firmware load failed",
                              "Next: reseat the card and click Update card again"}));
        // The card may be reseated or replaced and tried again; the red LED
        // marks it on the bench.
        QVERIFY(updateButton->isEnabled());
        QTRY_COMPARE(emu->card(0)->ledState(), int(OPCODE_LED_RED));
    }
}

void tst_LineCardUpdaterWindow::noController()
{
    emu->setDevices({});
    emu->addCard();
    setUpWindow();
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QCOMPARE(results(), (QStringList{"onSelectDevice", "onDeviceSelected(false)"}));
    QCOMPARE(summary(), QStringList{"ERROR: controller not found - check the USB cable and "
                                    "click Connect again"});
    QVERIFY(connectButton->isEnabled());
    QVERIFY(!updateButton->isEnabled());

    // Plugged in now: a second click connects.
    emu->setDevices({EmulatedDevice()});
    connectController();
}

// The controller's chip is there but does not open: the user is told why,
// as far as the USB layer can tell.
void tst_LineCardUpdaterWindow::refusedOpenSaysWhy_data()
{
    QTest::addColumn<int>("refusal");
    QTest::addColumn<QStringList>("text");
    using R = D2xxApi::OpenRefusal;
    QTest::newRow("no permission on the node")
        << int(R::NoPermission)
        << QStringList{"ERROR: no permission to open the controller's USB chip - unplug the "
                       "controller, plug it in again and click Connect again",
                       "Next: if it is refused again, have your user added to the group plugdev "
                       "and log in again"};
    QTest::newRow("held by the kernel's serial driver")
        << int(R::KernelDriver)
        << QStringList{"ERROR: the kernel's serial driver holds the controller's USB chip - "
                       "unload it with \"sudo rmmod ftdi_sio\" and click Connect again"};
    QTest::newRow("open in another program")
        << int(R::OtherProgram)
        << QStringList{"ERROR: another program has the controller's USB chip open - close it "
                       "and click Connect again"};
    QTest::newRow("nothing known")
        << int(R::NotKnown)
        << QStringList{"ERROR: controller not found - check the USB cable and click Connect again"};
}

void tst_LineCardUpdaterWindow::refusedOpenSaysWhy()
{
    QFETCH(int, refusal);
    QFETCH(QStringList, text);

    class RefusingD2xx : public EmulatedD2xx
    {
    public:
        using EmulatedD2xx::EmulatedD2xx;
        OpenRefusal reason = OpenRefusal::NotKnown;
        OpenRefusal openRefusal(const QByteArray &) const override { return reason; }
    };
    auto refusing = std::make_shared<RefusingD2xx>(EmulatedD2xx::Timing::Instant);
    refusing->reason = D2xxApi::OpenRefusal(refusal);
    emu = refusing;
    // Listed without its strings, as a chip that cannot be opened is.
    EmulatedDevice chip;
    chip.description.clear();
    emu->setDevices({chip});
    emu->setOpenFails(true);
    emu->addCard();
    setUpWindow();
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QCOMPARE(summary(), text);
    QVERIFY(connectButton->isEnabled());
    QVERIFY(!updateButton->isEnabled());

    // Released: a second click connects.
    emu->setDevices({EmulatedDevice()});
    emu->setOpenFails(false);
    connectController();
}

void tst_LineCardUpdaterWindow::controllerNotOpened_data()
{
    QTest::addColumn<QString>("reason");
    QTest::newRow("no reason given, as by the chip maker's library") << QString();
    QTest::newRow("libftdi1's reason")
        << "unable to claim usb device. Make sure the default FTDI driver is not in use";
}

// The controller is there, but it does not open (another program has it):
// not "not found", and what to do instead; the USB library's reason when it
// gives one.
void tst_LineCardUpdaterWindow::controllerNotOpened()
{
    QFETCH(QString, reason);
    auto explaining = std::make_shared<ExplainingEmulator>(EmulatedD2xx::Timing::Instant);
    explaining->reason = reason.toStdString();
    emu = explaining;
    emu->setOpenFails(true);
    emu->addCard();
    setUpWindow();
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QCOMPARE(results(), (QStringList{"onSelectDevice", "onDeviceSelected(false)"}));
    QStringList expected{"ERROR: controller found but could not be opened - is another program "
                         "using it?"};
    if (!reason.isEmpty())
        expected << "Reason: " + reason;
    expected << "Next: close other programs, unplug the controller, plug it in again and click "
                "Connect again";
    QCOMPARE(summary(), expected);
    QVERIFY(connectButton->isEnabled());
    QVERIFY(!updateButton->isEnabled());

    emu->setOpenFails(false);
    connectController();
}

// The chip maker's library did not load (on Windows: its driver is not
// installed): no click can find the controller until it is installed.
void tst_LineCardUpdaterWindow::noUsbLibrary()
{
    ui = std::make_unique<UpdaterWindowUnderTest>(
        std::make_shared<VendorD2xx>(QStringList{QStringLiteral("no-such-ftd2xx-library")}));
    QVERIFY(ui->complete());
    QTest::mouseClick(ui->connectButton, Qt::LeftButton);
    QCOMPARE(ui->results(), (QStringList{"onSelectDevice", "onDeviceSelected(false)"}));
    QCOMPARE(ui->summary(), QStringList{"ERROR: USB driver missing - install the FTDI D2XX "
                                        "driver for the controller's USB chip and start the tool "
                                        "again"});
    QVERIFY(ui->connectButton->isEnabled());
    QVERIFY(!ui->updateButton->isEnabled());
}

void tst_LineCardUpdaterWindow::cardPulledOut()
{
    emu->addCard();
    emu->card(0)->stopAnsweringFrom(2); // answers the frame interval, not the identify
    setUpWindow();
    connectController();
    clickUpdate();
    waitForEnd();
    // The card answered the frame interval, then fell silent.
    QCOMPARE(summary(), connected + QStringList({noReply}));
    QVERIFY(results().contains("onSeriousError(3)"));
    QVERIFY(updateButton->isEnabled());
}

void tst_LineCardUpdaterWindow::cablePulledOut()
{
    emu->addCard();
    emu->pullCableAtTransmission(3);
    setUpWindow();
    connectController();
    clickUpdate();
    QTRY_VERIFY_WITH_TIMEOUT(summaryPane->toPlainText().contains("ERROR"), updateTimeoutMs);
    QCOMPARE(summary().last(),
             QString("ERROR: USB link lost - check the cable and click Connect to controller"));
    QVERIFY(results().contains("onSeriousError(1)"));
    QVERIFY(connectButton->isEnabled());
    QVERIFY(!updateButton->isEnabled());
}

// The cable is pulled among the pages and plugged back in at once: the new
// run installs the image, and the abandoned one, whose re-sends would run
// out about 12 s after the pull, leaves no late result behind.
void tst_LineCardUpdaterWindow::reconnectSoonAfterCablePull()
{
    emu->addCard();
    emu->pullCableAtTransmission(40);
    setUpWindow();
    connectController();
    clickUpdate();
    QTRY_VERIFY_WITH_TIMEOUT(summaryPane->toPlainText().contains("ERROR: USB link lost"),
                             updateTimeoutMs);
    QElapsedTimer sincePull;
    sincePull.start();

    emu->plugCableBackIn();
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QTRY_VERIFY(updateButton->isEnabled());
    const int resultLines = results().size();
    clickUpdate();
    waitForEnd();
    QTest::qWait(qMax<qint64>(0, 14000 - sincePull.elapsed()));

    QCOMPARE(
        summarySinceClick(),
        (QStringList{"Detected Krone LSA-PLUS 10 pair", "serialNumber 770001",
                     "Loading firmware - please wait", "Do not remove the card during the update",
                     "New firmware installed OK", "Finished.", nextCard}));
    const QStringList newResults = results().mid(resultLines);
    QCOMPARE(newResults.count("LineCardUpdaterWindow::onBootLoaderResult(1)"), 1);
    QCOMPARE(newResults.filter("onBootLoaderResult").size(), 1);
    QCOMPARE(emu->card(0)->bootloader().flash(0xD000, 8192),
             payloadOf(":/firmware/LQ770_KRONE_LSAPLUS_S2_10PAIR.txt"));
    QCOMPARE(emu->card(0)->ledState(), int(OPCODE_LED_GREEN));
    QVERIFY(updateButton->isEnabled());
}

// Between updates a pulled cable is shown as during one, once, and
// "Connect to controller" brings the controller back.
void tst_LineCardUpdaterWindow::cablePulledBetweenUpdates()
{
    finishOneUpdate();

    emu->pullCable();
    QTRY_VERIFY(connectButton->isEnabled());
    QTest::qWait(200); // every failed pass has been reported by now
    QCOMPARE(summary().last(),
             QString("ERROR: USB link lost - check the cable and click Connect to controller"));
    QVERIFY(!updateButton->isEnabled());
    QCOMPARE(results().count("onSeriousError(1)"), 1);

    emu->plugCableBackIn();
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QTRY_VERIFY(updateButton->isEnabled());
    clickUpdate();
    waitForEnd();
    QCOMPARE(LineCardUpdaterWindow::verdictOf(summarySinceClick()), QString("Finished."));
    QCOMPARE(emu->card(0)->commandsReceived(OPCODE_LED_GREEN), 2);
}

// After "Finished." the card sends a report nobody asked for: the window
// writes its "Results" line and nothing else happens.
void tst_LineCardUpdaterWindow::unaskedReportsAreOnlyLogged_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("resultsLine");

    QTest::newRow("identity: 04 01 FF 21 04 00 00 0A ...")
        << (QByteArray::fromHex("04 01 FF 21 04 00 00 0A 01 02 03 04") + EmulatorCodec::le32(770001)
            + EmulatorCodec::le32(0))
        << "LineCardUpdaterWindow::onLineCardInfo(0)";
    QTest::newRow("flash version, bootloader to update: 06 FF FF 03 00 01 00 02 00 01 00")
        << QByteArray::fromHex("06 FF FF 03 00 01 00 02 00 01 00")
        << "LineCardUpdaterWindow::onReflashStatus  True";
    QTest::newRow("flash version, current: 06 FF FF 02 00 01 00 02 00 01 00")
        << QByteArray::fromHex("06 FF FF 02 00 01 00 02 00 01 00")
        << "LineCardUpdaterWindow::onReflashStatus  False";
    QTest::newRow("reflash done: 07 FF FF 01")
        << QByteArray::fromHex("07 FF FF 01") << "LineCardUpdaterWindow::onReflashResult  True";
    QTest::newRow("reflash failed: 07 FF FF 00")
        << QByteArray::fromHex("07 FF FF 00") << "LineCardUpdaterWindow::onReflashResult  False";
    QTest::newRow("frame interval cut short: 03 E2")
        << QByteArray::fromHex("03 E2") << "LineCardUpdaterWindow::onLineCardApplicationError(0)";
}

void tst_LineCardUpdaterWindow::unaskedReportsAreOnlyLogged()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, resultsLine);

    finishOneUpdate();
    const QStringList summaryBefore = summary();
    const int commandsBefore = emu->card(0)->receivedCommands().size();

    emu->strayReply(0, body);
    QTRY_VERIFY(results().contains(resultsLine));
    QTest::qWait(300);
    QCOMPARE(summary(), summaryBefore);
    QCOMPARE(results().last(), resultsLine);
    QCOMPARE(emu->card(0)->receivedCommands().size(), commandsBefore);
    QVERIFY(updateButton->isEnabled());
}

// A CONFUSED answer after the last command was answered: the command goes
// once more, but no reply time-out is started for it, so a second CONFUSED
// raises no "no reply" error.
void tst_LineCardUpdaterWindow::lateConfusedRaisesNoError()
{
    finishOneUpdate();
    QCOMPARE(emu->card(0)->ledState(), int(OPCODE_LED_GREEN));
    emu->card(0)->confusedReplyTo(emu->card(0)->receivedCommands().size() + 1);

    emu->strayReply(0, QByteArray::fromHex("00 FF FF"));
    QTRY_COMPARE(emu->card(0)->commandsReceived(OPCODE_LED_GREEN), 2);
    QTest::qWait(VX420Controller::replyTimeoutMs + 500);
    QVERIFY(!results().contains("onSeriousError(3)"));
    QCOMPARE(verdict(), QString("Finished."));
    QCOMPARE(emu->card(0)->commandsReceived(OPCODE_LED_GREEN), 2);
}

void tst_LineCardUpdaterWindow::secondClickRunsAgain()
{
    emu->addCard();
    setUpWindow();
    connectController();
    clickUpdate();
    waitForEnd();
    clickUpdate();
    waitForEnd();
    QCOMPARE(summary().count("Finished."), 2);
    QCOMPARE(summary().count(nextCard), 2);
    QCOMPARE(results().count("onFrameRate(0,1250)"), 2);
    QCOMPARE(results().count("LineCardUpdaterWindow::onBootLoaderResult(1)"), 2);
    QCOMPARE(emu->card(0)->commandsReceived(OPCODE_LED_GREEN), 2);
}

QTEST_MAIN(tst_LineCardUpdaterWindow)
#include "tst_linecardupdaterwindow.moc"
