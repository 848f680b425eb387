#include "controller/CommandPacket.h"
#include "controller/Opcodes.h"
#include "controller/VX420Controller.h"
#include "emulator/EmulatedD2xx.h"

#include <QtTest>

// The manager with its real worker and I/O thread, talking to the emulated
// controller in instant timing.
class tst_VX420Controller : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void identifyOneCard();
    void oneRecordPerSlot_data();
    void oneRecordPerSlot();
    void slotCountChangeRebuildsRecords();
    void commandWireBytes_data();
    void commandWireBytes();
    void confusedResendRule();
    void silentCardRaisesNoReplyOncePerTransmission();
    void replyTimeoutEndsOnlyOnItsReply_data();
    void replyTimeoutEndsOnlyOnItsReply();
    void syncRequestWaitsForQuietLine();
    void syncRequestHeldAtMostItsBound();
    void unreadableFrameAfterTheFirst();
    void unpluggedCablePauses();
    void noController_data();
    void noController();
    void destroyedDuringTraffic();

private:
    void connectController();
    int commands(int card, quint8 opcode) const
    {
        return emu->card(card)->commandsReceived(opcode);
    }
    int getStatusCalls() const;

    std::shared_ptr<EmulatedD2xx> emu;
    std::unique_ptr<VX420Controller> controller;
};

void tst_VX420Controller::init()
{
    emu = std::make_shared<EmulatedD2xx>(EmulatedD2xx::Timing::Instant);
    controller = std::make_unique<VX420Controller>(nullptr, emu);
}

void tst_VX420Controller::cleanup()
{
    controller.reset();
    emu.reset();
}

void tst_VX420Controller::connectController()
{
    QSignalSpy device(controller.get(), &VX420Controller::notifyDeviceSelected);
    QSignalSpy selected(controller.get(), &VX420Controller::notifyLineCardsSelected);
    controller->onReqDefaultStartup();
    QCOMPARE(device.count(), 1);
    QCOMPARE(device.at(0).at(0).toBool(), true);
    QTRY_COMPARE(selected.count(), 1);
    QCOMPARE(selected.at(0).at(0).toBool(), true);
    QCOMPARE(controller->linkMode(), VX420Controller::Commands);
}

int tst_VX420Controller::getStatusCalls() const
{
    int count = 0;
    for (const EmulatorCall &call : emu->calls())
        count += call.function == "FT_GetStatus";
    return count;
}

void tst_VX420Controller::identifyOneCard()
{
    EmulatedCardIdentity identity;
    identity.blockManufacturer = 6;
    identity.blockType = 11;
    identity.pairByte = 0x90; // 16 pairs, four wires
    identity.productId = 0x33;
    identity.platformId = 0x05;
    identity.serialNumber = 4000123456u;
    emu->addCard(identity);
    connectController();

    QSignalSpy frameRate(controller.get(), &VX420Controller::notifyFrameRate);
    QSignalSpy info(controller.get(), &VX420Controller::notifyLineCardInfo);
    QSignalSpy errors(controller.get(), &VX420Controller::notifySeriousError);

    controller->onReqCmdFrameInterval(12500);
    QTRY_COMPARE(frameRate.count(), 1);
    QCOMPARE(frameRate.at(0), (QVariantList{0, 1250}));
    QCOMPARE(emu->frameIntervalUs(), quint32(12500));

    controller->onReqCmdIdentify(1);
    QTRY_COMPARE(info.count(), 1);
    QCOMPARE(info.at(0).at(0).toInt(), 0);
    QCOMPARE(controller->cardCount(), 1);

    const CardInfo *record = controller->lineCardInfo(0);
    QVERIFY(record);
    QCOMPARE(record->serialNumber, 4000123456u);
    QCOMPARE(int(record->blockManufacturer), 6);
    QCOMPARE(int(record->blockType), 11);
    QCOMPARE(int(record->blockPairCount), 16);
    QCOMPARE(int(record->wiresPerPair), 4);
    QCOMPARE(int(record->productId), 0x33);
    QCOMPARE(int(record->platformId), 0x05);
    QVERIFY(!controller->lineCardInfo(-1));
    QVERIFY(!controller->lineCardInfo(1));
    QCOMPARE(errors.count(), 0);
}

void tst_VX420Controller::oneRecordPerSlot_data()
{
    QTest::addColumn<int>("cards");
    QTest::newRow("two cards") << 2;
    QTest::newRow("three cards") << 3;
}

void tst_VX420Controller::oneRecordPerSlot()
{
    QFETCH(int, cards);
    for (int i = 0; i < cards; ++i) {
        EmulatedCardIdentity identity;
        identity.serialNumber = 1000 + quint32(i);
        identity.blockManufacturer = quint8(i);
        emu->addCard(identity);
    }
    connectController();

    // The information command goes to every card.
    QSignalSpy info(controller.get(), &VX420Controller::notifyLineCardInfo);
    controller->onReqCmdGetLineCardInfo();
    QTRY_COMPARE(info.count(), cards);
    QCOMPARE(controller->cardCount(), cards);
    for (int i = 0; i < cards; ++i) {
        QCOMPARE(info.at(i).at(0).toInt(), i);
        QVERIFY(controller->lineCardInfo(i));
        QCOMPARE(controller->lineCardInfo(i)->serialNumber, 1000u + quint32(i));
        QCOMPARE(int(controller->lineCardInfo(i)->blockManufacturer), i);
    }
    QVERIFY(!controller->lineCardInfo(cards));

    // Identify names one card: card number 2 answers in slot 1.
    info.clear();
    controller->onReqCmdIdentify(2);
    QTRY_COMPARE(info.count(), 1);
    QCOMPARE(info.at(0).at(0).toInt(), 1);
    QTest::qWait(100);
    QCOMPARE(info.count(), 1);
}

void tst_VX420Controller::slotCountChangeRebuildsRecords()
{
    emu->addCard();
    emu->addCard();
    connectController();
    QSignalSpy info(controller.get(), &VX420Controller::notifyLineCardInfo);
    QSignalSpy led(controller.get(), &VX420Controller::notifyLed);
    QSignalSpy errors(controller.get(), &VX420Controller::notifySeriousError);
    controller->onReqCmdGetLineCardInfo();
    QTRY_COMPARE(info.count(), 2);
    QCOMPARE(controller->lineCardInfo(1)->serialNumber, 770001u);

    // A third card: the first frame of the new size after a command is
    // taken without an error, and the next reply rebuilds all records.
    emu->addCard();
    controller->onReqCmdLedGreen();
    QTRY_COMPARE(led.count(), 3);
    QCOMPARE(controller->cardCount(), 3);
    QVERIFY(controller->lineCardInfo(2));
    QCOMPARE(controller->lineCardInfo(0)->serialNumber, 0u);
    QCOMPARE(controller->lineCardInfo(1)->serialNumber, 0u);
    QCOMPARE(errors.count(), 0);
}

void tst_VX420Controller::commandWireBytes_data()
{
    QTest::addColumn<QString>("slot");
    QTest::addColumn<int>("argument");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("frame interval 12500: 03 E6 04")
        << "onReqCmdFrameInterval" << 12500 << QByteArray::fromHex("03 E6 04");
    QTest::newRow("frame interval 19: 03 01 FF")
        << "onReqCmdFrameInterval" << 19 << QByteArray::fromHex("03 01 FF");
    QTest::newRow("fast frames before any frame: 03 63 05")
        << "onReqCmdFastFrames" << -1 << QByteArray::fromHex("03 63 05");
    QTest::newRow("identify 3: 84 03 FF")
        << "onReqCmdIdentify" << 3 << QByteArray::fromHex("84 03 FF");
    QTest::newRow("information: 04 FF FF")
        << "onReqCmdGetLineCardInfo" << -1 << QByteArray::fromHex("04 FF FF");
    QTest::newRow("flash version: 06 FF FF")
        << "onReqFlashVersion" << -1 << QByteArray::fromHex("06 FF FF");
    QTest::newRow("reflash: 07 FF FF")
        << "onReqReflashAction" << -1 << QByteArray::fromHex("07 FF FF");
    QTest::newRow("beacon: 10 FF FF") << "onReqCmdBeacon" << -1 << QByteArray::fromHex("10 FF FF");
    QTest::newRow("listen: 11 FF FF") << "onReqCmdListen" << -1 << QByteArray::fromHex("11 FF FF");
    QTest::newRow("clamp: 12 FF FF") << "onReqCmdClamp" << -1 << QByteArray::fromHex("12 FF FF");
    QTest::newRow("continuity: 13 FF FF")
        << "onReqCmdContinuity" << -1 << QByteArray::fromHex("13 FF FF");
    QTest::newRow("red: 21 FF FF") << "onReqCmdLedRed" << -1 << QByteArray::fromHex("21 FF FF");
    QTest::newRow("green: 22 FF FF") << "onReqCmdLedGreen" << -1 << QByteArray::fromHex("22 FF FF");
    QTest::newRow("yellow: 23 FF FF")
        << "onReqCmdLedYellow" << -1 << QByteArray::fromHex("23 FF FF");
    QTest::newRow("off: 28 FF FF") << "onReqCmdLedOff" << -1 << QByteArray::fromHex("28 FF FF");
    QTest::newRow("on: 29 FF FF") << "onReqCmdLedOn" << -1 << QByteArray::fromHex("29 FF FF");
    QTest::newRow("flash slow: 2A FF FF")
        << "onReqCmdLedFlashSlow" << -1 << QByteArray::fromHex("2A FF FF");
}

void tst_VX420Controller::commandWireBytes()
{
    QFETCH(QString, slot);
    QFETCH(int, argument);
    QFETCH(QByteArray, body);

    emu->addCard();
    connectController();
    const QByteArray name = slot.toLatin1();
    if (argument < 0)
        QVERIFY(QMetaObject::invokeMethod(controller.get(), name.constData()));
    else
        QVERIFY(
            QMetaObject::invokeMethod(controller.get(), name.constData(), Q_ARG(int, argument)));
    QCOMPARE(controller->linkMode(), VX420Controller::Commands);
    // Commands the card does not know are answered CONFUSED and sent once more.
    QTRY_VERIFY(!emu->card(0)->receivedCommands().isEmpty());
    QCOMPARE(emu->card(0)->receivedCommands().at(0), body);
}

void tst_VX420Controller::confusedResendRule()
{
    emu->addCard();
    connectController();
    QSignalSpy led(controller.get(), &VX420Controller::notifyLed);

    // CONFUSED twice in a row: one re-send, then the card is left alone.
    emu->card(0)->confusedNextReplies(2);
    controller->onReqCmdLedGreen();
    QTRY_COMPARE(commands(0, OPCODE_LED_GREEN), 2);
    QTest::qWait(100);
    QCOMPARE(commands(0, OPCODE_LED_GREEN), 2);
    QCOMPARE(led.count(), 0);

    // A plain reply re-arms the re-send; then CONFUSED, another reply,
    // CONFUSED: each confusion gets its re-send.
    controller->onReqCmdLedOff(); // 3: answered
    QTRY_COMPARE(led.count(), 1);
    emu->card(0)->confusedReplyTo(4);
    emu->card(0)->confusedReplyTo(6);
    controller->onReqCmdLedRed(); // 4: confused, re-sent as 5: answered
    QTRY_COMPARE(led.count(), 2);
    controller->onReqCmdLedYellow(); // 6: confused, re-sent as 7: answered
    QTRY_COMPARE(led.count(), 3);
    QCOMPARE(commands(0, OPCODE_LED_RED), 2);
    QCOMPARE(commands(0, OPCODE_LED_YELLOW), 2);
    QCOMPARE(led.at(2), (QVariantList{0, int(OPCODE_LED_YELLOW)}));
}

void tst_VX420Controller::silentCardRaisesNoReplyOncePerTransmission()
{
    emu->addCard();
    connectController();
    QSignalSpy errors(controller.get(), &VX420Controller::notifySeriousError);

    emu->card(0)->dropNextReplies(2);
    controller->onReqCmdLedGreen();
    QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 3000);
    QCOMPARE(errors.at(0).at(0).toInt(), int(VX420Controller::SeriousErrorNoReply));
    QTest::qWait(2300);
    QCOMPARE(errors.count(), 1);

    controller->onReqCmdLedGreen();
    QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 2, 3000);
    QCOMPARE(errors.at(1).at(0).toInt(), int(VX420Controller::SeriousErrorNoReply));
}

// Only the reply to the command in flight ends its reply time-out. A command
// that only asks is sent once more when its reply is lost; one that acts is
// not.
void tst_VX420Controller::replyTimeoutEndsOnlyOnItsReply_data()
{
    QTest::addColumn<int>(
        "command"); // 0: flash version, 1: reflash, 2: frame interval, 3: identify
    QTest::addColumn<QByteArray>("stray"); // a report before the reply to the first send
    QTest::addColumn<int>("lost");         // replies lost, from the first send on
    QTest::addColumn<int>("sends");
    QTest::addColumn<bool>("noReply");

    const QByteArray led = QByteArray::fromHex("22FFFF");
    const QByteArray identity = QByteArray::fromHex("04010021040000"
                                                    "0A01020304D1BF0B0000000000");
    QTest::newRow("flash version: a stray LED report, its reply lost: asked again")
        << 0 << led << 1 << 2 << false;
    QTest::newRow("flash version: both replies lost") << 0 << QByteArray() << 2 << 2 << true;
    QTest::newRow("reflash: a stray LED report, its reply lost: not sent twice")
        << 1 << led << 1 << 1 << true;
    QTest::newRow("frame interval: a late identity, its reply lost: asked again")
        << 2 << identity << 1 << 2 << false;
    QTest::newRow("identify: reply lost once") << 3 << QByteArray() << 1 << 2 << false;
}

void tst_VX420Controller::replyTimeoutEndsOnlyOnItsReply()
{
    QFETCH(int, command);
    QFETCH(QByteArray, stray);
    QFETCH(int, lost);
    QFETCH(int, sends);
    QFETCH(bool, noReply);

    emu->addCard();
    emu->card(0)->setFlashVersions(0x00010003, 0x00010002);
    connectController();
    QSignalSpy errors(controller.get(), &VX420Controller::notifySeriousError);
    QSignalSpy status(controller.get(), &VX420Controller::notifyReflashStatus);
    QSignalSpy reflash(controller.get(), &VX420Controller::notifyReflashResult);
    QSignalSpy frameRate(controller.get(), &VX420Controller::notifyFrameRate);
    QSignalSpy identityReports(controller.get(), &VX420Controller::notifyLineCardInfo);
    const int first = emu->card(0)->receivedCommands().size() + 1;
    if (!stray.isEmpty())
        emu->card(0)->strayBefore(first, stray);
    for (int i = 0; i < lost; ++i)
        emu->card(0)->dropReplyTo(first + i);

    const quint8 headers[] = {GET_FLASH_VER, REFLASH_ACTION, OPCODE_FRAME_INTERVAL,
                              OPCODE_IDENTIFY};
    switch (command) {
    case 0:
        controller->onReqFlashVersion();
        break;
    case 1:
        controller->onReqReflashAction();
        break;
    case 2:
        controller->onReqCmdFrameInterval(12500);
        break;
    default:
        controller->onReqCmdIdentify(1);
        break;
    }
    QSignalSpy *answered[] = {&status, &reflash, &frameRate, &identityReports};
    if (noReply)
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, (sends + 1) * VX420Controller::replyTimeoutMs);
    else
        QTRY_VERIFY_WITH_TIMEOUT(answered[command]->count() >= 1,
                                 (sends + 1) * VX420Controller::replyTimeoutMs);
    QTest::qWait(100);
    QCOMPARE(commands(0, headers[command]), sends);
    QCOMPARE(errors.count(), noReply ? 1 : 0);
    if (noReply)
        QCOMPARE(errors.at(0).at(0).toInt(), int(VX420Controller::SeriousErrorNoReply));
    QVERIFY(!controller->awaitingReply());
}

void tst_VX420Controller::syncRequestWaitsForQuietLine()
{
    emu->addCard();
    connectController();
    QSignalSpy frameRate(controller.get(), &VX420Controller::notifyFrameRate);
    controller->onReqCmdFrameInterval(12500);
    QTRY_COMPARE(frameRate.count(), 1);
    controller->onReqTxBootLoaderWhenQuiet(QByteArray::fromHex("19"));
    QVERIFY(controller->awaitingReply());
    QTRY_COMPARE(emu->card(0)->commandsReceived(OPCODE_BOOTLOADER), 1);
    QCOMPARE(emu->card(0)->receivedCommands().last(), QByteArray::fromHex("02FFFF19"));

    // From the last read that brought bytes to the sync request's write.
    qint64 lastBytesUs = -1;
    qint64 writeUs = -1;
    for (const EmulatorCall &call : emu->calls()) {
        if (call.function == "FT_Read" && !call.bytes.isEmpty() && writeUs < 0)
            lastBytesUs = call.timeUs;
        if (call.function == "FT_Write" && call.bytes.contains(QByteArray::fromHex("19")))
            writeUs = call.timeUs;
    }
    QVERIFY(lastBytesUs >= 0 && writeUs > lastBytesUs);
    QVERIFY2((writeUs - lastBytesUs) / 1000 >= controller->quietGapMs() - 2,
             qPrintable(QString::number(writeUs - lastBytesUs)));
}

void tst_VX420Controller::syncRequestHeldAtMostItsBound()
{
    emu->addCard();
    connectController();
    // A card that keeps talking: the line is never quiet.
    QTimer babble;
    connect(&babble, &QTimer::timeout, this,
            [this] { emu->strayReply(0, QByteArray::fromHex("22FFFF")); });
    babble.start(5);
    QTest::qWait(50);
    QElapsedTimer held;
    held.start();
    controller->onReqTxBootLoaderWhenQuiet(QByteArray::fromHex("19"));
    QTRY_COMPARE_WITH_TIMEOUT(emu->card(0)->commandsReceived(OPCODE_BOOTLOADER), 1, 3000);
    QVERIFY2(held.elapsed() >= VX420Controller::maxQuietHoldMs - 20,
             qPrintable(QString::number(held.elapsed())));
    QVERIFY2(held.elapsed() < VX420Controller::maxQuietHoldMs + 500,
             qPrintable(QString::number(held.elapsed())));
}

void tst_VX420Controller::unreadableFrameAfterTheFirst()
{
    emu->addCard();
    connectController();
    QSignalSpy errors(controller.get(), &VX420Controller::notifySeriousError);
    QSignalSpy led(controller.get(), &VX420Controller::notifyLed);
    controller->onReqCmdLedOff(); // one good reply: one card slot known
    QTRY_COMPARE(led.count(), 1);

    emu->card(0)->dropNextReplies(1);
    controller->onReqCmdLedGreen();
    QTRY_COMPARE(commands(0, OPCODE_LED_GREEN), 1);
    QTest::qWait(50);

    // The first unreadable frame after a transmission is forgiven.
    emu->injectReceived(QByteArray::fromHex("03 11 00"));
    QTest::qWait(100);
    QCOMPARE(errors.count(), 0);

    emu->injectReceived(QByteArray::fromHex("00"));
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toInt(), int(VX420Controller::SeriousErrorFrame));

    // A frame with another slot count is unreadable too.
    emu->injectReceived(QByteArray::fromHex("03 11 22 00"));
    QTRY_COMPARE(errors.count(), 2);

    // A new transmission forgives the first one again.
    emu->card(0)->dropNextReplies(1);
    controller->onReqCmdLedRed();
    QTRY_COMPARE(commands(0, OPCODE_LED_RED), 1);
    QTest::qWait(50);
    emu->injectReceived(QByteArray::fromHex("00"));
    QTest::qWait(100);
    QCOMPARE(errors.count(), 2);
}

void tst_VX420Controller::unpluggedCablePauses()
{
    emu->addCard();
    connectController();
    QSignalSpy errors(controller.get(), &VX420Controller::notifySeriousError);
    QTRY_VERIFY(getStatusCalls() > 0); // the ticks are running

    emu->pullCable();
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toInt(), int(VX420Controller::SeriousErrorIO));

    // No more service passes: the ticks are stopped and the worker paused.
    QTest::qWait(50);
    const int polls = getStatusCalls();
    QTest::qWait(100);
    QCOMPARE(getStatusCalls(), polls);
    QCOMPARE(errors.count(), 1);
}

void tst_VX420Controller::noController_data()
{
    QTest::addColumn<QByteArrayList>("descriptions");
    QTest::addColumn<bool>("openFails");

    QTest::newRow("no device") << QByteArrayList{} << false;
    QTest::newRow("VX420 Rev B") << QByteArrayList{"VX420 Rev B"} << false;
    QTest::newRow("vx420") << QByteArrayList{"vx420"} << false;
    QTest::newRow("open fails") << QByteArrayList{"VX420"} << true;
}

void tst_VX420Controller::noController()
{
    QFETCH(QByteArrayList, descriptions);
    QFETCH(bool, openFails);

    QList<EmulatedDevice> devices;
    for (const QByteArray &description : descriptions) {
        EmulatedDevice device;
        device.description = description;
        devices.append(device);
    }
    emu->setDevices(devices);
    emu->setOpenFails(openFails);
    emu->addCard();

    QSignalSpy device(controller.get(), &VX420Controller::notifyDeviceSelected);
    QSignalSpy selected(controller.get(), &VX420Controller::notifyLineCardsSelected);
    controller->onReqDefaultStartup();
    QCOMPARE(device.count(), 1);
    QCOMPARE(device.at(0).at(0).toBool(), false);

    QTest::qWait(100);
    QCOMPARE(selected.count(), 0);
    QCOMPARE(getStatusCalls(), 0);
    QVERIFY(!emu->lineState().lineCardPath);
    QCOMPARE(controller->linkMode(), VX420Controller::Idle);
}

void tst_VX420Controller::destroyedDuringTraffic()
{
    emu->addCard();
    connectController();
    QSignalSpy info(controller.get(), &VX420Controller::notifyLineCardInfo);
    for (int i = 0; i < 5; ++i) {
        controller->onReqCmdIdentify(1);
        QTest::qWait(5);
    }
    QTRY_VERIFY(info.count() > 0);
    controller->onReqCmdIdentify(1);
    controller.reset(); // joins the I/O thread

    const int calls = emu->calls().size();
    QTest::qWait(50);
    QCOMPARE(emu->calls().size(), calls);
}

QTEST_GUILESS_MAIN(tst_VX420Controller)
#include "tst_vx420controller.moc"
