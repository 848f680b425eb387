#include "tests/support/EmulatedChipFixture.h"
#include "emulator/EmulatorCodec.h"
#include "tests/support/TestBytes.h"

#include <QtTest>

#include <functional>

// Configures the emulator before a scripted exchange; may be empty.
using EmulatorSetup = std::function<void(EmulatedD2xx &)>;
Q_DECLARE_METATYPE(EmulatorSetup)

static const QByteArray secret = "0123456789ABCDEF";
static const QByteArray erasedPassword(16, '\xFF');

static QByteArray segmentWithPassword(const QByteArray &password, quint8 identityTag = 0xC0)
{
    return segmentOf({infoRecord(identityTag, hex("0401") + hex("C8FFFFFF") + password),
                      infoRecord(0x10, QByteArray(16, '\x11')),
                      infoRecord(0xFE, QByteArray(8, '\xFF')),
                      infoRecord(0x01, QByteArray(8, '\x22'))});
}

// Commands and the replies expected to them, in order; "none" for no reply.
struct BslScript
{
    BslScript &step(const QByteArray &command, const QByteArray &reply)
    {
        commands.append(command);
        replies.append(reply);
        return *this;
    }
    QList<QByteArray> commands;
    QList<QByteArray> replies;
};

// The emulated card's bootloader: its commands and replies, its power-up
// memory, the application it starts, and one per card.
class tst_EmulatedBootloader : public EmulatedChipFixture
{
    Q_OBJECT

private slots:
    void init();

    void bootloaderScript_data();
    void bootloaderScript();
    void bootloaderPowerUpState();
    void flashVersionFollowsApplication();
    void bootloaderKnobsOnMissingCard();
    void massErasesRecordTheLock();
};

void tst_EmulatedBootloader::init()
{
    makeEmulator(EmulatedD2xx::Timing::Instant);
}

void tst_EmulatedBootloader::bootloaderScript_data()
{
    QTest::addColumn<EmulatorSetup>("setup");
    QTest::addColumn<QList<QByteArray>>("commands");
    QTest::addColumn<QList<QByteArray>>("replies");

    const QByteArray ok = bslMessage(0);
    const QByteArray failed = bslMessage(1);
    const QByteArray locked = bslMessage(4);
    const QByteArray refused = bslMessage(5);
    const QByteArray unknown = bslMessage(7);
    const QByteArray none = "none";
    const QByteArray iv = hex("C5899F28D8555CE07F3990EEF99841BF");
    QByteArray page0, page1;
    for (int i = 0; i < 64; ++i) {
        page0.append(char(i * 3 + 1));
        page1.append(char(0x80 + i));
    }
    QByteArray page0Changed = page0;
    page0Changed[10] = char(0x55);
    const QByteArray readSegment = bslAt(0x18, 0x10C0, le16(64));
    const QByteArray segmentA = segmentWithPassword(erasedPassword);
    const QByteArray segmentB = segmentWithPassword(secret);
    const auto withSegment = [](const QByteArray &segment) {
        return EmulatorSetup(
            [segment](EmulatedD2xx &emu) { emu.card(0)->bootloader().setInfoSegment(segment); });
    };
    // The firmware the card's board is built for, which its check accepts.
    const auto withFirmware = [iv](const QByteArray &payload, quint32 load = 0xD000,
                                   const EmulatorSetup &more = {}) {
        return EmulatorSetup([=](EmulatedD2xx &emu) {
            CardFirmware firmware;
            firmware.loadAddress = load;
            firmware.iv = iv;
            firmware.payload = payload;
            emu.card(0)->bootloader().setFirmware(firmware);
            if (more)
                more(emu);
        });
    };
    const auto install = [&](BslScript script, quint32 load = 0xD000) {
        return script.step(hex("15"), ok).step(bslAt(0x21, load, iv), ok);
    };
    const auto row = [](const char *name, const BslScript &script,
                        const EmulatorSetup &setup = EmulatorSetup()) {
        QTest::newRow(name) << setup << script.commands << script.replies;
    };

    row("identity 25 53 .., version E1 02 03 E4, buffer size 64, platform 04 01",
        BslScript()
            .step(hex("1E"), bslData(hex("2553"
                                         "0102030405060708090A0B0C0D0E")))
            .step(hex("19"), bslData(hex("E10203E4")))
            .step(hex("1A"), bslData(hex("4000")))
            .step(hex("1D"), bslData(hex("0401"))));
    row("another device identity",
        BslScript().step(hex("1E"), bslData(hex("2554"
                                                "AABB"))),
        [](EmulatedD2xx &emu) {
            emu.card(0)->bootloader().setDeviceId(hex("2554"
                                                      "AABB"));
        });
    row("capacity: 0 in flash and SRAM, 1 elsewhere", BslScript()
                                                          .step(bslAt(0x1F, 0xC000), ok)
                                                          .step(bslAt(0x1F, 0xFFFF), ok)
                                                          .step(bslAt(0x1F, 0x0200), ok)
                                                          .step(bslAt(0x1F, 0x03FE), ok)
                                                          .step(bslAt(0x1F, 0x03FF), ok)
                                                          .step(bslAt(0x1F, 0xBFFF), failed)
                                                          .step(bslAt(0x1F, 0x0400), failed)
                                                          .step(bslAt(0x1F, 0x01FF), failed)
                                                          .step(bslAt(0x1F, 0x10C0), failed)
                                                          .step(bslAt(0x1F, 0x10000), failed));
    row("capacity: a probe refused on request",
        BslScript().step(bslAt(0x1F, 0xC000), failed).step(bslAt(0x1F, 0xC002), ok),
        [](EmulatedD2xx &emu) { emu.card(0)->bootloader().refuseCapacityProbe(0xC000); });
    row("lock: locked at power-up, each toggle answers the new state (1 locked)",
        BslScript().step(hex("13"), ok).step(hex("13"), failed).step(hex("13"), ok));
    row("lock that never locks",
        BslScript().step(hex("13"), ok).step(hex("13"), ok).step(hex("13"), ok),
        [](EmulatedD2xx &emu) { emu.card(0)->bootloader().setLockNeverLocks(true); });
    row("segment: erase and write only unlocked, write only onto erased bytes",
        BslScript()
            .step(bslAt(0x12, 0x10C0), locked)
            .step(bslAt(0x10, 0x10C0, segmentB), locked)
            .step(readSegment, bslData(segmentA))
            .step(hex("13"), ok)
            .step(bslAt(0x10, 0x10C0, segmentB), failed)
            .step(bslAt(0x12, 0x1100), failed)
            .step(bslAt(0x12, 0x10C0), ok)
            .step(readSegment, bslData(QByteArray(64, '\xFF')))
            .step(bslAt(0x10, 0x10F0, QByteArray(32, '\x33')), failed) // runs past the segment
            .step(bslAt(0x10, 0x10C0, segmentB), ok)
            .step(readSegment, bslData(segmentB))
            .step(bslAt(0x10, 0x10C0, segmentB), failed),
        withSegment(segmentA));
    row("mass erase keeps a locked segment, erases an unlocked one",
        BslScript()
            .step(hex("15"), ok)
            .step(readSegment, bslData(segmentA))
            .step(hex("13"), ok)
            .step(hex("15"), ok)
            .step(readSegment, bslData(QByteArray(64, '\xFF'))),
        withSegment(segmentA));
    row("installation: IV after a mass erase, pages onto erased flash, re-sent page, check",
        BslScript()
            .step(bslAt(0x21, 0xD000, iv), failed) // no mass erase yet
            .step(bslAt(0x22, 0xD000, page0), failed)
            .step(hex("15"), ok)
            .step(hex("20"), failed) // no IV
            .step(bslAt(0x22, 0xD000, page0), failed)
            .step(bslAt(0x21, 0xD000, iv), ok)
            .step(bslAt(0x21, 0xD000, iv), ok) // re-sent before any code
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(bslAt(0x22, 0xD000, page0), ok) // re-sent
            .step(bslAt(0x22, 0xD000, page0Changed), failed)
            .step(bslAt(0x21, 0xD000, iv), failed) // after code
            .step(bslAt(0x22, 0xD040, page1.left(32)), ok)
            .step(bslAt(0x18, 0xD000, le16(64)), bslData(page0))
            .step(bslAt(0x1C, 0xD060, le16(0x0FA0)), ok)
            .step(bslAt(0x1C, 0xD050, le16(0x10)), failed)
            .step(hex("20"), ok)
            .step(hex("20"), ok),
        withFirmware(page0 + page1.left(32)));
    row("check: a gap between pages fails", install(BslScript())
                                                .step(bslAt(0x22, 0xD000, page0), ok)
                                                .step(bslAt(0x22, 0xD080, page1), ok)
                                                .step(hex("20"), failed));
    row("check: code not starting at the IV's address fails",
        install(BslScript()).step(bslAt(0x22, 0xD040, page1), ok).step(hex("20"), failed));
    row("check: no code fails", install(BslScript()).step(hex("20"), failed));
    row("check: the card's own payload passes",
        install(BslScript())
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(bslAt(0x22, 0xD040, page1), ok)
            .step(hex("20"), ok),
        withFirmware(page0 + page1));
    row("check: another board's payload fails",
        install(BslScript())
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(bslAt(0x22, 0xD040, page0), ok)
            .step(hex("20"), failed),
        withFirmware(page0 + page1));
    row("check: more than the payload fails",
        install(BslScript())
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(bslAt(0x22, 0xD040, page1), ok)
            .step(hex("20"), failed),
        withFirmware(page0));
    row("check: another vector fails",
        BslScript()
            .step(hex("15"), ok)
            .step(bslAt(0x21, 0xD000, QByteArray(16, '\x42')), ok)
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(hex("20"), failed),
        withFirmware(page0));
    row("check: another load address fails",
        install(BslScript(), 0xD040).step(bslAt(0x22, 0xD040, page0), ok).step(hex("20"), failed),
        withFirmware(page0));
    row("check: a board without firmware never passes",
        install(BslScript()).step(bslAt(0x22, 0xD000, page0), ok).step(hex("20"), failed),
        [](EmulatedD2xx &emu) {
            EmulatedCardIdentity unknown;
            unknown.blockManufacturer = 6;
            unknown.blockType = 2;
            emu.card(0)->setIdentity(unknown);
        });
    row("a mass erase ends the installation",
        install(BslScript())
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(hex("15"), ok)
            .step(bslAt(0x22, 0xD040, page1), failed)
            .step(hex("20"), failed)
            .step(bslAt(0x18, 0xD000, le16(16)), bslData(QByteArray(16, '\xFF'))));
    row("IV and code outside main flash, too long or empty refused",
        BslScript()
            .step(hex("15"), ok)
            .step(bslAt(0x21, 0x0200, iv), failed)
            .step(bslAt(0x21, 0xC000, QByteArray()), failed)
            .step(bslAt(0x21, 0xC000, iv), ok)
            .step(bslAt(0x22, 0xFFE0, page0), failed) // runs past 0xFFFF
            .step(bslAt(0x22, 0x0200, page0), failed)
            .step(bslAt(0x22, 0xC000, page0 + 'x'), failed)
            .step(bslAt(0x22, 0xC000, QByteArray()), failed)
            .step(bslAt(0x22, 0xFFC0, page0), ok));
    row("pages refused on request: page 1 twice, page 2 always",
        install(BslScript())
            .step(bslAt(0x22, 0xD000, page0), ok)
            .step(bslAt(0x22, 0xD040, page1), refused)
            .step(bslAt(0x22, 0xD040, page1), refused)
            .step(bslAt(0x22, 0xD040, page1), ok)
            .step(bslAt(0x22, 0xD080, page0), refused)
            .step(bslAt(0x22, 0xD080, page0), refused)
            .step(bslAt(0x18, 0xD080, le16(4)), bslData(hex("FFFFFFFF")))
            .step(hex("20"), ok),
        withFirmware(page0 + page1, 0xD000, [](EmulatedD2xx &emu) {
            emu.card(0)->bootloader().refusePage(1, 2);
            emu.card(0)->bootloader().refusePage(2, -1);
        }));
    row("page numbers count from the IV's address",
        install(BslScript(), 0xC000)
            .step(bslAt(0x22, 0xC000, page0), ok)
            .step(bslAt(0x22, 0xC040, page1), refused)
            .step(bslAt(0x22, 0xC040, page1), ok),
        [](EmulatedD2xx &emu) { emu.card(0)->bootloader().refusePage(1, 1); });
    row("password: erased one in the identity record, the default is accepted",
        BslScript().step(hex("11") + secret, refused).step(hex("11") + erasedPassword, ok),
        withSegment(segmentA));
    row("password: the identity record's secret",
        BslScript()
            .step(hex("11") + erasedPassword, refused)
            .step(hex("11") + secret.left(15), refused)
            .step(hex("11") + secret, ok),
        withSegment(segmentB));
    row("password: no identity record, the default is accepted",
        BslScript().step(hex("11") + secret, refused).step(hex("11") + erasedPassword, ok),
        withSegment(segmentWithPassword(secret, 0xFE)));
    row("password: erased segment, the default is accepted",
        BslScript().step(hex("11") + erasedPassword, ok), withSegment(QByteArray(64, '\xFF')));
    row("CRC-16-CCITT: 123456789 gives 29B1, nothing gives FFFF",
        install(BslScript())
            .step(bslAt(0x22, 0xD000, "123456789"), ok)
            .step(bslAt(0x16, 0xD000, le16(9)), bslData(hex("B129")))
            .step(bslAt(0x16, 0xD000, le16(0)), bslData(hex("FFFF")))
            .step(bslAt(0x16, 0xFFF0, le16(0x20)), failed));
    row("blank check", BslScript()
                           .step(bslAt(0x1C, 0xC000, le16(0x4000)), ok)
                           .step(bslAt(0x1C, 0x0200, le16(1)), failed)
                           .step(bslAt(0x1C, 0xFFFF, le16(2)), failed));
    row("reads: up to 64 bytes from one memory",
        BslScript()
            .step(bslAt(0x18, 0x0200, le16(4)), bslData(hex("00000000")))
            .step(bslAt(0x18, 0xC000, le16(65)), failed)
            .step(bslAt(0x18, 0xC000, le16(0)), failed)
            .step(bslAt(0x18, 0xFFF0, le16(32)), failed)
            .step(bslAt(0x18, 0x0000, le16(1)), failed));
    row("unknown or cut-short commands: message 7",
        BslScript()
            .step(hex("80"), unknown)
            .step(QByteArray(), unknown)
            .step(hex("18C0"), unknown)
            .step(bslAt(0x18, 0x10C0), unknown) // no length
            .step(bslAt(0x17, 0x10C0), unknown));
    row("dropped replies: the commands are still carried out",
        BslScript()
            .step(hex("13"), none)
            .step(hex("13"), none)
            .step(hex("13"), ok) // unlocked, locked, unlocked
            .step(hex("19"), bslData(hex("E10203E4"))),
        [](EmulatedD2xx &emu) { emu.card(0)->bootloader().dropNextReplies(2); });
}

void tst_EmulatedBootloader::bootloaderScript()
{
    QFETCH(EmulatorSetup, setup);
    QFETCH(QList<QByteArray>, commands);
    QFETCH(QList<QByteArray>, replies);
    emu->addCard();
    openController();
    if (setup)
        setup(*emu);
    for (int i = 0; i < commands.size(); ++i) {
        const QByteArray expected = replies.at(i) == "none" ? replies.at(i)
                                                            : EmulatorCodec::hex(replies.at(i));
        const QByteArray got = bslExchange(commands.at(i));
        const QString step = QStringLiteral("step %1, command %2: got %3, expected %4")
                                 .arg(i)
                                 .arg(QString::fromLatin1(EmulatorCodec::hex(commands.at(i))),
                                      QString::fromLatin1(got), QString::fromLatin1(expected));
        QVERIFY2(got == expected, qPrintable(step));
    }
}

void tst_EmulatedBootloader::bootloaderPowerUpState()
{
    emu->addCard();
    openController();
    QVERIFY(emu->card(0)->bootloader().infoSegmentLocked());
    QVERIFY(emu->card(0)->bootloader().applicationRunning());
    QCOMPARE(emu->card(0)->bootloader().flash(0xC000, 0x4000), QByteArray(0x4000, '\xFF'));
    QCOMPARE(emu->card(0)->bootloader().flash(0xFFFF, 1), hex("FF"));
    QVERIFY(emu->card(0)->bootloader().flash(0xBFFF, 2).isEmpty());
    QVERIFY(emu->card(0)->bootloader().flash(0xFFFF, 2).isEmpty());
    QVERIFY(emu->card(0)->bootloader().flash(0xC000, -1).isEmpty());

    // A well-formed segment: the four standard records, the erased
    // password, and a checksum that with the XOR of the other 31 words
    // gives 0.
    const QByteArray segment = emu->card(0)->bootloader().infoSegment();
    QCOMPARE(segment.size(), 64);
    const QList<QPair<int, QByteArray>> records = {
        {2, hex("C016")}, {26, hex("1010")}, {44, hex("FE08")}, {54, hex("0108")}};
    for (const auto &r : records)
        QCOMPARE(EmulatorCodec::hex(segment.mid(r.first, 2)), EmulatorCodec::hex(r.second));
    quint16 sum = 0;
    quint16 x = 0;
    for (int i = 0; i < 64; i += 2) {
        const quint16 word = quint16(quint8(segment.at(i)) | quint8(segment.at(i + 1)) << 8);
        if (i == 0)
            sum = word;
        else
            x ^= word;
    }
    QCOMPARE(quint16(sum + x), quint16(0));
    QCOMPARE(segment.mid(4 + 6, 16), erasedPassword);
    // The card's own calibration, not the bodies a rewrite puts in place.
    QVERIFY(segment.mid(28, 16) != hex("008000006C7FE6027003D37FBB010E02"));
    QVERIFY(segment.mid(56, 8) != hex("918F968E8580C086"));
    QCOMPARE(bslExchange(bslAt(0x18, 0x10C0, le16(64))), EmulatorCodec::hex(bslData(segment)));

    // Shorter segments are padded with erased bytes.
    emu->card(0)->bootloader().setInfoSegment(hex("0102"));
    QCOMPARE(emu->card(0)->bootloader().infoSegment(), hex("0102") + QByteArray(62, '\xFF'));
}

void tst_EmulatedBootloader::flashVersionFollowsApplication()
{
    emu->addCard();
    emu->card(0)->setFlashVersions(0x00020000, 0x00010000);
    openController();
    QByteArray body;
    const auto reply = [&](quint8 opcode) {
        body.clear();
        const QByteArray kind = classify(exchange(packet(opcode), 1).value(0), &body);
        return kind == "ok" ? EmulatorCodec::hex(body) : kind;
    };

    // The card's own application answers until a mass erase removes it.
    QCOMPARE(reply(GET_FLASH_VER), QByteArray("06 FF FF 00 00 02 00 00 00 01 00"));
    QCOMPARE(bslExchange(hex("15")), QByteArray("3B 00"));
    QVERIFY(!emu->card(0)->bootloader().applicationRunning());
    QCOMPARE(reply(GET_FLASH_VER), QByteArray("confused"));
    QCOMPARE(reply(REFLASH_ACTION), QByteArray("confused"));

    QByteArray page;
    for (int i = 0; i < 64; ++i)
        page.append(char(i + 1));
    CardFirmware firmware;
    firmware.loadAddress = 0xD000;
    firmware.iv = QByteArray(16, '\x5A');
    firmware.payload = page;
    emu->card(0)->bootloader().setFirmware(firmware);
    QCOMPARE(bslExchange(bslAt(0x21, 0xD000, QByteArray(16, '\x5A'))), QByteArray("3B 00"));
    QCOMPARE(bslExchange(bslAt(0x22, 0xD000, page)), QByteArray("3B 00"));
    QVERIFY(!emu->card(0)->bootloader().applicationRunning());
    QCOMPARE(bslExchange(hex("20")), QByteArray("3B 00"));
    QVERIFY(emu->card(0)->bootloader().applicationRunning());
    QCOMPARE(emu->card(0)->bootloader().flash(0xD000, 65), page + '\xFF');

    // The new application carries 2.0 while 1.0 is installed; a reflash
    // installs the carried one. The refused reflash above changed nothing.
    QCOMPARE(reply(GET_FLASH_VER), QByteArray("06 FF FF 00 00 02 00 00 00 01 00"));
    QCOMPARE(reply(REFLASH_ACTION), QByteArray("07 FF FF 01"));
    QCOMPARE(reply(GET_FLASH_VER), QByteArray("06 FF FF 00 00 02 00 00 00 02 00"));
}

void tst_EmulatedBootloader::bootloaderKnobsOnMissingCard()
{
    emu->addCard();
    emu->addCard();
    emu->card(1)->bootloader().setLockNeverLocks(true);
    // A slot without a card gives an empty access: nothing to change there.
    for (int card : {-1, 2})
        QVERIFY(!emu->card(card));
    QVERIFY(emu->card(0) && emu->card(1));
    openController();

    // Each card has its own bootloader: the same two toggles lock card 0
    // again but leave card 1 unlocked.
    for (const char *expected : {"3B 00 3B 00", "3B 01 3B 00"}) {
        const QList<QByteArray> streams = exchange(packet(OPCODE_BOOTLOADER, 0, 0, hex("13")), 2);
        QCOMPARE(streams.size(), 2);
        QByteArray body0, body1;
        QCOMPARE(classify(streams.at(0), &body0), QByteArray("ok"));
        QCOMPARE(classify(streams.at(1), &body1), QByteArray("ok"));
        QCOMPARE(EmulatorCodec::hex(body0.mid(3) + body1.mid(3)), QByteArray(expected));
    }
    QVERIFY(emu->card(0)->bootloader().infoSegmentLocked());
    QVERIFY(!emu->card(1)->bootloader().infoSegmentLocked());
    QCOMPARE(emu->card(0)->bootloader().flash(0xC000, 1), hex("FF"));
}

void tst_EmulatedBootloader::massErasesRecordTheLock()
{
    emu->addCard();
    openController();
    QCOMPARE(bslExchange(hex("15")), QByteArray("3B 00"));
    QCOMPARE(bslExchange(hex("13")), QByteArray("3B 00")); // now unlocked
    QCOMPARE(bslExchange(hex("15")), QByteArray("3B 00"));
    QCOMPARE(emu->card(0)->bootloader().massErases(), QList<bool>({true, false}));
    QCOMPARE(emu->card(0)->bootloader().infoSegment(),
             QByteArray(64, '\xFF')); // erased with the main flash
    QVERIFY(!emu->card(1));           // no second card to have erased
}

QTEST_GUILESS_MAIN(tst_EmulatedBootloader)
#include "tst_emulatedbootloader.moc"
