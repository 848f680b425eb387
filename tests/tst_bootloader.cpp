#include "bootloader/BootLoader.h"
#include "tests/support/TestBytes.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

// A bootloader reply as the tunnel delivers it: the decoded controller
// packet (opcode 0x02, two argument digits), then reply type and data.
QByteArray replyPacket(quint8 type, const QByteArray &data)
{
    return hex("02 FF FF") + char(type) + data;
}

QByteArray message(quint8 code)
{
    return replyPacket(BSL_MESSAGE_REPLY, QByteArray(1, char(code)));
}

QByteArray dataReply(const QByteArray &data)
{
    return replyPacket(BSL_DATA_REPLY, data);
}

const QByteArray fixtureIv = hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
const QByteArray secret = QByteArray("0123456789ABCDEF");
const QString twentyPairImage =
    QStringLiteral(":/firmware/LQ770_QUANTE_SIDC_20PAIR.txt"); // PLATFORM_ID 04 03

// Payload of a fixture image: `lines` data lines, byte i of the payload
// holding i * 7 + 3.
QByteArray fixturePayload(int lines)
{
    QByteArray bytes;
    for (int i = 0; i < lines * 16; ++i)
        bytes.append(char((i * 7 + 3) & 0xFF));
    return bytes;
}

// A small image in the text format, with the padded DEVICE_ID line of the
// embedded images.
QByteArray fixtureImage(int lines, const QByteArray &address = "D000",
                        const QByteArray &minimumFlash = "3000",
                        const QByteArray &minimumSram = "0200")
{
    QByteArray text = "#:FIRMWARE_NAME=LQ770 Line Card\r\n"
                      "#:DEVICE_ID=25 53 ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ??  \r\n"
                      "#:PLATFORM_ID=04 03\r\n"
                      "#:MINIMUM_FLASH="
                      + minimumFlash
                      + "\r\n"
                        "#:MINIMUM_SRAM="
                      + minimumSram
                      + "\r\n"
                        "#:CRYPTO_IV="
                      + fixtureIv.toHex(' ').toUpper()
                      + "\r\n"
                        "@"
                      + address + "\r\n";
    const QByteArray payload = fixturePayload(lines);
    for (int line = 0; line < lines; ++line)
        text += payload.mid(line * 16, 16).toHex(' ').toUpper() + "\r\n";
    return text + "q\r\n";
}

// The IV and payload of an image file, read here on their own.
void readImage(const QString &path, QByteArray *iv, QByteArray *payload)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    bool inData = false;
    for (QByteArray line : file.readAll().split('\n')) {
        line = line.trimmed();
        if (line.startsWith("#:CRYPTO_IV="))
            *iv = QByteArray::fromHex(line.mid(12));
        else if (line.startsWith('@'))
            inData = true;
        else if (line == "q")
            inData = false;
        else if (inData)
            *payload += QByteArray::fromHex(line);
    }
}

QByteArray appCode(quint16 address, const QByteArray &page)
{
    return hex("22") + char(address & 0xFF) + char(address >> 8) + '\0' + page;
}

QByteArray erasedSegment()
{
    return QByteArray(64, char(0xFF));
}

const QByteArray readCommand = hex("18 C0 10 00 40 00");
const QByteArray syncCommand = hex("19");
// The sync request's answer: the bootloader version, four data bytes.
const QByteArray syncAnswer = dataReply(hex("E1 02 03 E4"));
const QByteArray toggleCommand = hex("13");
const QByteArray eraseSegmentCommand = hex("12 C0 10 00");

QByteArray passwordCommand(const QByteArray &password)
{
    return hex("11") + password;
}

// The single-command slots, in the order of the singleCommands table.
void singleCommand(int slot, BootLoader &bl)
{
    static const QList<std::function<void(BootLoader &)>> commands = {
        [](BootLoader &b) { b.onReqGetBslVersion(); },
        [](BootLoader &b) { b.onReqFastFrame(); },
        [](BootLoader &b) { b.onReqGetCRC(0xD000, 0x2000); },
        [](BootLoader &b) { b.onReqGetPlatformId(); },
        [](BootLoader &b) { b.onReqGetBufferSize(); },
        [](BootLoader &b) { b.onReqMassErase(); },
        [](BootLoader &b) { b.onReqApplicationCheck(); },
        [](BootLoader &b) { b.onReqGetDeviceId(); },
        [](BootLoader &b) { b.onReqSendDefaultPassword(); },
        [](BootLoader &b) { b.onReqSendSecretPassword(); },
        [](BootLoader &b) { b.onReqReadINFOA(); },
        [](BootLoader &b) { b.onReqEraseINFOA(); },
        [](BootLoader &b) { b.onReqToggleLockINFOA(); },
        [](BootLoader &b) { b.onReqCapacityCheck(0xC000); },
        [](BootLoader &b) { b.onReqBlankCheck(0x1100, 0x0200); },
    };
    commands.at(slot)(bl);
}

} // namespace

class tst_BootLoader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void singleCommands_data();
    void singleCommands();
    void singleCommandsRefusedInSequence_data();
    void singleCommandsRefusedInSequence();
    void installEmbeddedImage();
    void capacityProbes_data();
    void capacityProbes();
    void deviceId_data();
    void deviceId();
    void messageIsNoDeviceId();
    void lockLoop_data();
    void lockLoop();
    void decisiveAnswerConfirmed_data();
    void decisiveAnswerConfirmed();
    void lastPage_data();
    void lastPage();
    void refusedStep_data();
    void refusedStep();
    void noImage();
    void dataRepliesStored_data();
    void dataRepliesStored();
    void versionOncePerRequest();
    void replyTimeouts_data();
    void replyTimeouts();
    void sequenceStartsOnSettledLink_data();
    void sequenceStartsOnSettledLink();
    void failedAttemptDrainsFirst();
    void drainNeverAnsweredFailsTheAttempt();
    void timeoutBoundInSequence();
    void timeoutBoundWhenIdle();
    void initLineCard();
    void initLineCardDefaultAccepted();
    void initLineCardNoIdentityRecord();
    void initLineCardRefusals_data();
    void initLineCardRefusals();
    void initLineCardNeedsSecret();
    void segmentOfOtherLengthNotWritten();
    void emptyFirstRecordRetagged();
    void manualLoginRefusedSendsSecret();
    void manualRead();

private:
    QString writeImage(const QByteArray &text);
    QList<QByteArray> sent();
    QList<bool> results();
    void loadFixture(int lines);
    void reachLockStep();
    void reachFirstPage();
    void reachReadStep();
    QMap<QString, QByteArray> pageSends(int fromPage);
    void runSteps(const QStringList &steps, const QMap<QString, QByteArray> &sends);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<BootLoader> bl;
    QList<QByteArray> transmissions;
    std::unique_ptr<QSignalSpy> unexpectedSpy;
    std::unique_ptr<QSignalSpy> resultSpy;
    std::unique_ptr<QSignalSpy> versionSpy;
    std::unique_ptr<QSignalSpy> serialSpy;
    std::unique_ptr<QSignalSpy> progressSpy;
};

void tst_BootLoader::initTestCase()
{
    Q_INIT_RESOURCE(firmware);
}

void tst_BootLoader::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    bl = std::make_unique<BootLoader>();
    transmissions.clear();
    // Commands, and sync requests that wait for a quiet line, in the order sent.
    connect(bl.get(), &BootLoader::reqTxBytes, this,
            [this](const QByteArray &bytes) { transmissions << bytes; });
    connect(bl.get(), &BootLoader::reqTxBytesWhenQuiet, this,
            [this](const QByteArray &bytes) { transmissions << bytes; });
    unexpectedSpy = std::make_unique<QSignalSpy>(bl.get(), &BootLoader::notifyUnexpectedAnswer);
    resultSpy = std::make_unique<QSignalSpy>(bl.get(), &BootLoader::notifyBootLoaderResult);
    versionSpy = std::make_unique<QSignalSpy>(bl.get(), &BootLoader::notifyBslVersion);
    serialSpy = std::make_unique<QSignalSpy>(bl.get(), &BootLoader::notifyLineCardSerialNumber);
    progressSpy = std::make_unique<QSignalSpy>(bl.get(), &BootLoader::notifyInstallProgress);
    QVERIFY(unexpectedSpy->isValid() && resultSpy->isValid() && versionSpy->isValid()
            && serialSpy->isValid() && progressSpy->isValid());
}

void tst_BootLoader::cleanup()
{
    unexpectedSpy.reset();
    resultSpy.reset();
    versionSpy.reset();
    serialSpy.reset();
    progressSpy.reset();
    bl.reset();
    dir.reset();
}

QString tst_BootLoader::writeImage(const QByteArray &text)
{
    const QString path = dir->filePath(QStringLiteral("image.txt"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        qFatal("cannot write fixture %s", qPrintable(path));
    return path;
}

// The commands sent since the last call.
QList<QByteArray> tst_BootLoader::sent()
{
    const QList<QByteArray> packets = transmissions;
    transmissions.clear();
    return packets;
}

// The results reported since the last call.
QList<bool> tst_BootLoader::results()
{
    QList<bool> list;
    for (const QList<QVariant> &arguments : *resultSpy)
        list << arguments.at(0).toBool();
    resultSpy->clear();
    return list;
}

void tst_BootLoader::loadFixture(int lines)
{
    QVERIFY(bl->loadFirmware(writeImage(fixtureImage(lines))));
}

// Installation of the loaded image up to the first lock toggle.
void tst_BootLoader::reachLockStep()
{
    bl->onReqAppCodeInstall();
    bl->onRxPacket(dataReply(hex("25 53")));
    bl->onRxPacket(message(0));
    bl->onRxPacket(message(0));
    QCOMPARE(bl->state(), BootLoader::BLS_LOCK_INFOA);
    QCOMPARE(sent().last(), toggleCommand);
}

// Installation of the loaded image up to the first page.
void tst_BootLoader::reachFirstPage()
{
    reachLockStep();
    bl->onRxPacket(message(0)); // unlocked: toggled again
    bl->onRxPacket(message(1));
    // The lock is confirmed before the mass erase.
    QCOMPARE(sent(), QList<QByteArray>({toggleCommand, syncCommand}));
    bl->onRxPacket(syncAnswer);
    bl->onRxPacket(message(0));
    bl->onRxPacket(message(0));
    QCOMPARE(bl->state(), BootLoader::BLS_APP_CODE);
    QCOMPARE(sent(), QList<QByteArray>({hex("15"), hex("21 00 D0 00") + fixtureIv,
                                        appCode(0xD000, bl->firmware().getPage(0))}));
}

// Initialisation with the 20-pair image and number 1234, default password
// refused, up to the segment read.
void tst_BootLoader::reachReadStep()
{
    QVERIFY(bl->loadFirmware(twentyPairImage));
    bl->setSecretPassword(secret);
    bl->onReqInitLineCard(1234);
    QCOMPARE(bl->lineCardNumber(), 1234);
    QCOMPARE(bl->state(), BootLoader::BLS_LOGIN_DEFAULT);
    QCOMPARE(sent(), QList<QByteArray>({passwordCommand(QByteArray(16, char(0xFF)))}));

    QTest::ignoreMessage(QtDebugMsg, "Password FAIL");
    bl->onRxPacket(message(1));
    QCOMPARE(bl->state(), BootLoader::BLS_LOGIN_SECRET);
    QCOMPARE(sent(), QList<QByteArray>({passwordCommand(secret)})); // once

    QTest::ignoreMessage(QtDebugMsg, "Password OK");
    bl->onRxPacket(message(0));
    QCOMPARE(bl->state(), BootLoader::BLS_READ_INFOA);
    QCOMPARE(sent(), QList<QByteArray>({readCommand}));
}

void tst_BootLoader::singleCommands_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("onReqGetBslVersion: 19") << 0 << hex("19");
    QTest::newRow("onReqFastFrame: 03") << 1 << hex("03");
    QTest::newRow("onReqGetCRC(D000, 2000): 16 00 D0 00 00 20") << 2 << hex("16 00 D0 00 00 20");
    QTest::newRow("onReqGetPlatformId: 1D") << 3 << hex("1D");
    QTest::newRow("onReqGetBufferSize: 1A") << 4 << hex("1A");
    QTest::newRow("onReqMassErase: 15") << 5 << hex("15");
    QTest::newRow("onReqApplicationCheck: 20") << 6 << hex("20");
    QTest::newRow("onReqGetDeviceId: 1E") << 7 << hex("1E");
    QTest::newRow("onReqSendDefaultPassword: 11 FF x 16")
        << 8 << (hex("11") + QByteArray(16, char(0xFF)));
    QTest::newRow("onReqSendSecretPassword: 11 + secret") << 9 << (hex("11") + secret);
    QTest::newRow("onReqReadINFOA: 18 C0 10 00 40 00") << 10 << readCommand;
    QTest::newRow("onReqEraseINFOA: 12 C0 10 00") << 11 << eraseSegmentCommand;
    QTest::newRow("onReqToggleLockINFOA: 13") << 12 << toggleCommand;
    QTest::newRow("onReqCapacityCheck(C000): 1F 00 C0 00") << 13 << hex("1F 00 C0 00");
    QTest::newRow("onReqBlankCheck(1100, 0200): 1C 00 11 00 00 02")
        << 14 << hex("1C 00 11 00 00 02");
}

void tst_BootLoader::singleCommands()
{
    QFETCH(int, slot);
    QFETCH(QByteArray, bytes);

    bl->setSecretPassword(secret);
    singleCommand(slot, *bl);
    QCOMPARE(sent(), QList<QByteArray>({bytes}));
    QCOMPARE(bl->lastTxPacket(), bytes);
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);

    // The answer is stored, nothing more happens while idle.
    if (bytes.at(0) == char(BSL_RX_PASSWORD))
        QTest::ignoreMessage(QtDebugMsg, "Password OK");
    bl->onRxPacket(message(0));
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
    QVERIFY(sent().isEmpty());
    QVERIFY(results().isEmpty());
}

void tst_BootLoader::singleCommandsRefusedInSequence_data()
{
    singleCommands_data();
}

// A single command would take the place of the page in flight, or of the
// page that waits for the link to settle, and its answer would be read as the
// page's: it is refused, and the installation goes on.
void tst_BootLoader::singleCommandsRefusedInSequence()
{
    QFETCH(int, slot);

    loadFixture(5);
    bl->setSecretPassword(secret);
    reachFirstPage();
    const QByteArray page0 = bl->lastTxPacket();
    singleCommand(slot, *bl);
    QVERIFY(sent().isEmpty());
    QCOMPARE(bl->lastTxPacket(), page0);

    bl->onTimeout();
    QCOMPARE(sent(), QList<QByteArray>({syncCommand}));
    bl->onRxPacket(message(0)); // the page's answer, late: held until the sync's answer
    QVERIFY(sent().isEmpty());
    singleCommand(slot, *bl);
    QCOMPARE(bl->lastTxPacket(), page0);
    QVERIFY(sent().isEmpty());

    bl->onRxPacket(syncAnswer);
    const FirmwareImage &image = bl->firmware();
    const QByteArray page1 = appCode(quint16(image.getPageAddress(1)), image.getPage(1));
    QCOMPARE(bl->state(), BootLoader::BLS_APP_CODE);
    QCOMPARE(sent(), QList<QByteArray>({page1}));
    QVERIFY(results().isEmpty());
}

void tst_BootLoader::installEmbeddedImage()
{
    const QString path = QStringLiteral(":/firmware/LQ770_KRONE_LSAPLUS_S2_10PAIR.txt");
    QByteArray iv;
    QByteArray payload;
    readImage(path, &iv, &payload);
    QCOMPARE(iv.size(), 16);
    QCOMPARE(payload.size(), 8192);
    QVERIFY(bl->loadFirmware(path));

    bl->onReqAppCodeInstall();
    QCOMPARE(bl->state(), BootLoader::BLS_DEVICE_ID);
    QCOMPARE(sent(), QList<QByteArray>({hex("1E")}));
    bl->onRxPacket(dataReply(hex("25 53 11 22 33 44 55 66 77 88 99 AA BB CC DD EE")));
    QCOMPARE(bl->state(), BootLoader::BLS_FLASH_CAPACITY);
    QCOMPARE(sent(), QList<QByteArray>({hex("1F 00 C0 00")}));
    bl->onRxPacket(message(0));
    QCOMPARE(bl->state(), BootLoader::BLS_SRAM_CAPACITY);
    QCOMPARE(sent(), QList<QByteArray>({hex("1F FE 03 00")}));
    bl->onRxPacket(message(0));
    QCOMPARE(bl->state(), BootLoader::BLS_LOCK_INFOA);
    QCOMPARE(sent(), QList<QByteArray>({toggleCommand}));
    bl->onRxPacket(message(0)); // was locked, now unlocked: toggle again
    QCOMPARE(sent(), QList<QByteArray>({toggleCommand}));
    bl->onRxPacket(message(1));
    // Locked: confirmed as the toggle's own answer before the mass erase.
    QCOMPARE(bl->state(), BootLoader::BLS_LOCK_INFOA);
    QCOMPARE(sent(), QList<QByteArray>({syncCommand}));
    bl->onRxPacket(syncAnswer);
    QCOMPARE(bl->state(), BootLoader::BLS_MASS_ERASE);
    QCOMPARE(sent(), QList<QByteArray>({hex("15")}));
    bl->onRxPacket(message(0));
    QCOMPARE(bl->state(), BootLoader::BLS_CRYPTO_IV);
    QCOMPARE(sent(), QList<QByteArray>({hex("21 00 D0 00") + iv}));
    bl->onRxPacket(message(0));

    for (int page = 0; page < 128; ++page) {
        QCOMPARE(bl->state(), BootLoader::BLS_APP_CODE);
        QCOMPARE(bl->pageIndex(), quint32(page));
        QCOMPARE(sent(), QList<QByteArray>(
                             {appCode(quint16(0xD000 + 64 * page), payload.mid(64 * page, 64))}));
        QCOMPARE(progressSpy->count(), page);
        bl->onRxPacket(message(0));
        QCOMPARE(progressSpy->count(), page + 1);
        QCOMPARE(progressSpy->last(), QList<QVariant>({page + 1, 128}));
    }
    QCOMPARE(bl->state(), BootLoader::BLS_APP_CHECK);
    QCOMPARE(sent(), QList<QByteArray>({hex("20")}));
    QVERIFY(results().isEmpty());

    bl->onRxPacket(message(0));
    // The success, too, only once the check's answer is confirmed.
    QCOMPARE(sent(), QList<QByteArray>({syncCommand}));
    QVERIFY(results().isEmpty());
    bl->onRxPacket(syncAnswer);
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
    QCOMPARE(results(), QList<bool>({true}));
    QVERIFY(sent().isEmpty());
    QCOMPARE(progressSpy->count(), 128);
}

void tst_BootLoader::capacityProbes_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QByteArray>("minimumFlash");
    QTest::addColumn<QByteArray>("minimumSram");
    QTest::addColumn<QByteArray>("flashProbe");
    QTest::addColumn<QByteArray>("sramProbe");

    QTest::newRow("@D000 3000 0200: 1F 00 C0 00, 1F FE 03 00")
        << QByteArray("D000") << QByteArray("3000") << QByteArray("0200") << hex("1F 00 C0 00")
        << hex("1F FE 03 00");
    QTest::newRow("@E100 1000 0100: 1F 00 E0 00, 1F FE 02 00")
        << QByteArray("E100") << QByteArray("1000") << QByteArray("0100") << hex("1F 00 E0 00")
        << hex("1F FE 02 00");
    QTest::newRow("@B000 3000 0200: load address lower, 1F 00 B0 00")
        << QByteArray("B000") << QByteArray("3000") << QByteArray("0200") << hex("1F 00 B0 00")
        << hex("1F FE 03 00");
    QTest::newRow("@1D000 F100 FFFF: 16-bit wrap, 1F 00 D0 00, 1F FD 01 00")
        << QByteArray("1D000") << QByteArray("F100") << QByteArray("FFFF") << hex("1F 00 D0 00")
        << hex("1F FD 01 00");
}

void tst_BootLoader::capacityProbes()
{
    QFETCH(QByteArray, address);
    QFETCH(QByteArray, minimumFlash);
    QFETCH(QByteArray, minimumSram);
    QFETCH(QByteArray, flashProbe);
    QFETCH(QByteArray, sramProbe);

    QVERIFY(bl->loadFirmware(writeImage(fixtureImage(4, address, minimumFlash, minimumSram))));
    bl->onReqAppCodeInstall();
    bl->onRxPacket(dataReply(QByteArray()));
    QCOMPARE(sent(), QList<QByteArray>({hex("1E"), flashProbe}));
    bl->onRxPacket(message(0));
    QCOMPARE(sent(), QList<QByteArray>({sramProbe}));
}

void tst_BootLoader::deviceId_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("passes");

    QByteArray padded = hex("25 53") + QByteArray(16, char(0xAB));
    padded[16] = 0;
    padded[17] = 0;

    QTest::newRow("(0 bytes)") << QByteArray() << true;
    QTest::newRow("25") << hex("25") << true;
    QTest::newRow("25 53 + 14 x 00") << (hex("25 53") + QByteArray(14, '\0')) << true;
    QTest::newRow("25 53 + 14 x AB") << (hex("25 53") + QByteArray(14, char(0xAB))) << true;
    QTest::newRow("25 54 + 14 x 00") << (hex("25 54") + QByteArray(14, '\0')) << false;
    QTest::newRow("24 53 + 14 x 00") << (hex("24 53") + QByteArray(14, '\0')) << false;
    QTest::newRow("26") << hex("26") << false;
    QTest::newRow("25 53 + 14 x AB + 00 00") << padded << true;
    QTest::newRow("25 53 + 14 x AB + 00 00 + 7F (19th byte not compared)")
        << (padded + hex("7F")) << true;
    QTest::newRow("25 53 + 14 x AB + 01 00")
        << QByteArray(padded).replace(16, 1, hex("01")) << false;
    QTest::newRow("25 53 + 14 x AB + 00 01")
        << QByteArray(padded).replace(17, 1, hex("01")) << false;
}

void tst_BootLoader::deviceId()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, passes);

    QVERIFY(bl->loadFirmware(twentyPairImage));
    bl->onReqAppCodeInstall();
    QCOMPARE(sent(), QList<QByteArray>({hex("1E")}));
    bl->onRxPacket(dataReply(reply));
    QCOMPARE(bl->deviceId(), reply);
    if (passes) {
        QCOMPARE(bl->state(), BootLoader::BLS_FLASH_CAPACITY);
        QCOMPARE(sent(), QList<QByteArray>({hex("1F 00 C0 00")}));
        QVERIFY(results().isEmpty());
    } else {
        QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
        QVERIFY(sent().isEmpty());
        QCOMPARE(results(), QList<bool>({false}));
    }
}

void tst_BootLoader::messageIsNoDeviceId()
{
    QVERIFY(bl->loadFirmware(twentyPairImage));
    bl->onReqAppCodeInstall();
    sent();
    bl->onRxPacket(message(0));
    QCOMPARE(results(), QList<bool>({false}));
    QVERIFY(sent().isEmpty());
}

void tst_BootLoader::lockLoop_data()
{
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::addColumn<int>("toggles"); // further toggles sent
    // 1: locked, confirmed by a sync, then the mass erase; 0: failure;
    // 2: still toggling.
    QTest::addColumn<int>("outcome");

    QTest::newRow("0 1: unlocked, then locked")
        << QList<QByteArray>{message(0), message(1)} << 1 << 1;
    QTest::newRow("0 0 0 1") << QList<QByteArray>{message(0), message(0), message(0), message(1)}
                             << 3 << 1;
    // "Locked" counts only right after "unlocked": a segment unlocked before
    // the attempt takes two more toggles, and a "locked" that stood in for a
    // lost "unlocked" is never taken.
    QTest::newRow("1: not taken yet, toggled again") << QList<QByteArray>{message(1)} << 1 << 2;
    QTest::newRow("1 0 1: was unlocked")
        << QList<QByteArray>{message(1), message(0), message(1)} << 2 << 1;
    QTest::newRow("1 1: two answers in a row alike, toggled again")
        << QList<QByteArray>{message(1), message(1)} << 2 << 2;
    QTest::newRow("0 0 0 0 0 0: the lock never engages")
        << QVector<QByteArray>(BootLoader::MAX_LOCK_TOGGLES, message(0)).toList()
        << BootLoader::MAX_LOCK_TOGGLES - 1 << 0;
    QTest::newRow("1 1 1 1 1 1: never two answers in turn")
        << QVector<QByteArray>(BootLoader::MAX_LOCK_TOGGLES, message(1)).toList()
        << BootLoader::MAX_LOCK_TOGGLES - 1 << 0;
    QTest::newRow("2") << QList<QByteArray>{message(2)} << 0 << 0;
    QTest::newRow("0 2") << QList<QByteArray>{message(0), message(2)} << 1 << 0;
    QTest::newRow("data reply") << QList<QByteArray>{dataReply(hex("01"))} << 0 << 0;
}

void tst_BootLoader::lockLoop()
{
    QFETCH(QList<QByteArray>, replies);
    QFETCH(int, toggles);
    QFETCH(int, outcome);

    loadFixture(4);
    reachLockStep();
    for (const QByteArray &reply : replies)
        bl->onRxPacket(reply);
    QList<QByteArray> expected;
    for (int i = 0; i < toggles; ++i)
        expected << toggleCommand;
    if (outcome == 1) {
        QCOMPARE(sent(), expected << syncCommand);
        QCOMPARE(bl->state(), BootLoader::BLS_LOCK_INFOA);
        bl->onRxPacket(syncAnswer);
        QCOMPARE(bl->state(), BootLoader::BLS_MASS_ERASE);
        QCOMPARE(sent(), QList<QByteArray>({hex("15")}));
        QVERIFY(results().isEmpty());
    } else if (outcome == 2) {
        QCOMPARE(sent(), expected);
        QCOMPARE(bl->state(), BootLoader::BLS_LOCK_INFOA);
        QVERIFY(results().isEmpty());
    } else {
        QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
        QCOMPARE(results(), QList<bool>({false}));
        QCOMPARE(sent(), expected);
    }
}

// The answers the two decisive steps of an installation rest on, "locked"
// before the mass erase and the application check's success, count only
// once a sync's answer shows that no other answer came with them.
void tst_BootLoader::decisiveAnswerConfirmed_data()
{
    QTest::addColumn<bool>("appCheck");     // else the lock
    QTest::addColumn<QByteArray>("second"); // what comes before the sync's answer; empty: nothing

    for (bool appCheck : {false, true}) {
        const char *step = appCheck ? "application check" : "lock";
        QTest::addRow("%s: confirmed", step) << appCheck << QByteArray();
        QTest::addRow("%s: a second answer 0", step) << appCheck << message(0);
        QTest::addRow("%s: a second answer 1", step) << appCheck << message(1);
        QTest::addRow("%s: a surplus data answer", step)
            << appCheck << dataReply(QByteArray(16, 'x'));
    }
}

void tst_BootLoader::decisiveAnswerConfirmed()
{
    QFETCH(bool, appCheck);
    QFETCH(QByteArray, second);

    loadFixture(4);
    if (appCheck) {
        reachFirstPage();
        bl->onRxPacket(message(0));
        QCOMPARE(sent(), QList<QByteArray>({hex("20")}));
        bl->onRxPacket(message(0));
    } else {
        reachLockStep();
        bl->onRxPacket(message(0));
        bl->onRxPacket(message(1));
        QCOMPARE(sent(), QList<QByteArray>({toggleCommand, syncCommand}));
    }
    if (appCheck)
        QCOMPARE(sent(), QList<QByteArray>({syncCommand}));
    if (!second.isEmpty())
        bl->onRxPacket(second);
    bl->onRxPacket(syncAnswer);

    if (second.isEmpty()) {
        QCOMPARE(results(), appCheck ? QList<bool>({true}) : QList<bool>());
        QCOMPARE(sent(), appCheck ? QList<QByteArray>() : QList<QByteArray>({hex("15")}));
        QCOMPARE(unexpectedSpy->count(), 0);
    } else {
        QCOMPARE(results(), QList<bool>({false}));
        QVERIFY(sent().isEmpty()); // no mass erase
        QCOMPARE(unexpectedSpy->count(), 1);
        QCOMPARE(unexpectedSpy->at(0).at(0).toByteArray(), second);
        QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
    }
}

void tst_BootLoader::lastPage_data()
{
    QTest::addColumn<int>("lines");
    QTest::addColumn<QList<int>>("pageSizes");

    QTest::newRow("16 bytes: one page of 16") << 1 << QList<int>{16};
    QTest::newRow("64 bytes: one page, page 1 empty") << 4 << QList<int>{64};
    QTest::newRow("80 bytes: last page of 16 is sent") << 5 << QList<int>{64, 16};
    QTest::newRow("96 bytes: last page of 32") << 6 << QList<int>{64, 32};
    QTest::newRow("128 bytes: page 2 empty, not sent") << 8 << QList<int>{64, 64};
    QTest::newRow("176 bytes: last page of 48") << 11 << QList<int>{64, 64, 48};
}

void tst_BootLoader::lastPage()
{
    QFETCH(int, lines);
    QFETCH(QList<int>, pageSizes);

    loadFixture(lines);
    const QByteArray payload = fixturePayload(lines);
    reachLockStep();
    bl->onRxPacket(message(0));
    bl->onRxPacket(message(1));
    bl->onRxPacket(syncAnswer);
    bl->onRxPacket(message(0));
    bl->onRxPacket(message(0));
    QCOMPARE(sent().mid(4), QList<QByteArray>({appCode(0xD000, payload.left(pageSizes.at(0)))}));

    const int total = pageSizes.size();
    for (int page = 0; page < total; ++page) {
        bl->onRxPacket(message(0));
        QCOMPARE(progressSpy->last(), QList<QVariant>({page + 1, total}));
        if (page + 1 < total) {
            QCOMPARE(sent(), QList<QByteArray>(
                                 {appCode(quint16(0xD000 + 64 * (page + 1)),
                                          payload.mid(64 * (page + 1), pageSizes.at(page + 1)))}));
        }
    }
    QCOMPARE(bl->state(), BootLoader::BLS_APP_CHECK);
    QCOMPARE(sent(), QList<QByteArray>({hex("20")}));
    QCOMPARE(progressSpy->count(), total);
}

// Every step of an installation of three pages answered well up to `step`,
// which gets `reply` instead.
void tst_BootLoader::refusedStep_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("flash capacity: code 1") << 1 << message(1);
    QTest::newRow("flash capacity: data reply") << 1 << dataReply(hex("00"));
    QTest::newRow("SRAM capacity: code 5") << 2 << message(5);
    QTest::newRow("mass erase: code 1") << 6 << message(1);
    QTest::newRow("mass erase: reply type 0x41") << 6 << replyPacket(0x41, hex("00"));
    QTest::newRow("crypto IV: code FF") << 7 << message(0xFF);
    QTest::newRow("page 0: code 1") << 8 << message(1);
    QTest::newRow("page 2: code 3") << 10 << message(3);
    QTest::newRow("page 1: data reply") << 9 << dataReply(hex("00"));
    QTest::newRow("application check: code 1") << 11 << message(1);
    QTest::newRow("application check: packet of 3 bytes") << 11 << hex("02 FF FF");
}

void tst_BootLoader::refusedStep()
{
    QFETCH(int, step);
    QFETCH(QByteArray, reply);

    // Identity, the probes, "unlocked", "locked" and its confirmation, erase,
    // IV, three pages.
    const QList<QByteArray> script = {dataReply(hex("25 53")),
                                      message(0),
                                      message(0),
                                      message(0),
                                      message(1),
                                      syncAnswer,
                                      message(0),
                                      message(0),
                                      message(0),
                                      message(0),
                                      message(0)};
    loadFixture(12);
    bl->onReqAppCodeInstall();
    for (int i = 0; i < step; ++i)
        bl->onRxPacket(script.at(i));
    QVERIFY(results().isEmpty());
    sent();

    bl->onRxPacket(reply);
    QCOMPARE(results(), QList<bool>({false}));
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
    QVERIFY(sent().isEmpty());
    QCOMPARE(progressSpy->count(), qMax(0, step - 8));
}

void tst_BootLoader::noImage()
{
    bl->onReqAppCodeInstall();
    QCOMPARE(results(), QList<bool>({false}));
    QVERIFY(sent().isEmpty());
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);

    // A failed load leaves no image either.
    QVERIFY(!bl->loadFirmware(writeImage(fixtureImage(2).replace("#:MINIMUM_SRAM=0200\r\n", ""))));
    bl->onReqAppCodeInstall();
    QCOMPARE(results(), QList<bool>({false}));
    QVERIFY(sent().isEmpty());
}

void tst_BootLoader::dataRepliesStored_data()
{
    QTest::addColumn<int>("request");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("CRC 34 12") << 0 << hex("34 12");
    QTest::newRow("version 78 56 34 12") << 1 << hex("78 56 34 12");
    QTest::newRow("buffer size 00 01") << 2 << hex("00 01");
}

void tst_BootLoader::dataRepliesStored()
{
    QFETCH(int, request);
    QFETCH(QByteArray, reply);

    if (request == 0)
        bl->onReqGetCRC(0xD000, 0x0040);
    else if (request == 1)
        bl->onReqGetBslVersion();
    else
        bl->onReqGetBufferSize();
    sent();

    bl->onRxPacket(dataReply(reply));
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
    QVERIFY(sent().isEmpty());
    QVERIFY(results().isEmpty());
    if (request == 0)
        QCOMPARE(bl->crcValue(), quint16(0x1234));
    else if (request == 1)
        QCOMPARE(bl->bslVersion(), quint32(0x12345678));
    else
        QCOMPARE(bl->bufferSize(), quint16(0x0100));
}

void tst_BootLoader::versionOncePerRequest()
{
    bl->onReqGetBslVersion();
    QCOMPARE(sent(), QList<QByteArray>({hex("19")}));
    bl->onRxPacket(dataReply(hex("04 03 02 01")));
    QCOMPARE(versionSpy->count(), 1);
    QCOMPARE(versionSpy->at(0).at(0).value<uint32_t>(), uint32_t(0x01020304));

    bl->onRxPacket(dataReply(hex("08 07 06 05")));
    QCOMPARE(versionSpy->count(), 1);
    QCOMPARE(bl->bslVersion(), quint32(0x05060708)); // stored all the same

    bl->onReqGetBslVersion();
    bl->onRxPacket(dataReply(hex("0A 0B")));
    QCOMPARE(versionSpy->count(), 2);
    QCOMPARE(versionSpy->at(1).at(0).value<uint32_t>(), uint32_t(0x0B0A));
}

// What reply time-outs, late answers and CONFUSED answers do in a
// sequence, from the state where the second page (or the first lock toggle)
// has just gone out. Each step is an event: "timeout", "sync" (an answer
// with the version's four data bytes), "m0", "m1" (message replies),
// "confused"; then what the bootloader sends: "sync", "toggle", "erase",
// "page1", "page2" or "page3", or "-" for nothing. An answer whose
// attribution is in doubt counts only once a sync's answer shows that no
// other came with it.
void tst_BootLoader::replyTimeouts_data()
{
    QTest::addColumn<bool>("lock");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("failures");
    QTest::addColumn<int>("unexpected");

    QTest::newRow("answer lost: a sync, then the page again")
        << false << QStringList{"timeout sync", "sync page1", "m0 page2"} << 0 << 0;
    QTest::newRow("answer late, after the sync: held until the sync's answer")
        << false << QStringList{"timeout sync", "m0 -", "sync page2", "m0 page3"} << 0 << 0;
    QTest::newRow("the sync's answer lost: another sync, never a go-ahead on the time-out")
        << false << QStringList{"timeout sync", "m0 -", "timeout sync", "sync page2", "m0 page3"}
        << 0 << 0;
    QTest::newRow("the first sync's answer late: it shows the page lost, the second is consumed")
        << false << QStringList{"timeout sync", "timeout sync", "sync page1", "sync -", "m0 page2"}
        << 0 << 0;
    QTest::newRow("answer after two syncs")
        << false
        << QStringList{"timeout sync", "timeout sync", "m0 -", "sync page2", "sync -", "m0 page3"}
        << 0 << 0;
    QTest::newRow("a refusal after the sync still fails")
        << false << QStringList{"timeout sync", "m1 -", "sync -"} << 1 << 0;
    QTest::newRow("a second answer while the sync is out fails the attempt")
        << false << QStringList{"timeout sync", "m0 -", "m0 -"} << 1 << 1;

    // A toggle is never outstanding twice: its effect is not idempotent.
    QTest::newRow("toggle answered late: no second toggle while it may answer")
        << true << QStringList{"timeout sync", "m0 -", "sync toggle", "m1 sync", "sync erase"} << 0
        << 0;
    QTest::newRow("toggle answer lost: one more toggle, and its answer is the state")
        << true << QStringList{"timeout sync", "sync toggle", "m0 toggle", "m1 sync", "sync erase"}
        << 0 << 0;
    QTest::newRow("locked, late: the sync that settled it confirms it")
        << true << QStringList{"m0 toggle", "timeout sync", "m1 -", "sync erase"} << 0 << 0;
    QTest::newRow("a late sync answer never decides the lock")
        << true << QStringList{"timeout sync", "timeout sync", "m0 -",      "sync toggle",
                               "sync -",       "m1 sync",      "sync erase"}
        << 0 << 0;
    QTest::newRow("locked, then a second answer before the sync's: no mass erase")
        << true << QStringList{"m0 toggle", "m1 sync", "m0 -", "sync -"} << 1 << 1;
    // A "locked" standing in for the lost "unlocked" of the toggle in flight.
    QTest::newRow("a lost answer's place taken by \"locked\": toggled on, never erased")
        << true << QStringList{"m1 toggle", "m1 toggle", "m0 toggle", "m1 sync", "sync erase"} << 0
        << 0;
    QTest::newRow("toggle answers lost until the time-outs run out: no mass erase")
        << true << QStringList{"timeout sync", "sync toggle", "timeout sync", "sync toggle",
                               "timeout sync", "sync toggle", "timeout sync", "sync toggle",
                               "timeout sync", "sync toggle", "timeout -"}
        << 1 << 0;

    // A CONFUSED names no command: it counts as the command's answer (not
    // carried out, so sent again) only once a sync's answer shows that
    // nothing else came.
    QTest::newRow("CONFUSED for the page: a sync, then the page again")
        << false << QStringList{"confused sync", "sync page1", "m0 page2"} << 0 << 0;
    QTest::newRow("CONFUSED twice in a row: the second may be the sync's, asked again")
        << false << QStringList{"confused sync", "confused sync", "sync page1", "m0 page2"} << 0
        << 0;
    QTest::newRow("CONFUSED while the sync is out for a lost answer")
        << false << QStringList{"timeout sync", "confused -", "sync page1", "m0 page2"} << 0 << 0;
    QTest::newRow("CONFUSED after the late answer: the sync is asked again")
        << false << QStringList{"timeout sync", "m0 -", "confused sync", "sync page2", "m0 page3"}
        << 0 << 0;
    QTest::newRow("a stray CONFUSED, then the page's own answer: the attempt fails")
        << false << QStringList{"confused sync", "m0 -"} << 1 << 1;
    QTest::newRow("CONFUSED for the toggle: sent again only after the sync's answer")
        << true << QStringList{"confused sync", "sync toggle", "m0 toggle", "m1 sync", "sync erase"}
        << 0 << 0;
}

void tst_BootLoader::replyTimeouts()
{
    QFETCH(bool, lock);
    QFETCH(QStringList, steps);
    QFETCH(int, failures);
    QFETCH(int, unexpected);

    loadFixture(16);
    if (lock) {
        reachLockStep();
    } else {
        reachFirstPage();
        bl->onRxPacket(message(0));
        QCOMPARE(sent(), QList<QByteArray>({pageSends(1).value("page1")}));
    }
    runSteps(steps, pageSends(1));
    if (QTest::currentTestFailed())
        return;
    const QList<bool> reported = results();
    QCOMPARE(reported.count(false), failures);
    QVERIFY(!reported.contains(true));
    QCOMPARE(unexpectedSpy->count(), unexpected);
}

// The page commands of the 16-line fixture, and the other commands a step
// may send.
QMap<QString, QByteArray> tst_BootLoader::pageSends(int fromPage)
{
    const QByteArray payload = fixturePayload(16);
    QMap<QString, QByteArray> sends = {
        {"sync", hex("19")}, {"toggle", toggleCommand}, {"erase", hex("15")}};
    for (int page = fromPage; page < 4; ++page)
        sends.insert(QStringLiteral("page%1").arg(page),
                     appCode(quint16(0xD000 + 64 * page), payload.mid(64 * page, 64)));
    return sends;
}

void tst_BootLoader::runSteps(const QStringList &steps, const QMap<QString, QByteArray> &sends)
{
    for (const QString &step : steps) {
        const QString event = step.section(' ', 0, 0);
        const QString expected = step.section(' ', 1, 1);
        if (event == "timeout")
            bl->onTimeout();
        else if (event == "sync")
            bl->onRxPacket(syncAnswer);
        else if (event == "confused")
            bl->onConfused(hex("00 FF FF"));
        else
            bl->onRxPacket(message(quint8(event.mid(1).toInt())));
        const bool nothing = expected == "-";
        QVERIFY2(nothing || sends.contains(expected), qPrintable(step));
        const QList<QByteArray> expectedSends = nothing
                                                    ? QList<QByteArray>()
                                                    : QList<QByteArray>({sends.value(expected)});
        QVERIFY2(sent() == expectedSends, qPrintable(step));
    }
}

// A command sent before the sequence may still be answered: the first
// command then goes out only after a sync, and that earlier answer is no
// answer to it. An answered one leaves the link settled.
void tst_BootLoader::sequenceStartsOnSettledLink_data()
{
    QTest::addColumn<bool>("answered");
    QTest::newRow("earlier probe answered: sent at once") << true;
    QTest::newRow("earlier probe unanswered: a sync first") << false;
}

void tst_BootLoader::sequenceStartsOnSettledLink()
{
    QFETCH(bool, answered);

    loadFixture(4);
    bl->onReqCapacityCheck(0xC000);
    if (answered)
        bl->onRxPacket(message(0));
    sent();
    bl->onReqAppCodeInstall();
    if (!answered) {
        QCOMPARE(sent(), QList<QByteArray>({syncCommand}));
        QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
        QVERIFY(bl->busy());
        bl->onRxPacket(message(0)); // the probe's answer: dropped
        QVERIFY(sent().isEmpty());
        bl->onRxPacket(syncAnswer);
    }
    QCOMPARE(bl->state(), BootLoader::BLS_DEVICE_ID);
    QCOMPARE(sent(), QList<QByteArray>({hex("1E")}));
    bl->onRxPacket(dataReply(hex("25 53")));
    QCOMPARE(sent(), QList<QByteArray>({hex("1F 00 C0 00")}));
    QVERIFY(results().isEmpty());
}

void tst_BootLoader::failedAttemptDrainsFirst()
{
    loadFixture(4);
    bl->onReqAppCodeInstall();
    bl->onRxPacket(dataReply(hex("25 53")));
    bl->onRxPacket(message(1)); // flash probe refused
    QCOMPARE(results(), QList<bool>({false}));
    sent();
    bl->onRxPacket(message(0)); // a late answer of the failed attempt reaches nobody
    QVERIFY(sent().isEmpty());
    QVERIFY(results().isEmpty());

    // The retry costs one exchange: a sync, and what comes before its answer
    // is dropped.
    bl->onReqAppCodeInstall();
    QCOMPARE(sent(), QList<QByteArray>({syncCommand}));
    bl->onRxPacket(message(0));
    bl->onRxPacket(dataReply(hex("25 53") + QByteArray(14, '\0')));
    QVERIFY(sent().isEmpty());
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
    bl->onRxPacket(syncAnswer);
    QCOMPARE(sent(), QList<QByteArray>({hex("1E")}));
    QCOMPARE(bl->state(), BootLoader::BLS_DEVICE_ID);
    QVERIFY(results().isEmpty());
}

void tst_BootLoader::drainNeverAnsweredFailsTheAttempt()
{
    loadFixture(4);
    bl->onReqAppCodeInstall();
    bl->onRxPacket(message(0)); // not an identity: the attempt fails
    QCOMPARE(results(), QList<bool>({false}));
    sent();

    bl->onReqAppCodeInstall();
    for (int i = 0; i < BslExchange::MAX_DRAIN_TIMEOUTS; ++i)
        bl->onTimeout();
    QCOMPARE(sent(),
             QVector<QByteArray>(BslExchange::MAX_DRAIN_TIMEOUTS + 1, syncCommand).toList());
    QVERIFY(results().isEmpty());
    bl->onTimeout();
    QCOMPARE(results(), QList<bool>({false}));
    QVERIFY(!bl->busy());
    QVERIFY(sent().isEmpty());
}

void tst_BootLoader::timeoutBoundInSequence()
{
    loadFixture(4);
    bl->onReqAppCodeInstall();
    sent();
    for (int i = 0; i < 4; ++i)
        bl->onTimeout();
    QCOMPARE(sent(), QVector<QByteArray>(4, syncCommand).toList());

    // The answer, late, and a sync's answer: the next command starts the
    // count again.
    bl->onRxPacket(dataReply(hex("25 53")));
    QVERIFY(sent().isEmpty());
    bl->onRxPacket(syncAnswer);
    QCOMPARE(sent(), QList<QByteArray>({hex("1F 00 C0 00")}));
    for (int i = 0; i < BslExchange::MAX_TIMEOUTS; ++i)
        bl->onTimeout();
    QCOMPARE(sent(), QVector<QByteArray>(BslExchange::MAX_TIMEOUTS, syncCommand).toList());
    QVERIFY(results().isEmpty());

    bl->onTimeout();
    QCOMPARE(results(), QList<bool>({false}));
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
    QVERIFY(sent().isEmpty());

    bl->onTimeout();
    QVERIFY(results().isEmpty());
    QVERIFY(sent().isEmpty());
}

void tst_BootLoader::timeoutBoundWhenIdle()
{
    bl->onTimeout(); // nothing sent yet, nothing to send again
    QVERIFY(sent().isEmpty());

    bl->onReqGetBslVersion();
    sent();
    for (int i = 0; i < 8; ++i)
        bl->onTimeout();
    QCOMPARE(sent(), QVector<QByteArray>(BslExchange::MAX_RESENDS, syncCommand).toList());
    QVERIFY(results().isEmpty());
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);

    // A new request is sent, and re-sent, again.
    bl->onReqGetBslVersion();
    bl->onTimeout();
    QCOMPARE(sent(), QList<QByteArray>({syncCommand, syncCommand}));
    bl->onRxPacket(dataReply(hex("01 00 00 00")));
    QCOMPARE(versionSpy->count(), 1);
}

void tst_BootLoader::initLineCard()
{
    reachReadStep();
    bl->onRxPacket(dataReply(erasedSegment()));
    QCOMPARE(serialSpy->count(), 1);
    QCOMPARE(serialSpy->at(0).at(0).value<uint32_t>(), uint32_t(0));
    QCOMPARE(bl->state(), BootLoader::BLS_UNLOCK_INFOA);
    QCOMPARE(sent(), QList<QByteArray>({toggleCommand}));

    bl->onRxPacket(message(0));
    // Unlocked: confirmed before the segment is erased.
    QCOMPARE(sent(), QList<QByteArray>({syncCommand}));
    bl->onRxPacket(syncAnswer);
    QCOMPARE(bl->state(), BootLoader::BLS_ERASE_INFOA);
    QCOMPARE(sent(), QList<QByteArray>({eraseSegmentCommand}));

    bl->onRxPacket(message(0));
    QCOMPARE(bl->state(), BootLoader::BLS_WRITE_INFOA);
    const QList<QByteArray> write = sent();
    QCOMPARE(write.size(), 1);
    QCOMPARE(write.at(0).left(4), hex("10 C0 10 00"));
    const QByteArray segment = write.at(0).mid(4);
    QCOMPARE(segment.size(), 64);
    QCOMPARE(segment.mid(2, 24), hex("C0 16 04 03 2D FB FF FF") + secret);
    QCOMPARE(segment.mid(26), hex("10 10 00 80 00 00 6C 7F E6 02 70 03 D3 7F BB 01 0E 02")
                                  + hex("FE 08") + QByteArray(8, char(0xFF))
                                  + hex("01 08 91 8F 96 8E 85 80 C0 86"));
    const quint16 stored = quint16(quint8(segment.at(0)) | (quint8(segment.at(1)) << 8));
    QCOMPARE(quint16(stored + xorOfWords(segment)), quint16(0));

    bl->onRxPacket(message(0));
    QCOMPARE(bl->state(), BootLoader::BLS_RELOCK_INFOA);
    QCOMPARE(sent(), QList<QByteArray>({toggleCommand}));
    bl->onRxPacket(message(0)); // now unlocked: toggle again
    QCOMPARE(sent(), QList<QByteArray>({toggleCommand}));
    QVERIFY(results().isEmpty());
    bl->onRxPacket(message(1));
    QCOMPARE(sent(), QList<QByteArray>({syncCommand}));
    QVERIFY(results().isEmpty());
    bl->onRxPacket(syncAnswer);
    QCOMPARE(results(), QList<bool>({true}));
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
    QVERIFY(sent().isEmpty());
}

void tst_BootLoader::initLineCardDefaultAccepted()
{
    bl->setSecretPassword(secret);
    bl->onReqInitLineCard(7);
    sent();
    QTest::ignoreMessage(QtDebugMsg, "Password OK");
    bl->onRxPacket(message(0));
    QCOMPARE(bl->state(), BootLoader::BLS_READ_INFOA);
    QCOMPARE(sent(), QList<QByteArray>({readCommand}));

    // Without an image the card's platform bytes stay.
    QByteArray segment = erasedSegment();
    segment.replace(2, 4, hex("C0 16 04 20"));
    bl->onRxPacket(dataReply(segment));
    QCOMPARE(sent(), QList<QByteArray>({toggleCommand}));
    QCOMPARE(bl->infoa().records.at(0).left(6), hex("04 20 F8 FF FF FF"));
}

void tst_BootLoader::initLineCardNoIdentityRecord()
{
    // Neither an identity record nor an empty first record: the identity
    // cannot be stored, so the segment is left alone.
    QByteArray segment = erasedSegment();
    segment.replace(2, 2, hex("20 16"));
    reachReadStep();
    bl->onRxPacket(dataReply(segment));
    QCOMPARE(bl->infoa().tags, hex("20 10 FE 01"));
    QCOMPARE(results(), QList<bool>({false}));
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
    QVERIFY(sent().isEmpty());
}

void tst_BootLoader::initLineCardRefusals_data()
{
    QTest::addColumn<int>("step"); // replies answered well before the bad one
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("secret password refused: code 1") << 0 << message(1);
    QTest::newRow("read answered with a message") << 1 << message(0);
    QTest::newRow("unlock: code 1") << 2 << message(1);
    QTest::newRow("erase: code 2") << 4 << message(2);
    QTest::newRow("write: code 1") << 5 << message(1);
    QTest::newRow("relock: code 3") << 6 << message(3);
    QTest::newRow("relock: data reply") << 6 << dataReply(hex("01"));
}

void tst_BootLoader::initLineCardRefusals()
{
    QFETCH(int, step);
    QFETCH(QByteArray, reply);

    QVERIFY(bl->loadFirmware(twentyPairImage));
    bl->setSecretPassword(secret);
    bl->onReqInitLineCard(1);
    QTest::ignoreMessage(QtDebugMsg, "Password FAIL");
    bl->onRxPacket(message(1));

    // Secret password, read, unlock and its confirmation, erase, write.
    const QList<QByteArray> script = {
        message(0), dataReply(erasedSegment()), message(0), syncAnswer, message(0), message(0)};
    if (step > 0)
        QTest::ignoreMessage(QtDebugMsg, "Password OK");
    else
        QTest::ignoreMessage(QtDebugMsg, "Password FAIL");
    for (int i = 0; i < step; ++i)
        bl->onRxPacket(script.at(i));
    QVERIFY(results().isEmpty());
    sent();

    bl->onRxPacket(reply);
    QCOMPARE(results(), QList<bool>({false}));
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
    QVERIFY(sent().isEmpty());
}

void tst_BootLoader::initLineCardNeedsSecret()
{
    bl->setSecretPassword(QByteArray(15, 'x'));
    bl->onReqInitLineCard(5);
    QVERIFY(sent().isEmpty());
    QVERIFY(results().isEmpty());
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
    QCOMPARE(bl->lineCardNumber(), 0);
}

void tst_BootLoader::segmentOfOtherLengthNotWritten()
{
    // Nothing read yet: the segment would be 2 bytes.
    bl->onReqWriteINFOA();
    QVERIFY(sent().isEmpty());

    // An identity record of 16 bytes grows to 22 when rebuilt: 70 bytes.
    QByteArray shortIdentity = hex("00 00 C0 10") + QByteArray(16, char(0x11)) + hex("10 10")
                               + QByteArray(16, 'a') + hex("FE 08") + QByteArray(8, char(0xFF))
                               + hex("01 08") + QByteArray(8, 'c') + hex("FE 04 00 00 00 00");
    QCOMPARE(shortIdentity.size(), 64);

    reachReadStep();
    bl->onRxPacket(dataReply(shortIdentity));
    QCOMPARE(bl->infoa().buildInfoA().size(), 70);
    QCOMPARE(results(), QList<bool>({false}));
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
    QVERIFY(sent().isEmpty()); // neither unlocked nor erased
    bl->onReqWriteINFOA();
    QVERIFY(sent().isEmpty());

    // A segment that keeps its length is written by the single command.
    bl->onReqReadINFOA();
    bl->onRxPacket(dataReply(erasedSegment()));
    sent();
    bl->onReqDefaultINFOA();
    bl->onReqWriteINFOA();
    const QList<QByteArray> write = sent();
    QCOMPARE(write.size(), 1);
    QCOMPARE(write.at(0).size(), 4 + 64);
}

void tst_BootLoader::emptyFirstRecordRetagged()
{
    QByteArray segment = erasedSegment();
    segment.replace(2, 2, hex("FE 16"));
    reachReadStep();
    bl->onRxPacket(dataReply(segment));
    bl->onRxPacket(message(0));
    bl->onRxPacket(syncAnswer);
    bl->onRxPacket(message(0));
    const QList<QByteArray> write = sent(); // toggle, sync, erase, write
    QCOMPARE(write.size(), 4);
    QCOMPARE(write.at(3).mid(4 + 2, 8), hex("C0 16 04 03 2D FB FF FF"));
    QCOMPARE(write.at(3).size(), 4 + 64);
}

void tst_BootLoader::manualLoginRefusedSendsSecret()
{
    bl->onReqSendDefaultPassword();
    sent();
    QTest::ignoreMessage(QtDebugMsg, "Password FAIL");
    bl->onRxPacket(message(1));
    QVERIFY(sent().isEmpty()); // no secret password to send
    QCOMPARE(bl->rxMessage(), quint8(1));

    bl->setSecretPassword(secret);
    bl->onReqSendDefaultPassword();
    sent();
    QTest::ignoreMessage(QtDebugMsg, "Password FAIL");
    bl->onRxPacket(message(1));
    QCOMPARE(sent(), QList<QByteArray>({passwordCommand(secret)}));
    QCOMPARE(bl->lastTxAddress(), quint16(0x10C0));

    // The secret refused as well: reported, not sent again.
    QTest::ignoreMessage(QtDebugMsg, "Password FAIL");
    bl->onRxPacket(message(1));
    QVERIFY(sent().isEmpty());
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
    QVERIFY(results().isEmpty());
}

void tst_BootLoader::manualRead()
{
    QByteArray segment = erasedSegment();
    segment.replace(2, 8, hex("C0 16 04 01 2D FB FF FF"));
    bl->onReqReadINFOA();
    bl->onRxPacket(dataReply(segment));
    QCOMPARE(serialSpy->count(), 1);
    QCOMPARE(serialSpy->at(0).at(0).value<uint32_t>(), uint32_t(1234));
    QCOMPARE(bl->infoaBytes().left(10), segment.left(10));

    // A second answer without a new request is stored, not decoded.
    QByteArray other = segment;
    other.replace(6, 4, hex("00 00 00 00"));
    bl->onRxPacket(dataReply(other));
    QCOMPARE(serialSpy->count(), 1);
    QCOMPARE(bl->infoaBytes(), other);
    QCOMPARE(bl->infoa().serialNumber, quint32(1234));
    QCOMPARE(bl->state(), BootLoader::BLS_IDLE);
    QVERIFY(results().isEmpty());
}

QTEST_GUILESS_MAIN(tst_BootLoader)
#include "tst_bootloader.moc"
