#include "bootloader/BootLoader.h"
#include "bootloader/FirmwareImage.h"
#include "controller/Opcodes.h"
#include "controller/PacketCodec.h"
#include "controller/VX420Controller.h"
#include "emulator/EmulatedD2xx.h"
#include "tests/support/TestBytes.h"

#include <QElapsedTimer>
#include <QtTest>

#include <functional>
#include <memory>

// Configures the emulated card, or the controller's signals, before a
// sequence starts.
using CardSetup = std::function<void(EmulatedD2xx &, VX420Controller &)>;
Q_DECLARE_METATYPE(CardSetup)

namespace {

CardSetup onCard(const std::function<void(EmulatedD2xx &)> &change)
{
    return [change](EmulatedD2xx &emu, VX420Controller &) { change(emu); };
}

const QString kroneS2 = QStringLiteral(":/firmware/LQ770_KRONE_LSAPLUS_S2_10PAIR.txt");
// PLATFORM_ID 04 03; the others but one carry 04 01.
const QString quante20 = QStringLiteral(":/firmware/LQ770_QUANTE_SIDC_20PAIR.txt");
const QByteArray secret = "0123456789ABCDEF";
const int replyTimeoutMs = 2000;

// Bootloader opcodes as a hex text: "1E 1F 1F ...".
QByteArray opcodes(const QList<quint8> &list)
{
    QByteArray bytes;
    for (quint8 opcode : list)
        bytes.append(char(opcode));
    return PacketCodec::toHex(bytes);
}

// What an installation sends up to the first page: the lock is confirmed
// by a sync request before the mass erase.
QList<quint8> installStart(int lockToggles = 2)
{
    QList<quint8> list = {BSL_GET_DEVICE_ID, BSL_CAPACITY_CHECK, BSL_CAPACITY_CHECK};
    for (int i = 0; i < lockToggles; ++i)
        list.append(BSL_TOGGLE_INFO_LOCK);
    list.append(BSL_TX_BSL_VERSION);
    list.append(BSL_MASS_ERASE);
    list.append(BSL_RX_CRYPTO_IV);
    return list;
}

// The application check, confirmed by a sync request before the success.
const QList<quint8> check = {BSL_APPLICATION_CHECK, BSL_TX_BSL_VERSION};

QList<quint8> pages(int count)
{
    QList<quint8> list;
    for (int i = 0; i < count; ++i)
        list.append(BSL_RX_APP_CODE);
    return list;
}

// A segment of the four standard records behind a valid checksum.
QByteArray standardSegment(const QByteArray &identityBody)
{
    return segmentOf({infoRecord(0xC0, identityBody), infoRecord(0x10, QByteArray(16, '\x11')),
                      infoRecord(0xFE, QByteArray(8, '\x77')),
                      infoRecord(0x01, QByteArray(8, '\x22'))});
}

} // namespace

// The bootloader end to end: controller manager, comms worker, I/O thread
// and the emulated card's bootloader, in instant timing.
class tst_BootLoaderTunnel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void versionThroughTunnel();
    void installEachImage_data();
    void installEachImage();
    void lostRepliesAreResent_data();
    void lostRepliesAreResent();
    void refusalsEndInFailure_data();
    void refusalsEndInFailure();
    void installationRepeatedAfterRefusedPage();
    void silentCardEndsInFailure();
    void initialisation_data();
    void initialisation();

private:
    void connectController();
    // The bootloader opcodes card 0 received, as a hex text.
    QByteArray receivedOpcodes() const;

    std::shared_ptr<EmulatedD2xx> emu;
    std::unique_ptr<VX420Controller> controller;
};

void tst_BootLoaderTunnel::initTestCase()
{
    Q_INIT_RESOURCE(firmware);
}

void tst_BootLoaderTunnel::init()
{
    emu = std::make_shared<EmulatedD2xx>(EmulatedD2xx::Timing::Instant);
    controller = std::make_unique<VX420Controller>(nullptr, emu);
}

void tst_BootLoaderTunnel::cleanup()
{
    controller.reset();
    emu.reset();
}

void tst_BootLoaderTunnel::connectController()
{
    QSignalSpy selected(controller.get(), &VX420Controller::notifyLineCardsSelected);
    controller->onReqDefaultStartup();
    QTRY_COMPARE(selected.count(), 1);
    QCOMPARE(selected.at(0).at(0).toBool(), true);
}

QByteArray tst_BootLoaderTunnel::receivedOpcodes() const
{
    QList<quint8> list;
    for (const QByteArray &body : emu->card(0)->receivedCommands()) {
        if (body.size() > 3 && (quint8(body.at(0)) & OPCODE_MASK) == OPCODE_BOOTLOADER)
            list.append(quint8(body.at(3)));
    }
    return opcodes(list);
}

void tst_BootLoaderTunnel::versionThroughTunnel()
{
    emu->addCard();
    connectController();
    QSignalSpy version(controller.get(), &VX420Controller::notifyBootLoaderVersion);
    QSignalSpy status(controller.get(), &VX420Controller::notifyStatus);
    controller->onReqBootLoaderVersion();
    QTRY_COMPARE(version.count(), 1);
    QCOMPARE(version.at(0).at(0).value<uint32_t>(), uint32_t(0xE40302E1));
    QCOMPARE(status.at(0).at(0).toString(), QString("Got boot loader version e40302e1"));
    QCOMPARE(emu->card(0)->receivedCommands(), QList<QByteArray>{hex("02FFFF19")});
}

void tst_BootLoaderTunnel::installEachImage_data()
{
    QTest::addColumn<QString>("path");
    for (const char *name :
         {"LQ770_KRONE_LSAPLUS_HD180_10PAIR", "LQ770_KRONE_LSAPLUS_S2_10PAIR",
          "LQ770_QUANTE_SIDC_10PAIR", "LQ770_QUANTE_SIDC_20PAIR", "LQ770_RANDM_VS_COMPACT_10PAIR",
          "LQ770_RANDM_VS_COMPACT_16PAIR_XC", "LQ770_RANDM_VS_COMPACT_20PAIR"})
        QTest::newRow(name) << QString(":/firmware/%1.txt").arg(name);
}

void tst_BootLoaderTunnel::installEachImage()
{
    QFETCH(QString, path);
    FirmwareImage image;
    QVERIFY(image.load(path));
    const QByteArray payload = image.payload();
    QCOMPARE(payload.size(), 8192);

    emu->addCard();
    emu->card(0)->bootloader().setFirmware(
        CardFirmware::fromFile(path)); // a card of this image's board
    const QByteArray segment = emu->card(0)->bootloader().infoSegment();
    connectController();
    QSignalSpy result(controller.get(), &VX420Controller::notifyBootLoaderResult);
    QVERIFY(controller->loadFirmware(path));
    QElapsedTimer timer;
    timer.start();
    controller->onReqBootLoaderFirmwareInstall();
    QTRY_COMPARE_WITH_TIMEOUT(result.count(), 1, 30000);
    qInfo("Installation of %s: %lld ms", qPrintable(path), timer.elapsed());
    QCOMPARE(result.at(0).at(0).toBool(), true);

    QCOMPARE(emu->card(0)->bootloader().flash(0xD000, 8192), payload);
    QCOMPARE(emu->card(0)->bootloader().flash(0xC000, 0x1000), QByteArray(0x1000, '\xFF'));
    QCOMPARE(emu->card(0)->bootloader().flash(0xF000, 0x1000), QByteArray(0x1000, '\xFF'));
    QVERIFY(emu->card(0)->bootloader().applicationRunning());
    // Locked before the mass erase, so the segment survives it.
    QCOMPARE(emu->card(0)->bootloader().infoSegment(), segment);
    QVERIFY(emu->card(0)->bootloader().infoSegmentLocked());
    QCOMPARE(receivedOpcodes(), opcodes(installStart() + pages(128) + check));
    QVERIFY(!controller->awaitingReply());
    QCOMPARE(result.count(), 1);
}

void tst_BootLoaderTunnel::lostRepliesAreResent_data()
{
    QTest::addColumn<CardSetup>("setup");
    QTest::addColumn<int>("lost");
    QTest::addColumn<QByteArray>("sequence");

    // A reply time-out sends a sync request (the version request); once its
    // answer shows that the command's answer will not come, the command goes
    // out again.
    const QList<quint8> sync = {BSL_TX_BSL_VERSION};
    QTest::newRow("device identity reply lost once")
        << onCard([](EmulatedD2xx &emu) { emu.card(0)->bootloader().dropNextReplies(1); }) << 1
        << opcodes(QList<quint8>{BSL_GET_DEVICE_ID} + sync + installStart() + pages(128) + check);
    // Command 5 is the toggle that locks: its answer lost, the sync's
    // answer shows it; sent again, it unlocks, and the loop toggles once more.
    QList<quint8> lockLost = installStart(4);
    lockLost.insert(5, BSL_TX_BSL_VERSION);
    QTest::newRow("locking toggle's reply lost")
        << onCard([](EmulatedD2xx &emu) { emu.card(0)->dropReplyTo(5); }) << 1
        << opcodes(lockLost + pages(128) + check);
    // The page's answer and the first sync's are lost; the page is sent
    // again onto its own bytes.
    QTest::newRow("reply to page 40 lost twice")
        << CardSetup([](EmulatedD2xx &emu, VX420Controller &controller) {
               QObject::connect(&controller, &VX420Controller::notifyInstallProgress, &controller,
                                [&emu](int done, int) {
                                    if (done == 40)
                                        emu.card(0)->bootloader().dropNextReplies(2);
                                });
           })
        << 2 << opcodes(installStart() + pages(41) + sync + sync + pages(88) + check);
}

void tst_BootLoaderTunnel::lostRepliesAreResent()
{
    QFETCH(CardSetup, setup);
    QFETCH(int, lost);
    QFETCH(QByteArray, sequence);

    emu->addCard();
    connectController();
    setup(*emu, *controller);
    QSignalSpy result(controller.get(), &VX420Controller::notifyBootLoaderResult);
    QVERIFY(controller->loadFirmware(kroneS2));
    QElapsedTimer timer;
    timer.start();
    controller->onReqBootLoaderFirmwareInstall();
    QTRY_COMPARE_WITH_TIMEOUT(result.count(), 1, 30000);
    QCOMPARE(result.at(0).at(0).toBool(), true);
    QVERIFY(timer.elapsed() >= lost * replyTimeoutMs); // re-sent on the reply time-out

    FirmwareImage image;
    QVERIFY(image.load(kroneS2));
    QCOMPARE(emu->card(0)->bootloader().flash(0xD000, 8192), image.payload());
    QCOMPARE(receivedOpcodes(), sequence);
    QVERIFY(emu->card(0)->bootloader().infoSegmentLocked());
}

void tst_BootLoaderTunnel::refusalsEndInFailure_data()
{
    QTest::addColumn<CardSetup>("setup");
    QTest::addColumn<QByteArray>("sequence");
    QTest::addColumn<int>("pagesWritten");
    QTest::addColumn<bool>("massErased");

    QTest::newRow("another device identity") << onCard([](EmulatedD2xx &emu) {
        emu.card(0)->bootloader().setDeviceId(hex("2554"
                                                  "0102030405060708090A0B0C0D0E"));
    }) << opcodes({BSL_GET_DEVICE_ID}) << 0 << false;
    QTest::newRow("flash probe refused")
        << onCard([](EmulatedD2xx &emu) { emu.card(0)->bootloader().refuseCapacityProbe(0xC000); })
        << opcodes({BSL_GET_DEVICE_ID, BSL_CAPACITY_CHECK}) << 0 << false;
    QTest::newRow("SRAM probe refused")
        << onCard([](EmulatedD2xx &emu) { emu.card(0)->bootloader().refuseCapacityProbe(0x03FE); })
        << opcodes({BSL_GET_DEVICE_ID, BSL_CAPACITY_CHECK, BSL_CAPACITY_CHECK}) << 0 << false;
    // Without the lock the mass erase would take the segment too.
    const int toggles = BootLoader::MAX_LOCK_TOGGLES;
    QTest::newRow("lock that never locks: no mass erase")
        << onCard([](EmulatedD2xx &emu) { emu.card(0)->bootloader().setLockNeverLocks(true); })
        << opcodes(installStart(toggles).mid(0, 3 + toggles)) // up to the last toggle
        << 0 << false;
    QTest::newRow("page 5 refused every time")
        << onCard([](EmulatedD2xx &emu) { emu.card(0)->bootloader().refusePage(5, -1); })
        << opcodes(installStart() + pages(6)) << 5 << true;
}

void tst_BootLoaderTunnel::refusalsEndInFailure()
{
    QFETCH(CardSetup, setup);
    QFETCH(QByteArray, sequence);
    QFETCH(int, pagesWritten);
    QFETCH(bool, massErased);

    emu->addCard();
    const QByteArray segment = emu->card(0)->bootloader().infoSegment();
    connectController();
    setup(*emu, *controller);
    QSignalSpy result(controller.get(), &VX420Controller::notifyBootLoaderResult);
    QVERIFY(controller->loadFirmware(kroneS2));
    controller->onReqBootLoaderFirmwareInstall();
    QTRY_COMPARE_WITH_TIMEOUT(result.count(), 1, 30000);
    QCOMPARE(result.at(0).at(0).toBool(), false);

    QCOMPARE(receivedOpcodes(), sequence);
    FirmwareImage image;
    QVERIFY(image.load(kroneS2));
    const int written = pagesWritten * 64;
    QCOMPARE(emu->card(0)->bootloader().flash(0xD000, written), image.payload().left(written));
    QCOMPARE(emu->card(0)->bootloader().flash(0xD000 + quint32(written), 0x4000 - 0x1000 - written),
             QByteArray(0x4000 - 0x1000 - written, '\xFF'));
    QCOMPARE(emu->card(0)->bootloader().applicationRunning(), !massErased);
    QCOMPARE(emu->card(0)->bootloader().infoSegment(), segment);
    QVERIFY(!controller->awaitingReply());
    QCOMPARE(result.count(), 1);
}

void tst_BootLoaderTunnel::installationRepeatedAfterRefusedPage()
{
    emu->addCard();
    emu->card(0)->bootloader().refusePage(100, 1);
    connectController();
    QSignalSpy result(controller.get(), &VX420Controller::notifyBootLoaderResult);
    QVERIFY(controller->loadFirmware(kroneS2));
    controller->onReqBootLoaderFirmwareInstall();
    QTRY_COMPARE_WITH_TIMEOUT(result.count(), 1, 30000);
    QCOMPARE(result.at(0).at(0).toBool(), false);

    // The second run erases the 100 pages the first one left behind.
    controller->onReqBootLoaderFirmwareInstall();
    QTRY_COMPARE_WITH_TIMEOUT(result.count(), 2, 30000);
    QCOMPARE(result.at(1).at(0).toBool(), true);
    FirmwareImage image;
    QVERIFY(image.load(kroneS2));
    QCOMPARE(emu->card(0)->bootloader().flash(0xD000, 8192), image.payload());
    QVERIFY(emu->card(0)->bootloader().applicationRunning());
}

void tst_BootLoaderTunnel::silentCardEndsInFailure()
{
    emu->addCard();
    emu->card(0)->stopAnsweringAfter(10); // up to page 1; page 2 reaches nobody
    connectController();
    emu->clearCalls();
    QSignalSpy result(controller.get(), &VX420Controller::notifyBootLoaderResult);
    QVERIFY(controller->loadFirmware(kroneS2));
    QElapsedTimer timer;
    timer.start();
    controller->onReqBootLoaderFirmwareInstall();
    const int bound = (BslExchange::MAX_TIMEOUTS + 1) * replyTimeoutMs;
    QTRY_COMPARE_WITH_TIMEOUT(result.count(), 1, bound + 8000);
    QCOMPARE(result.at(0).at(0).toBool(), false);
    QVERIFY(timer.elapsed() >= bound);
    QVERIFY(!controller->awaitingReply());

    // Page 2 went out once, then a sync request on every reply time-out but
    // the last: while the page may still be answered it is not sent again.
    QList<QByteArray> writes;
    for (const EmulatorCall &call : emu->calls()) {
        if (call.function == "FT_Write")
            writes.append(call.bytes);
    }
    QCOMPARE(writes.size(), 10 + 1 + BslExchange::MAX_TIMEOUTS);
    for (int i = 11; i < writes.size(); ++i)
        QCOMPARE(PacketCodec::toHex(writes.at(i)), QByteArray("55 02 FF FF 19 05 00 7E 61"));
    QCOMPARE(receivedOpcodes(), opcodes(installStart() + pages(2)));
}

void tst_BootLoaderTunnel::initialisation_data()
{
    QTest::addColumn<QByteArray>("segment"); // empty: the card's own
    QTest::addColumn<QString>("image");      // empty: none loaded
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("sequence");
    QTest::addColumn<int>("oldSerial");
    QTest::addColumn<QByteArray>("platform");
    QTest::addColumn<QByteArray>("emptyBody");

    const QByteArray login = opcodes({BSL_RX_PASSWORD});
    // The unlock and the relock confirmed before the erase and the success.
    const QByteArray rewrite = opcodes({BSL_TX_DATA_BLOCK, BSL_TOGGLE_INFO_LOCK, BSL_TX_BSL_VERSION,
                                        BSL_ERASE_SEGMENT, BSL_RX_DATA_BLOCK, BSL_TOGGLE_INFO_LOCK,
                                        BSL_TX_BSL_VERSION});
    const QByteArray withSecret = standardSegment(hex("0401") + le32(~55u) + secret);
    const QByteArray withOther = standardSegment(hex("0401") + le32(~55u) + "FEDCBA9876543210");

    QTest::newRow("card's own segment: default password accepted, platform kept")
        << QByteArray() << QString() << true << login + ' ' + rewrite << 770001 << hex("0401")
        << QByteArray(8, '\xFF');
    QTest::newRow("segment with the secret: default refused, secret accepted, image's platform")
        << withSecret << quante20 << true << login + ' ' + login + ' ' + rewrite << 55
        << hex("0403") << QByteArray(8, '\x77');
    QTest::newRow("erased segment: standard records rebuilt")
        << QByteArray(64, '\xFF') << kroneS2 << true << login + ' ' + rewrite << 0 << hex("0401")
        << QByteArray(8, '\xFF');
    QTest::newRow("segment with another secret: both refused, segment kept")
        << withOther << QString() << false << login + ' ' + login << -1 << QByteArray()
        << QByteArray();
}

void tst_BootLoaderTunnel::initialisation()
{
    QFETCH(QByteArray, segment);
    QFETCH(QString, image);
    QFETCH(bool, ok);
    QFETCH(QByteArray, sequence);
    QFETCH(int, oldSerial);
    QFETCH(QByteArray, platform);
    QFETCH(QByteArray, emptyBody);

    emu->addCard();
    if (!segment.isEmpty())
        emu->card(0)->bootloader().setInfoSegment(segment);
    const QByteArray before = emu->card(0)->bootloader().infoSegment();
    connectController();
    if (!image.isEmpty())
        QVERIFY(controller->loadFirmware(image));
    QSignalSpy result(controller.get(), &VX420Controller::notifyBootLoaderResult);
    QSignalSpy serial(controller.get(), &VX420Controller::notifyLineCardSerial);
    controller->setSecretPassword(secret);
    controller->setLineCardNumber(1234);
    controller->onReqBootLoaderInitLineCard();
    QTRY_COMPARE_WITH_TIMEOUT(result.count(), 1, 30000);
    QCOMPARE(result.at(0).at(0).toBool(), ok);
    QCOMPARE(receivedOpcodes(), sequence);
    QVERIFY(emu->card(0)->bootloader().infoSegmentLocked());
    QVERIFY(!controller->awaitingReply());
    if (!ok) {
        QCOMPARE(emu->card(0)->bootloader().infoSegment(), before);
        QCOMPARE(serial.count(), 0);
        return;
    }

    QTRY_COMPARE(serial.count(), 1);
    QCOMPARE(serial.at(0).at(0).toInt(), oldSerial);
    const QByteArray after = emu->card(0)->bootloader().infoSegment();
    QCOMPARE(PacketCodec::toHex(after.mid(2, 2)), QByteArray("C0 16"));
    // Platform, the complement of 1234 least significant byte first, the secret.
    QCOMPARE(PacketCodec::toHex(after.mid(4, 22)),
             PacketCodec::toHex(platform + hex("2DFBFFFF") + secret));
    QCOMPARE(PacketCodec::toHex(after.mid(26, 18)),
             PacketCodec::toHex(hex("1010"
                                    "008000006C7FE6027003D37FBB010E02")));
    QCOMPARE(PacketCodec::toHex(after.mid(44, 10)), PacketCodec::toHex(hex("FE08") + emptyBody));
    QCOMPARE(PacketCodec::toHex(after.mid(54, 10)), PacketCodec::toHex(hex("0108"
                                                                           "918F968E8580C086")));
    QVERIFY(segmentChecksumHolds(after));
}

QTEST_GUILESS_MAIN(tst_BootLoaderTunnel)
#include "tst_bootloadertunnel.moc"
