#include "app/LineCardUpdaterWindow.h"
#include "bootloader/BootLoader.h"
#include "bootloader/BslPacket.h"
#include "bootloader/FirmwareImage.h"
#include "controller/CommandPacket.h"
#include "controller/Opcodes.h"
#include "controller/RawPacket.h"
#include "controller/VX420Controller.h"
#include "emulated/AutoUpdateRunner.h"
#include "emulator/EmulatedD2xx.h"

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

// The image of the emulated card's default board, Krone LSA-PLUS 10 pair.
const QString imagePath = QStringLiteral(":/firmware/LQ770_KRONE_LSAPLUS_S2_10PAIR.txt");

const QString noReply = QStringLiteral(
    "ERROR: no reply from the controller - check the line card and click Update card again");

const QString appError = QStringLiteral(
    "ERROR: line card reported an application error - reseat the card and click Update card again");

// Time allowed, beyond its reply time-outs and slow answers, for the start
// of an update and for each installation attempt; generous for loaded and
// sanitizer builds. An attempt takes about 30 s on the wire.
constexpr int startAllowanceMs = 10000;
constexpr int attemptAllowanceMs = 20000;
constexpr int wireAttemptAllowanceMs = 60000;
// How long a slow answer takes: past the reply time-out, with room for the
// pauses that instant timing only counts.
constexpr int slowMs = 2500;
// How long the window and the card must stay as they are after the end.
constexpr int settleMs = 100;

enum Stage {
    FrameInterval,
    Identify,
    DeviceId,
    FlashProbe,
    SramProbe,
    UnlockToggle, // the first toggle: the segment starts locked
    LockToggle,   // the toggle that locks the information segment
    MassErase,
    Iv,
    FirstPage,
    MiddlePage,
    ThirdLastPage,
    LastPage,
    AppCheck,
    FlashVersion,
    Reflash,
};

bool isBootloaderStage(Stage stage)
{
    return stage >= DeviceId && stage <= AppCheck;
}

QByteArray bodyOf(const CommandPacket &packet)
{
    return RawPacket::toLocalFormat(packet.build());
}

// The commands a card receives during one update, in order, counting from
// 1: frame interval, identify; the installation: 3 device identity, 4 flash
// and 5 SRAM capacity probe, 6 and 7 lock toggles (the segment starts
// locked, so the first toggle unlocks it and the second locks it), 8 mass
// erase, 9 initialisation vector, 10 .. 9+P the P code pages, 10+P
// application check; then 11+P flash version, 12+P reflash when the card's
// bootloader is to be updated, and last the green LED.
class UpdateSequence
{
public:
    explicit UpdateSequence(const FirmwareImage &image) : image(image) {}

    int pages() const
    {
        return int((quint32(image.payload().size()) + image.pageSize() - 1) / image.pageSize());
    }
    int middlePage() const { return pages() / 2; }

    int commandNumber(Stage stage) const
    {
        switch (stage) {
        case FrameInterval: return 1;
        case Identify: return 2;
        case DeviceId: return 3;
        case FlashProbe: return 4;
        case SramProbe: return 5;
        case UnlockToggle: return 6;
        case LockToggle: return 7;
        case MassErase: return 8;
        case Iv: return 9;
        case FirstPage: return 10;
        case MiddlePage: return 10 + middlePage();
        case ThirdLastPage: return 7 + pages();
        case LastPage: return 9 + pages();
        case AppCheck: return 10 + pages();
        case FlashVersion: return 11 + pages();
        case Reflash: return 12 + pages();
        }
        return 0;
    }

    // The decoded body of the command the card receives at that stage.
    QByteArray command(Stage stage) const
    {
        switch (stage) {
        case FrameInterval: return bodyOf(CommandPacket(OPCODE_FRAME_INTERVAL, 1250));
        case Identify: return bodyOf(CommandPacket(OPCODE_IDENTIFY, 1));
        case DeviceId: return bootloader(BSL_GET_DEVICE_ID);
        // 0xF000 - MINIMUM_FLASH (0x3000), and MINIMUM_SRAM (0x0200) + 0x1FE.
        case FlashProbe: return bootloader(BSL_CAPACITY_CHECK, 0xC000);
        case SramProbe: return bootloader(BSL_CAPACITY_CHECK, 0x03FE);
        case UnlockToggle:
        case LockToggle: return bootloader(BSL_TOGGLE_INFO_LOCK);
        case MassErase: return bootloader(BSL_MASS_ERASE);
        case Iv:
            return bootloader(BSL_RX_CRYPTO_IV, quint16(image.loadAddress()), image.cryptoIv());
        case FirstPage: return page(0);
        case MiddlePage: return page(middlePage());
        case ThirdLastPage: return page(pages() - 3);
        case LastPage: return page(pages() - 1);
        case AppCheck: return bootloader(BSL_APPLICATION_CHECK);
        case FlashVersion: return bodyOf(CommandPacket(GET_FLASH_VER));
        case Reflash: return bodyOf(CommandPacket(REFLASH_ACTION));
        }
        return {};
    }

    // Every command of an update that meets no fault.
    QList<QByteArray> cleanRun(bool reflash) const
    {
        QList<QByteArray> run;
        for (Stage stage : {FrameInterval, Identify, DeviceId, FlashProbe, SramProbe})
            run << command(stage);
        run << command(LockToggle) << command(LockToggle);
        run << command(MassErase) << command(Iv);
        for (int p = 0; p < pages(); ++p)
            run << page(p);
        run << command(AppCheck) << command(FlashVersion);
        if (reflash)
            run << command(Reflash);
        run << bodyOf(CommandPacket(OPCODE_LED_GREEN));
        return run;
    }

    static QByteArray sync() { return bootloader(BSL_TX_BSL_VERSION); }

private:
    static QByteArray bootloader(quint8 opcode, quint16 address = 0, const QByteArray &data = {})
    {
        CommandPacket packet(OPCODE_BOOTLOADER);
        packet.setPayload(BslPacket(opcode, address, data).encode());
        return bodyOf(packet);
    }
    QByteArray page(int p) const
    {
        return bootloader(BSL_RX_APP_CODE, quint16(image.getPageAddress(quint32(p))),
                          image.getPage(quint32(p)));
    }

    FirmwareImage image;
};

using FaultSetup = std::function<void(EmulatedD2xx &, const UpdateSequence &)>;

// What the card receives right after the command a fault strikes.
enum Next {
    Sync,    // the bootloader's sync request
    Again,   // that command once more
    Onward,  // the command a clean run sends next
    LedRed,
};

// One fault and where it strikes.
struct Fault
{
    int cards = 1;
    bool reflash = false; // the card's bootloader is to be updated
    FaultSetup setup;
    int stage = -1;       // the stage whose command the fault strikes
    QList<Next> next;     // what reaches the card right after that command
    bool wholeRunClean = false;
    int timeouts = 0;     // reply time-outs the update goes through
    int slowMs = 0;       // what slow answers add to it
    EmulatedD2xx::Timing timing = EmulatedD2xx::Timing::Instant;
    // After "USB link lost" the cable goes back in, "Connect to controller"
    // and "Update card" are clicked once more.
    bool replug = false;
};

// What the technician sees at the end, and what the card holds.
struct Outcome
{
    QStringList summaryEnd; // the last lines of the summary pane
    int led = 0;            // the card's LED opcode, 0 when never set
    bool updateEnabled = false;
    bool connectEnabled = false;
    bool flashIsImage = false;
    int retries = 0;        // "Firmware load failed - trying again" lines
};

Fault noFault(bool reflash)
{
    Fault fault;
    fault.reflash = reflash;
    fault.wholeRunClean = true;
    return fault;
}

Fault atStage(Stage stage, int timeouts, const QList<Next> &next, const FaultSetup &setup)
{
    Fault fault;
    fault.reflash = stage == Reflash;
    fault.stage = stage;
    fault.next = next;
    fault.timeouts = timeouts;
    fault.setup = setup;
    return fault;
}

// Faults on the card's answers to the stage's command (0) and to those it
// receives after it (1, 2, ...).
struct AnswerFault
{
    enum Kind { Drop, Corrupt, Confused, Slow, SlowFrom, Short } kind;
    int offset = 0;
    int ms = slowMs;
};

Fault answers(Stage stage, const QList<AnswerFault> &faults, int timeouts, const QList<Next> &next)
{
    Fault fault = atStage(stage, timeouts, next,
                          [stage, faults](EmulatedD2xx &emu, const UpdateSequence &sequence) {
        for (const AnswerFault &f : faults) {
            const int k = sequence.commandNumber(stage) + f.offset;
            switch (f.kind) {
            case AnswerFault::Drop: emu.dropReplyTo(0, k); break;
            case AnswerFault::Corrupt: emu.corruptReplyTo(0, k); break;
            case AnswerFault::Confused: emu.confusedReplyTo(0, k); break;
            case AnswerFault::Slow: emu.slowReplyTo(0, k, f.ms); break;
            case AnswerFault::SlowFrom: emu.slowRepliesFrom(0, k, f.ms); break;
            case AnswerFault::Short: emu.shortReplyTo(0, k); break;
            }
        }
    });
    for (const AnswerFault &f : faults) {
        if (f.kind == AnswerFault::Slow)
            fault.slowMs += f.ms;
    }
    return fault;
}

// A reply lost or spoilt on its way: on the reply time-out the bootloader
// sends a sync request, whose answer shows the command's answer lost, and
// then the command again; a controller command's silence is reported. A
// toggle sent again toggles again, so what follows it is not a clean run's.
QList<Next> afterLostAnswer(Stage stage)
{
    if (!isBootloaderStage(stage))
        return {LedRed};
    if (stage == UnlockToggle || stage == LockToggle)
        return {Sync, Again};
    return {Sync, Again, Onward};
}

Fault dropped(Stage stage)
{
    return answers(stage, {{AnswerFault::Drop}}, 1, afterLostAnswer(stage));
}

Fault corrupted(Stage stage)
{
    return answers(stage, {{AnswerFault::Corrupt}}, 1, afterLostAnswer(stage));
}

// CONFUSED answers to the command and to its `times - 1` re-sends. The
// controller sends the command again once; a second CONFUSED in a row is
// left to the reply time-out.
Fault confused(Stage stage, int times)
{
    QList<AnswerFault> faults;
    for (int i = 0; i < times; ++i)
        faults.append({AnswerFault::Confused, i});
    QList<Next> next = {Again};
    if (times > 1)
        next << (isBootloaderStage(stage) ? Again : LedRed);
    return answers(stage, faults, times > 1 ? 1 : 0, next);
}

// The answer comes after the reply time-out: the sync request goes out,
// the late answer is the command's, and the next command waits for the
// sync's answer; nothing is sent twice.
Fault slow(Stage stage)
{
    return answers(stage, {{AnswerFault::Slow}}, 1,
                   isBootloaderStage(stage) ? QList<Next>{Sync, Onward} : QList<Next>{LedRed});
}

// A spoilt byte on the line loses the answer it carries.
Fault onTheLine(Stage stage, LineFault lineFault)
{
    return atStage(stage, 1, afterLostAnswer(stage),
                   [stage, lineFault](EmulatedD2xx &emu, const UpdateSequence &sequence) {
                       emu.setLineFault(0, sequence.commandNumber(stage), lineFault);
                   });
}

const char *lineFaultName(LineFault fault)
{
    switch (fault) {
    case LineFault::Flip: return "a byte changed";
    case LineFault::Lose: return "a byte lost";
    case LineFault::Extra: return "a byte added";
    }
    return "";
}

Fault inWireTiming(Fault fault)
{
    fault.timing = EmulatedD2xx::Timing::Wire;
    return fault;
}

Fault withCards(int cards, const FaultSetup &setup = {})
{
    Fault fault;
    fault.cards = cards;
    fault.setup = setup;
    return fault;
}

Outcome finished(bool reflash = false, int retries = 0)
{
    Outcome outcome;
    outcome.summaryEnd = QStringList{"New firmware installed OK"};
    if (reflash)
        outcome.summaryEnd << "Updating bootloader";
    outcome.summaryEnd << "Finished.";
    outcome.led = OPCODE_LED_GREEN;
    outcome.updateEnabled = true;
    outcome.flashIsImage = true;
    outcome.retries = retries;
    return outcome;
}

// Installed, but the flash-version or reflash command met no usable reply.
Outcome noReplyAfterInstall(bool reflash)
{
    Outcome outcome = finished(reflash);
    outcome.summaryEnd.last() = noReply;
    outcome.led = OPCODE_LED_RED;
    return outcome;
}

Outcome failed(const QStringList &summaryEnd, int led, bool updateEnabled,
               bool connectEnabled = false, int retries = 0)
{
    Outcome outcome;
    outcome.summaryEnd = summaryEnd;
    outcome.led = led;
    outcome.updateEnabled = updateEnabled;
    outcome.connectEnabled = connectEnabled;
    outcome.retries = retries;
    return outcome;
}

const char *stageName(Stage stage)
{
    switch (stage) {
    case FrameInterval: return "frame interval";
    case Identify: return "identify";
    case DeviceId: return "device identity";
    case FlashProbe: return "flash capacity probe";
    case SramProbe: return "SRAM capacity probe";
    case UnlockToggle: return "first lock toggle";
    case LockToggle: return "lock";
    case MassErase: return "mass erase";
    case Iv: return "initialisation vector";
    case FirstPage: return "first page";
    case MiddlePage: return "middle page";
    case ThirdLastPage: return "third page from the end";
    case LastPage: return "last page";
    case AppCheck: return "application check";
    case FlashVersion: return "flash version";
    case Reflash: return "reflash";
    }
    return "";
}

} // namespace

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(Outcome)

// Every fault the card, the controller or the link can show, met by the
// window with the real controller manager, worker and I/O thread in front
// of the emulated controller (instant timing). Each update must end in a
// stated result within a bound, and "Finished." only over the right image.
class tst_FaultMatrix : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void faults_data();
    void faults();

private:
    void setUpWindow();
    bool ended() const;
    QString hangReport(int boundMs, qint64 elapsedMs) const;
    QStringList summary() const { return summaryPane->toPlainText().split('\n'); }
    QStringList results() const { return resultsPane->toPlainText().split('\n'); }

    std::shared_ptr<EmulatedD2xx> emu;
    std::unique_ptr<LineCardUpdaterWindow> window;
    QPushButton *connectButton = nullptr;
    QPushButton *updateButton = nullptr;
    QPlainTextEdit *summaryPane = nullptr;
    QPlainTextEdit *resultsPane = nullptr;
    QByteArray payload;
    quint32 loadAddress = 0;
    QByteArray segmentBefore;
    QStringList wrongFinishes; // what did not hold when "Finished." was written
};

void tst_FaultMatrix::initTestCase()
{
    Q_INIT_RESOURCE(firmware);
}

void tst_FaultMatrix::init()
{
    emu = std::make_shared<EmulatedD2xx>(EmulatedD2xx::Timing::Instant);
    wrongFinishes.clear();
}

void tst_FaultMatrix::cleanup()
{
    window.reset();
    emu.reset();
}

void tst_FaultMatrix::setUpWindow()
{
    window = std::make_unique<LineCardUpdaterWindow>(nullptr, emu);
    connectButton = window->findChild<QPushButton *>("connectButton");
    updateButton = window->findChild<QPushButton *>("updateButton");
    summaryPane = window->findChild<QPlainTextEdit *>("summaryPane");
    resultsPane = window->findChild<QPlainTextEdit *>("resultsPane");
    QVERIFY(connectButton && updateButton && summaryPane && resultsPane);
    // Looked at the moment it is written, whatever follows: the card holds
    // exactly the image, its information segment is as it was and locked,
    // and its own check has started the application.
    connect(summaryPane, &QPlainTextEdit::textChanged, this, [this] {
        if (summary().last() != QLatin1String("Finished."))
            return;
        if (emu->flash(0, loadAddress, payload.size()) != payload)
            wrongFinishes << "the flash does not hold the image";
        if (emu->infoSegment(0) != segmentBefore)
            wrongFinishes << "the information segment changed";
        if (!emu->infoSegmentLocked(0))
            wrongFinishes << "the information segment is unlocked";
        if (!emu->applicationRunning(0))
            wrongFinishes << "the card's application is not running";
    });
    window->show();
}

// The summary's last line states a result.
bool tst_FaultMatrix::ended() const
{
    const QString last = summary().last();
    return last == QLatin1String("Finished.") || last.startsWith(QLatin1String("ERROR"))
        || last.startsWith(QLatin1String("Error"));
}

QString tst_FaultMatrix::hangReport(int boundMs, qint64 elapsedMs) const
{
    const QList<QByteArray> received = emu->receivedCommands(0);
    return QStringLiteral("no stated result within %1 ms (waited %2 ms): summary ends \"%3\", "
                          "results end \"%4\", the card received %5 commands, the last %6")
        .arg(boundMs)
        .arg(elapsedMs)
        .arg(summary().last(), results().last())
        .arg(received.size())
        .arg(QString::fromLatin1(received.value(received.size() - 1).left(8).toHex(' ')));
}

void tst_FaultMatrix::faults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<Outcome>("expected");

    QTest::newRow("no fault") << noFault(false) << finished();
    QTest::newRow("no fault, bootloader updated") << noFault(true) << finished(true);

    const Stage installStages[] = {DeviceId, FlashProbe, SramProbe, UnlockToggle, LockToggle,
                                   MassErase, Iv, FirstPage, MiddlePage, LastPage, AppCheck};
    for (Stage stage : installStages)
        QTest::newRow(qPrintable(QStringLiteral("dropped reply: %1").arg(stageName(stage))))
            << dropped(stage) << finished();
    QTest::newRow("dropped reply: flash version") << dropped(FlashVersion)
                                                  << noReplyAfterInstall(false);
    QTest::newRow("dropped reply: reflash") << dropped(Reflash) << noReplyAfterInstall(true);

    for (Stage stage : installStages)
        QTest::newRow(qPrintable(QStringLiteral("corrupted reply: %1").arg(stageName(stage))))
            << corrupted(stage) << finished();
    QTest::newRow("corrupted reply: flash version") << corrupted(FlashVersion)
                                                    << noReplyAfterInstall(false);
    QTest::newRow("corrupted reply: reflash") << corrupted(Reflash)
                                              << noReplyAfterInstall(true);

    // One CONFUSED answer gets one re-send; a second in a row gets none,
    // and the reply time-out takes over.
    for (Stage stage : {FrameInterval, Identify, DeviceId, MiddlePage, FlashVersion})
        QTest::newRow(qPrintable(QStringLiteral("CONFUSED: %1").arg(stageName(stage))))
            << confused(stage, 1) << finished();
    QTest::newRow("CONFUSED twice: middle page") << confused(MiddlePage, 2) << finished();
    QTest::newRow("CONFUSED twice: flash version") << confused(FlashVersion, 2)
                                                   << noReplyAfterInstall(false);

    // Answers later than the reply time-out.
    for (Stage stage : installStages)
        QTest::newRow(qPrintable(QStringLiteral("slow answer: %1").arg(stageName(stage))))
            << slow(stage) << finished();
    QTest::newRow("slow answer: flash version") << slow(FlashVersion) << noReplyAfterInstall(false);
    QTest::newRow("slow answer: reflash") << slow(Reflash) << noReplyAfterInstall(true);
    // The late reports after "no reply" are only logged: no installation
    // starts that nobody clicked for.
    QTest::newRow("slow answer: frame interval")
        << slow(FrameInterval) << failed({noReply}, OPCODE_LED_RED, true);
    QTest::newRow("slow answer: identify")
        << slow(Identify) << failed({noReply}, OPCODE_LED_RED, true);
    QTest::newRow("frame interval answered short")
        << answers(FrameInterval, {{AnswerFault::Short}}, 0, {LedRed})
        << failed({appError}, OPCODE_LED_RED, true);

    // Slow answers together with lost and CONFUSED ones, around the middle
    // page: offset 1 is the sync request, or the controller's re-send.
    QTest::newRow("slow page, the sync's answer dropped")
        << answers(MiddlePage, {{AnswerFault::Slow}, {AnswerFault::Drop, 1}}, 1, {Sync, Onward})
        << finished();
    QTest::newRow("page answer dropped, the sync's answer slow")
        << answers(MiddlePage, {{AnswerFault::Drop}, {AnswerFault::Slow, 1}}, 2,
                   {Sync, Sync, Again, Onward})
        << finished();
    QTest::newRow("slow page answered CONFUSED")
        << answers(MiddlePage, {{AnswerFault::Slow}, {AnswerFault::Confused}}, 1,
                   {Sync, Again, Onward})
        << finished();
    // The page waits for the sync, whose CONFUSED gets it sent once more.
    QTest::newRow("slow page, the sync answered CONFUSED")
        << answers(MiddlePage, {{AnswerFault::Slow}, {AnswerFault::Confused, 1}}, 1,
                   {Sync, Sync, Onward})
        << finished();
    QTest::newRow("page answered CONFUSED, its re-send slow")
        << answers(MiddlePage, {{AnswerFault::Confused}, {AnswerFault::Slow, 1}}, 1,
                   {Again, Sync, Onward})
        << finished();
    QTest::newRow("two slow pages in a row")
        << answers(MiddlePage, {{AnswerFault::Slow}, {AnswerFault::Slow, 2}}, 2, {Sync, Onward, Sync})
        << finished();

    // On the wire, where replies trickle in frame by frame.
    QTest::newRow("no fault, wire timing") << inWireTiming(noFault(false)) << finished();
    QTest::newRow("dropped reply: middle page, wire timing")
        << inWireTiming(dropped(MiddlePage)) << finished();
    QTest::newRow("slow answer: middle page, wire timing")
        << inWireTiming(slow(MiddlePage)) << finished();
    // Every answer from three pages before the end on takes 2.2 s: each
    // exchange needs a sync, and the card's queue grows with them. The card
    // checks its application; its flash-version answer comes too late.
    Fault slowFrom = answers(ThirdLastPage, {{AnswerFault::SlowFrom, 0, 2200}}, 12, {Sync, Onward});
    slowFrom.slowMs = 12 * 2200;
    QTest::newRow("slow from three pages before the end, wire timing")
        << inWireTiming(slowFrom) << noReplyAfterInstall(false);

    const auto refused = [](int times) {
        return atStage(MiddlePage, 0, {},
                       [times](EmulatedD2xx &emu, const UpdateSequence &sequence) {
                           emu.refusePage(0, sequence.middlePage(), times);
                       });
    };
    const int retries = LineCardUpdaterWindow::retriesPerClick;
    QTest::newRow("page refused on every attempt")
        << refused(-1)
        << failed({"Loading firmware - please wait", "ERROR: firmware load failed"}, 0, false,
                  false, retries);
    QTest::newRow("page refused on the first two attempts") << refused(2) << finished(false, 2);
    QTest::newRow("page refused on all attempts but the last")
        << refused(retries) << finished(false, retries);

    Fault pulled = atStage(MiddlePage, (retries + 1) * (BootLoader::MAX_RESENDS + 1), {},
                           [](EmulatedD2xx &emu, const UpdateSequence &sequence) {
                               emu.stopAnsweringFrom(0, sequence.commandNumber(MiddlePage));
                           });
    QTest::newRow("card pulled out mid-update")
        << pulled
        << failed({"Loading firmware - please wait", "ERROR: firmware load failed"}, 0, false,
                  false, retries);
    // Every command is one transmission of the chip.
    QTest::newRow("cable pulled out mid-update")
        << atStage(MiddlePage, 0, {},
                   [](EmulatedD2xx &emu, const UpdateSequence &sequence) {
                       emu.pullCableAtTransmission(sequence.commandNumber(MiddlePage));
                   })
        << failed({"Loading firmware - please wait",
                   "ERROR: USB link lost - check the cable and click Connect to controller"},
                  0, false, true);

    Fault replugged = withCards(1, [](EmulatedD2xx &emu, const UpdateSequence &sequence) {
        emu.pullCableAtTransmission(sequence.commandNumber(MiddlePage));
    });
    replugged.replug = true;
    QTest::newRow("cable pulled out mid-update, plugged back in, connected again")
        << replugged << finished();

    // On the line, in the frames that carry an answer.
    for (LineFault lineFault : {LineFault::Flip, LineFault::Lose, LineFault::Extra}) {
        QTest::newRow(qPrintable(QStringLiteral("line, %1: identify").arg(lineFaultName(lineFault))))
            << onTheLine(Identify, lineFault) << failed({noReply}, OPCODE_LED_RED, true);
        for (Stage stage : {MiddlePage, AppCheck})
            QTest::newRow(qPrintable(
                QStringLiteral("line, %1: %2").arg(lineFaultName(lineFault), stageName(stage))))
                << onTheLine(stage, lineFault) << finished();
    }

    // The card is built for another board than its identity says: its own
    // check refuses the image the tool chose for what it reported.
    Fault otherBoard = withCards(1, [](EmulatedD2xx &emu, const UpdateSequence &) {
        emu.setCardFirmware(0, CardFirmware::fromFile(
                                   QStringLiteral(":/firmware/LQ770_QUANTE_SIDC_10PAIR.txt")));
    });
    Outcome refusedImage = failed({"Loading firmware - please wait", "ERROR: firmware load failed"},
                                  0, false, false, retries);
    refusedImage.flashIsImage = true;
    QTest::newRow("card of another board: its check refuses the image")
        << otherBoard << refusedImage;

    QTest::newRow("no controller")
        << withCards(1, [](EmulatedD2xx &emu, const UpdateSequence &) { emu.setDevices({}); })
        << failed({"ERROR: controller not found - check the USB cable and click Connect again"},
                  0, false, true);
    Fault noCard = withCards(0);
    noCard.timeouts = 1;
    QTest::newRow("no card") << noCard << failed({noReply}, 0, true);
    QTest::newRow("two cards")
        << withCards(2)
        << failed({"ERROR: 2 line cards attached - please update your line cards one at a time"},
                  OPCODE_LED_RED, true);
    QTest::newRow("unknown board")
        << withCards(1,
                     [](EmulatedD2xx &emu, const UpdateSequence &) {
                         EmulatedCardIdentity unknown;
                         unknown.blockManufacturer = 6;
                         unknown.blockType = 2;
                         emu.setCardIdentity(0, unknown);
                     })
        << failed({"Detected Unknown", "serialNumber 770001", "Error: bad line card"},
                  OPCODE_LED_RED, true);
    Fault reflashFails =
        withCards(1, [](EmulatedD2xx &emu, const UpdateSequence &) {
            emu.setReflashSucceeds(0, false);
        });
    reflashFails.reflash = true;
    Outcome reflashFailure = finished(true);
    reflashFailure.summaryEnd.last() =
        QStringLiteral("ERROR: Update failed - return card to Quorvane for replacement");
    reflashFailure.led = OPCODE_LED_RED;
    reflashFailure.updateEnabled = false;
    QTest::newRow("reflash fails") << reflashFails << reflashFailure;
}

void tst_FaultMatrix::faults()
{
    QFETCH(Fault, fault);
    QFETCH(Outcome, expected);

    FirmwareImage image;
    QVERIFY(image.load(imagePath));
    const UpdateSequence sequence(image);
    payload = image.payload();
    loadAddress = image.loadAddress();

    if (fault.timing != EmulatedD2xx::Timing::Instant)
        emu = std::make_shared<EmulatedD2xx>(fault.timing);
    for (int i = 0; i < fault.cards; ++i)
        emu->addCard();
    if (fault.reflash)
        emu->setFlashVersions(0, 0x00010003, 0x00010002);
    if (fault.setup)
        fault.setup(*emu, sequence);
    segmentBefore = emu->infoSegment(0);
    setUpWindow();

    // Bounded by the reply time-outs and slow answers the row goes through,
    // the quiet link each retry waits for, and an allowance per attempt.
    const int allowanceMs = fault.timing == EmulatedD2xx::Timing::Wire ? wireAttemptAllowanceMs
                                                                       : attemptAllowanceMs;
    const int boundMs = fault.timeouts * VX420Controller::replyTimeoutMs + fault.slowMs
        + expected.retries * BootLoader::QUIET_MS + (expected.retries + 1) * allowanceMs
        + startAllowanceMs;
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(updateButton->isEnabled() || ended(), startAllowanceMs);
    if (!ended()) {
        QTest::mouseClick(updateButton, Qt::LeftButton);
        QVERIFY(!updateButton->isEnabled());
    }
    QTRY_VERIFY2_WITH_TIMEOUT(ended(), qPrintable(hangReport(boundMs, clock.elapsed())), boundMs);
    if (fault.replug) {
        QCOMPARE(summary().last(),
                 QString("ERROR: USB link lost - check the cable and click Connect to controller"));
        emu->plugCableBackIn();
        QTest::mouseClick(connectButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(updateButton->isEnabled(), startAllowanceMs);
        const int linesBefore = summary().size();
        QTest::mouseClick(updateButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(AutoUpdateRunner::outcomeOf(summary().mid(linesBefore)) >= 0,
                                 boundMs);
        int opens = 0;
        for (const EmulatorCall &call : emu->calls())
            opens += call.function == "FT_Open" && call.status == FT_OK;
        QCOMPARE(opens, 2); // the device that came back was opened anew
    }

    for (int card = 0; card < emu->cardCount(); ++card)
        QTRY_COMPARE_WITH_TIMEOUT(emu->ledState(card), expected.led, startAllowanceMs + fault.slowMs);
    QTest::qWait(settleMs);

    const QStringList lines = summary();
    QVERIFY(lines.size() >= expected.summaryEnd.size());
    QCOMPARE(lines.mid(lines.size() - expected.summaryEnd.size()), expected.summaryEnd);
    QCOMPARE(emu->ledState(0), expected.led);
    QCOMPARE(updateButton->isEnabled(), expected.updateEnabled);
    QCOMPARE(connectButton->isEnabled(), expected.connectEnabled);
    QCOMPARE(emu->flash(0, loadAddress, payload.size()) == payload, expected.flashIsImage);
    QCOMPARE(results().count("Firmware load failed - trying again"), expected.retries);
    QVERIFY2(wrongFinishes.isEmpty(), qPrintable("\"Finished.\" was written while "
                                                  + wrongFinishes.join(", ")));
    QVERIFY2(!emu->massErases(0).contains(false),
             "a mass erase took place while the information segment was unlocked");
    QCOMPARE(emu->infoSegment(0), segmentBefore);

    const QList<QByteArray> received = emu->receivedCommands(0);
    const QList<QByteArray> clean = sequence.cleanRun(fault.reflash);
    if (fault.wholeRunClean)
        QCOMPARE(received, clean);
    if (fault.stage >= 0) {
        // Up to the fault the card received what a clean run sends, so the
        // fault struck the command of its stage (a pulled card records
        // nothing from there on); then what the row says comes next.
        const int k = sequence.commandNumber(Stage(fault.stage));
        QCOMPARE(clean.at(k - 1), sequence.command(Stage(fault.stage)));
        const int recorded = qMin(k, received.size());
        QVERIFY2(recorded >= k - 1, qPrintable(QStringLiteral("the card received only %1 "
                                                              "commands, the fault is at %2")
                                                   .arg(received.size())
                                                   .arg(k)));
        QCOMPARE(received.mid(0, recorded), clean.mid(0, recorded));
        QList<QByteArray> next;
        for (Next n : fault.next) {
            switch (n) {
            case Sync: next << UpdateSequence::sync(); break;
            case Again: next << clean.at(k - 1); break;
            case Onward: next << clean.value(k); break;
            case LedRed: next << bodyOf(CommandPacket(OPCODE_LED_RED)); break;
            }
        }
        QCOMPARE(received.mid(k, next.size()), next);
    }
}

QTEST_MAIN(tst_FaultMatrix)
#include "tst_faultmatrix.moc"
