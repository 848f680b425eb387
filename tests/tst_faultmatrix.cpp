#include "app/LineCardUpdaterWindow.h"
#include "bootloader/BootLoader.h"
#include "bootloader/BslExchange.h"
#include "bootloader/BslPacket.h"
#include "bootloader/FirmwareImage.h"
#include "controller/CommandPacket.h"
#include "controller/Opcodes.h"
#include "controller/RawPacket.h"
#include "controller/VX420Controller.h"
#include "emulated/AutoUpdateRunner.h"
#include "emulator/EmulatedD2xx.h"
#include "tests/support/UpdaterWindowUnderTest.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

// The image of the emulated card's default board, Krone LSA-PLUS 10 pair.
const QString imagePath = QStringLiteral(":/firmware/LQ770_KRONE_LSAPLUS_S2_10PAIR.txt");

const QString noReply = QStringLiteral(
    "ERROR: no reply from the controller - check the line card and click Update card again");

const QString noCardAnswered = QStringLiteral(
    "ERROR: no line card answered - plug in one line card and click Update card again");

const QString nextCard = QStringLiteral("Next: plug in the next card and click Update card");

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
    LockConfirm,  // the sync request that confirms "locked"
    MassErase,
    Iv,
    FirstPage,
    MiddlePage,
    ThirdLastPage,
    LastPage,
    AppCheck,
    CheckConfirm, // the sync request that confirms the check's success
    FlashVersion,
    Reflash,
};

bool isBootloaderStage(Stage stage)
{
    return stage >= DeviceId && stage <= CheckConfirm;
}

// The installation goes on from this answer only once a sync request has
// confirmed it.
bool isDecisive(Stage stage)
{
    return stage == LockToggle || stage == AppCheck;
}

QByteArray bodyOf(const CommandPacket &packet)
{
    return RawPacket::toLocalFormat(packet.build());
}

// The commands a card receives during one update, in order, counting from
// 1: frame interval, identify; the installation: 3 device identity, 4 flash
// and 5 SRAM capacity probe, 6 and 7 lock toggles (the segment starts
// locked, so the first toggle unlocks it and the second locks it), 8 the
// sync request that confirms the lock, 9 mass erase, 10 initialisation
// vector, 11 .. 10+P the P code pages, 11+P application check, 12+P the
// sync request that confirms it; then 13+P flash version, 14+P reflash when
// the card's bootloader is to be updated, and last the green LED.
class UpdateSequence
{
public:
    explicit UpdateSequence(const FirmwareImage &image) : image(image) { }

    int pages() const
    {
        return int((quint32(image.payload().size()) + image.pageSize() - 1) / image.pageSize());
    }
    int middlePage() const { return pages() / 2; }

    int commandNumber(Stage stage) const
    {
        switch (stage) {
        case FrameInterval:
            return 1;
        case Identify:
            return 2;
        case DeviceId:
            return 3;
        case FlashProbe:
            return 4;
        case SramProbe:
            return 5;
        case UnlockToggle:
            return 6;
        case LockToggle:
            return 7;
        case LockConfirm:
            return 8;
        case MassErase:
            return 9;
        case Iv:
            return 10;
        case FirstPage:
            return 11;
        case MiddlePage:
            return 11 + middlePage();
        case ThirdLastPage:
            return 8 + pages();
        case LastPage:
            return 10 + pages();
        case AppCheck:
            return 11 + pages();
        case CheckConfirm:
            return 12 + pages();
        case FlashVersion:
            return 13 + pages();
        case Reflash:
            return 14 + pages();
        }
        return 0;
    }

    // The decoded body of the command the card receives at that stage.
    QByteArray command(Stage stage) const
    {
        switch (stage) {
        case FrameInterval:
            return bodyOf(CommandPacket(OPCODE_FRAME_INTERVAL, 1250));
        case Identify:
            return bodyOf(CommandPacket(OPCODE_IDENTIFY, 1));
        case DeviceId:
            return bootloader(BSL_GET_DEVICE_ID);
        // 0xF000 - MINIMUM_FLASH (0x3000), and MINIMUM_SRAM (0x0200) + 0x1FE.
        case FlashProbe:
            return bootloader(BSL_CAPACITY_CHECK, 0xC000);
        case SramProbe:
            return bootloader(BSL_CAPACITY_CHECK, 0x03FE);
        case UnlockToggle:
        case LockToggle:
            return bootloader(BSL_TOGGLE_INFO_LOCK);
        case LockConfirm:
        case CheckConfirm:
            return sync();
        case MassErase:
            return bootloader(BSL_MASS_ERASE);
        case Iv:
            return bootloader(BSL_RX_CRYPTO_IV, quint16(image.loadAddress()), image.cryptoIv());
        case FirstPage:
            return page(0);
        case MiddlePage:
            return page(middlePage());
        case ThirdLastPage:
            return page(pages() - 3);
        case LastPage:
            return page(pages() - 1);
        case AppCheck:
            return bootloader(BSL_APPLICATION_CHECK);
        case FlashVersion:
            return bodyOf(CommandPacket(GET_FLASH_VER));
        case Reflash:
            return bodyOf(CommandPacket(REFLASH_ACTION));
        }
        return {};
    }

    // Every command of an update that meets no fault.
    QList<QByteArray> cleanRun(bool reflash) const
    {
        QList<QByteArray> run;
        for (Stage stage : {FrameInterval, Identify, DeviceId, FlashProbe, SramProbe})
            run << command(stage);
        run << command(LockToggle) << command(LockToggle) << sync();
        run << command(MassErase) << command(Iv);
        for (int p = 0; p < pages(); ++p)
            run << page(p);
        run << command(AppCheck) << sync() << command(FlashVersion);
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
    Sync,   // the bootloader's sync request
    Again,  // that command once more
    Onward, // the command a clean run sends next
    Beyond, // the command a clean run sends after that
    LedRed,
};

// One fault and where it strikes.
struct Fault
{
    int cards = 1;
    bool reflash = false; // the card's bootloader is to be updated
    FaultSetup setup;
    int stage = -1;   // the stage whose command the fault strikes
    QList<Next> next; // what reaches the card right after that command
    bool wholeRunClean = false;
    int timeouts = 0; // reply time-outs the update goes through
    int slowMs = 0;   // what slow answers add to it
    EmulatedD2xx::Timing timing = EmulatedD2xx::Timing::Instant;
    // After "USB link lost" the cable goes back in, "Connect to controller"
    // and "Update card" are clicked once more.
    bool replug = false;
    // After the first result "Update card" is clicked once more; the
    // outcome is the second click's.
    bool secondClick = false;
};

// What the technician sees at the end, and what the card holds.
struct Outcome
{
    QStringList summaryEnd; // the last lines of the summary pane
    int led = 0;            // the card's LED opcode, 0 when never set
    bool updateEnabled = false;
    bool connectEnabled = false;
    bool flashIsImage = false;
    bool flashChecked = true;
    int retries = 0;               // "Firmware load failed - trying again" lines; -1: any number
    bool unexpectedAnswer = false; // an attempt was given up on an answer too many
    // Where timing decides between two stated results, the other one.
    QList<Outcome> orElse;
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
    enum Kind { Drop, Corrupt, Confused, Slow, SlowFrom, Short, Duplicate, Stray, StrayAfter } kind;
    int offset = 0;
    int ms = slowMs;
    QByteArray body = {}; // Stray, StrayAfter: the packet body
};

Fault answers(Stage stage, const QList<AnswerFault> &faults, int timeouts, const QList<Next> &next)
{
    Fault fault = atStage(stage, timeouts, next,
                          [stage, faults](EmulatedD2xx &emu, const UpdateSequence &sequence) {
                              for (const AnswerFault &f : faults) {
                                  const int k = sequence.commandNumber(stage) + f.offset;
                                  switch (f.kind) {
                                  case AnswerFault::Drop:
                                      emu.card(0)->dropReplyTo(k);
                                      break;
                                  case AnswerFault::Corrupt:
                                      emu.card(0)->corruptReplyTo(k);
                                      break;
                                  case AnswerFault::Confused:
                                      emu.card(0)->confusedReplyTo(k);
                                      break;
                                  case AnswerFault::Slow:
                                      emu.card(0)->slowReplyTo(k, f.ms);
                                      break;
                                  case AnswerFault::SlowFrom:
                                      emu.card(0)->slowRepliesFrom(k, f.ms);
                                      break;
                                  case AnswerFault::Short:
                                      emu.card(0)->shortReplyTo(k);
                                      break;
                                  case AnswerFault::Duplicate:
                                      emu.card(0)->duplicateReplyTo(k);
                                      break;
                                  case AnswerFault::Stray:
                                      emu.card(0)->strayBefore(k, f.body);
                                      break;
                                  case AnswerFault::StrayAfter:
                                      emu.card(0)->strayAfter(k, f.body);
                                      break;
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
// then the command again. A toggle sent again toggles again, so what
// follows it is not a clean run's. A controller command that only asks is
// asked once more; the reflash, which acts, is not, and its silence is
// reported.
QList<Next> afterLostAnswer(Stage stage)
{
    if (stage == Reflash)
        return {LedRed};
    if (!isBootloaderStage(stage))
        return {Again, Onward};
    if (stage == UnlockToggle || stage == LockToggle)
        return {Sync, Again};
    // A confirmation's lost answer: one more sync request, never a go-ahead.
    if (stage == LockConfirm || stage == CheckConfirm)
        return {Sync, Onward};
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

// CONFUSED answers to the command and to what the card receives next. For
// a controller command the controller sends it again once, and a second
// CONFUSED in a row is left to the reply time-out, which asks once more.
// For the bootloader a CONFUSED names no command: a sync request shows that
// no other answer came before the command goes again; a second CONFUSED may
// be the sync request's, which is asked again.
Fault confused(Stage stage, int times)
{
    QList<AnswerFault> faults;
    for (int i = 0; i < times; ++i)
        faults.append({AnswerFault::Confused, i});
    QList<Next> next;
    if (isBootloaderStage(stage))
        next = times > 1 ? QList<Next>{Sync, Sync, Again} : QList<Next>{Sync, Again};
    else
        next = times > 1 ? QList<Next>{Again, Again, Onward} : QList<Next>{Again, Onward};
    return answers(stage, faults, times > 1 && !isBootloaderStage(stage) ? 1 : 0, next);
}

// The answer comes after the reply time-out: the sync request goes out,
// the late answer is held until the sync's answer shows it the command's,
// and nothing is sent twice; a decisive answer so proven needs no second
// confirmation. A controller command that only asks is asked once more,
// and the late answer is taken.
Fault slow(Stage stage)
{
    QList<Next> next;
    if (stage == Reflash)
        next = {LedRed};
    else if (!isBootloaderStage(stage))
        next = {Again, Onward};
    else
        next = {Sync, isDecisive(stage) ? Beyond : Onward};
    return answers(stage, {{AnswerFault::Slow}}, 1, next);
}

QByteArray bodyHex(const char *hex)
{
    return QByteArray::fromHex(hex);
}

// Bootloader answers and controller reports as the card's slot carries them.
const QByteArray lockedMessage = bodyHex("02FFFF3B01");
const QByteArray okMessage = bodyHex("02FFFF3B00");
const QByteArray confusedAnswer = bodyHex("00FFFF");
const QByteArray ledReport = bodyHex("22FFFF");

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
    case LineFault::Flip:
        return "a byte changed";
    case LineFault::Lose:
        return "a byte lost";
    case LineFault::Extra:
        return "a byte added";
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
    outcome.summaryEnd << "Finished." << nextCard;
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
    outcome.summaryEnd.removeLast();
    outcome.summaryEnd.last() = noReply;
    outcome.led = OPCODE_LED_RED;
    return outcome;
}

// An answer too many cost the first attempt; the next one installed.
Outcome finishedAfterSurplus()
{
    Outcome outcome = finished(false, 1);
    outcome.unexpectedAnswer = true;
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
    case FrameInterval:
        return "frame interval";
    case Identify:
        return "identify";
    case DeviceId:
        return "device identity";
    case FlashProbe:
        return "flash capacity probe";
    case SramProbe:
        return "SRAM capacity probe";
    case UnlockToggle:
        return "first lock toggle";
    case LockToggle:
        return "lock";
    case LockConfirm:
        return "lock's confirmation";
    case MassErase:
        return "mass erase";
    case Iv:
        return "initialisation vector";
    case FirstPage:
        return "first page";
    case MiddlePage:
        return "middle page";
    case ThirdLastPage:
        return "third page from the end";
    case LastPage:
        return "last page";
    case AppCheck:
        return "application check";
    case CheckConfirm:
        return "check's confirmation";
    case FlashVersion:
        return "flash version";
    case Reflash:
        return "reflash";
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
    void campaign_data();
    void campaign();

private:
    void setUpWindow();
    bool ended() const;
    QString hangReport(int boundMs, qint64 elapsedMs) const;
    QStringList summary() const { return summaryPane->toPlainText().split('\n'); }
    QStringList results() const { return resultsPane->toPlainText().split('\n'); }

    std::shared_ptr<EmulatedD2xx> emu;
    std::unique_ptr<UpdaterWindowUnderTest> ui;
    LineCardUpdaterWindow *window = nullptr;
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
    ui.reset();
    window = nullptr;
    emu.reset();
}

void tst_FaultMatrix::setUpWindow()
{
    ui = std::make_unique<UpdaterWindowUnderTest>(emu);
    QVERIFY(ui->complete());
    window = ui->window.get();
    connectButton = ui->connectButton;
    updateButton = ui->updateButton;
    summaryPane = ui->summaryPane;
    resultsPane = ui->resultsPane;
    // Looked at the moment it is written, whatever follows: the card holds
    // exactly the image, its information segment is as it was and locked,
    // and its own check has started the application.
    connect(summaryPane, &QPlainTextEdit::textChanged, this, [this] {
        if (summary().last() != QLatin1String("Finished."))
            return;
        if (emu->card(0)->bootloader().flash(loadAddress, payload.size()) != payload)
            wrongFinishes << "the flash does not hold the image";
        if (emu->card(0)->bootloader().infoSegment() != segmentBefore)
            wrongFinishes << "the information segment changed";
        if (!emu->card(0)->bootloader().infoSegmentLocked())
            wrongFinishes << "the information segment is unlocked";
        if (!emu->card(0)->bootloader().applicationRunning())
            wrongFinishes << "the card's application is not running";
    });
}

// The summary's latest message, the hints that follow it left out, states a
// result.
bool tst_FaultMatrix::ended() const
{
    const QString last = LineCardUpdaterWindow::verdictOf(summary());
    return last == QLatin1String("Finished.") || last.startsWith(QLatin1String("ERROR"))
           || last.startsWith(QLatin1String("Error"));
}

QString tst_FaultMatrix::hangReport(int boundMs, qint64 elapsedMs) const
{
    const QList<QByteArray> received = emu->cardCount() > 0 ? emu->card(0)->receivedCommands()
                                                            : QList<QByteArray>();
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
    QTest::addColumn<Outcome>("outcome");

    QTest::newRow("no fault") << noFault(false) << finished();
    QTest::newRow("no fault, bootloader updated") << noFault(true) << finished(true);

    const Stage installStages[] = {DeviceId,    FlashProbe, SramProbe,   UnlockToggle, LockToggle,
                                   LockConfirm, MassErase,  Iv,          FirstPage,    MiddlePage,
                                   LastPage,    AppCheck,   CheckConfirm};
    // A query that meets no reply is asked once more.
    for (Stage stage : {FrameInterval, Identify})
        QTest::newRow(qPrintable(QStringLiteral("dropped reply: %1").arg(stageName(stage))))
            << dropped(stage) << finished();
    for (Stage stage : installStages)
        QTest::newRow(qPrintable(QStringLiteral("dropped reply: %1").arg(stageName(stage))))
            << dropped(stage) << finished();
    QTest::newRow("dropped reply: flash version") << dropped(FlashVersion) << finished();
    QTest::newRow("dropped reply: reflash") << dropped(Reflash) << noReplyAfterInstall(true);

    for (Stage stage : installStages)
        QTest::newRow(qPrintable(QStringLiteral("corrupted reply: %1").arg(stageName(stage))))
            << corrupted(stage) << finished();
    QTest::newRow("corrupted reply: flash version") << corrupted(FlashVersion) << finished();
    QTest::newRow("corrupted reply: reflash") << corrupted(Reflash) << noReplyAfterInstall(true);

    for (Stage stage :
         {FrameInterval, Identify, DeviceId, UnlockToggle, MiddlePage, AppCheck, FlashVersion})
        QTest::newRow(qPrintable(QStringLiteral("CONFUSED: %1").arg(stageName(stage))))
            << confused(stage, 1) << finished();
    QTest::newRow("CONFUSED twice: middle page") << confused(MiddlePage, 2) << finished();
    QTest::newRow("CONFUSED twice: flash version") << confused(FlashVersion, 2) << finished();

    // Answers later than the reply time-out.
    for (Stage stage : installStages)
        QTest::newRow(qPrintable(QStringLiteral("slow answer: %1").arg(stageName(stage))))
            << slow(stage) << finished();
    for (Stage stage : {FrameInterval, Identify, FlashVersion})
        QTest::newRow(qPrintable(QStringLiteral("slow answer: %1").arg(stageName(stage))))
            << slow(stage) << finished();
    QTest::newRow("slow answer: reflash") << slow(Reflash) << noReplyAfterInstall(true);
    QTest::newRow("frame interval answered short")
        << answers(FrameInterval, {{AnswerFault::Short}}, 0, {LedRed})
        << failed({appError}, OPCODE_LED_RED, true);

    // Slow answers together with lost and CONFUSED ones, around the middle
    // page: offset 1 is the sync request.
    QTest::newRow("slow page, the sync's answer dropped: a second sync, no go-ahead") << answers(
        MiddlePage, {{AnswerFault::Slow}, {AnswerFault::Drop, 1}}, 2, {Sync, Sync, Onward})
                                                                                      << finished();
    QTest::newRow("page answer dropped, the sync's answer slow") << answers(
        MiddlePage, {{AnswerFault::Drop}, {AnswerFault::Slow, 1}}, 2, {Sync, Sync, Again, Onward})
                                                                 << finished();
    QTest::newRow("slow page answered CONFUSED") << answers(
        MiddlePage, {{AnswerFault::Slow}, {AnswerFault::Confused}}, 1, {Sync, Again, Onward})
                                                 << finished();
    QTest::newRow("slow page, the sync answered CONFUSED: asked again") << answers(
        MiddlePage, {{AnswerFault::Slow}, {AnswerFault::Confused, 1}}, 1, {Sync, Sync, Onward})
                                                                        << finished();
    QTest::newRow("page answered CONFUSED, the sync's answer slow")
        << answers(MiddlePage, {{AnswerFault::Confused}, {AnswerFault::Slow, 1}}, 1,
                   {Sync, Sync, Again, Onward})
        << finished();
    QTest::newRow("two slow pages in a row") << answers(
        MiddlePage, {{AnswerFault::Slow}, {AnswerFault::Slow, 2}}, 2, {Sync, Onward, Sync})
                                             << finished();
    QTest::newRow("five answers lost in a row: the page's and four syncs'")
        << answers(MiddlePage,
                   {{AnswerFault::Drop},
                    {AnswerFault::Drop, 1},
                    {AnswerFault::Drop, 2},
                    {AnswerFault::Drop, 3},
                    {AnswerFault::Drop, 4}},
                   5, {Sync, Sync, Sync, Sync, Sync, Again, Onward})
        << finished();

    // An answer too many: the attempt it strikes fails, the next one drains
    // the link and installs.
    QTest::newRow("SRAM probe answered twice")
        << answers(SramProbe, {{AnswerFault::Duplicate}}, 0, {}) << finishedAfterSurplus();
    QTest::newRow("first lock toggle answered twice")
        << answers(UnlockToggle, {{AnswerFault::Duplicate}}, 0, {}) << finishedAfterSurplus();
    QTest::newRow("locking toggle answered twice")
        << answers(LockToggle, {{AnswerFault::Duplicate}}, 0, {Sync}) << finishedAfterSurplus();
    QTest::newRow("a CONFUSED that answers nothing while the first toggle is in flight")
        << answers(UnlockToggle, {{AnswerFault::Stray, 0, 0, confusedAnswer}}, 0, {Sync})
        << finishedAfterSurplus();
    // "Locked" before any "unlocked" is toggled past, never confirmed.
    QTest::newRow("a stray \"locked\" while the first toggle is in flight")
        << answers(UnlockToggle, {{AnswerFault::Stray, 0, 0, lockedMessage}}, 0, {Again})
        << finishedAfterSurplus();
    QTest::newRow("a stray CONFUSED right behind the SRAM probe's answer")
        << answers(SramProbe, {{AnswerFault::StrayAfter, 0, 0, confusedAnswer}}, 0, {Onward, Sync})
        << finishedAfterSurplus();
    QTest::newRow("a stray OK right behind the application check's")
        << answers(AppCheck, {{AnswerFault::StrayAfter, 0, 0, okMessage}}, 0, {Sync})
        << finishedAfterSurplus();
    QTest::newRow("a stray OK during the pages")
        << answers(MiddlePage, {{AnswerFault::Stray, 0, 0, okMessage}}, 0, {Onward})
        << finishedAfterSurplus();
    QTest::newRow("a page held behind a sync answered CONFUSED, then a stray answer")
        << answers(MiddlePage,
                   {{AnswerFault::Slow},
                    {AnswerFault::Confused, 1},
                    {AnswerFault::StrayAfter, 1, 0, okMessage}},
                   1, {Sync, Sync})
        << finishedAfterSurplus();
    QTest::newRow("one answer lost and the sync's answer cut short: the next attempt installs")
        << answers(FlashProbe, {{AnswerFault::Drop}, {AnswerFault::Short, 1}}, 2, {Sync, Sync})
        << finished(false, 1);

    // Controller reports nobody asked for, and lost answers behind them.
    QTest::newRow("a stray LED report while the flash version is asked, its answer lost")
        << answers(FlashVersion, {{AnswerFault::Stray, 0, 0, ledReport}, {AnswerFault::Drop}}, 1,
                   {Again, Onward})
        << finished();
    Fault lateIdentity = answers(Identify, {{AnswerFault::Drop}, {AnswerFault::Slow, 1, 5000}}, 2,
                                 {Again});
    lateIdentity.secondClick = true;
    lateIdentity.setup = [](EmulatedD2xx &emu, const UpdateSequence &sequence) {
        const int k = sequence.commandNumber(Identify);
        emu.card(0)->dropReplyTo(k);
        emu.card(0)->slowReplyTo(k + 1, 5000);
        emu.card(0)->dropReplyTo(k + 2); // the second click's frame interval
    };
    lateIdentity.timeouts = 4;
    lateIdentity.slowMs = 5000;
    QTest::newRow("a late identity from the last click, then the frame interval's answer lost")
        << lateIdentity << finished();

    // Answers just past the reply time-out from some command on: every
    // exchange needs sync requests, which the card answers as late. The
    // result comes within its bound.
    Fault lateFromPage121 = answers(LastPage, {{AnswerFault::SlowFrom, -6, 2009}}, 80, {Sync});
    lateFromPage121.slowMs = 60 * 2009;
    lateFromPage121.stage = -1; // the fault starts six pages before the stage named
    // Every exchange from there on needs sync requests, which the card
    // answers as late and which queue up behind its answers: how far an
    // attempt gets before its time-outs run out depends on how quickly the
    // host turns round. Each stated result may come, within the bound;
    // "Finished." only by the invariant.
    Outcome installed = finished();
    installed.retries = -1;
    Outcome lateNoReply = noReplyAfterInstall(false);
    lateNoReply.retries = -1;
    Outcome lateGaveUp = failed({"Loading firmware - please wait",
                                 "Do not remove the card during the update",
                                 "ERROR: firmware load failed",
                                 "Next: reseat the card and click Update card again"},
                                OPCODE_LED_RED, true, false, LineCardUpdaterWindow::retriesPerClick);
    lateGaveUp.flashChecked = false;
    installed.orElse = {lateNoReply, lateGaveUp};
    QTest::newRow("every answer from page 121 on 2,009 ms late") << lateFromPage121 << installed;
    Fault lateFromCheck = answers(AppCheck, {{AnswerFault::SlowFrom, 0, 2009}}, 80, {Sync});
    lateFromCheck.slowMs = 60 * 2009;
    lateFromCheck.stage = -1; // what follows the check depends on timing
    QTest::newRow("every answer from the application check on 2,009 ms late")
        << lateFromCheck << installed;

    // On the wire, where replies trickle in frame by frame.
    QTest::newRow("no fault, wire timing") << inWireTiming(noFault(false)) << finished();
    QTest::newRow("dropped reply: middle page, wire timing")
        << inWireTiming(dropped(MiddlePage)) << finished();
    QTest::newRow("slow answer: middle page, wire timing")
        << inWireTiming(slow(MiddlePage)) << finished();
    // Every answer from three pages before the end on takes 2.2 s: each
    // exchange needs sync requests, and the card's queue grows with them.
    // The card is installed; the flash-version query, asked twice, meets
    // answers still queued behind the sync requests.
    Fault slowFrom = answers(ThirdLastPage, {{AnswerFault::SlowFrom, 0, 2200}}, 16, {Sync});
    slowFrom.slowMs = 16 * 2200;
    Outcome installedOrNoReply = noReplyAfterInstall(false);
    installedOrNoReply.orElse = {finished()};
    QTest::newRow("slow from three pages before the end, wire timing")
        << inWireTiming(slowFrom) << installedOrNoReply;
    // The confirmation waits for a quiet line, so the stray behind the
    // check's answer is seen, not cut off by the sync request.
    QTest::newRow("a stray OK right behind the application check's, wire timing")
        << inWireTiming(answers(AppCheck, {{AnswerFault::StrayAfter, 0, 0, okMessage}}, 0, {Sync}))
        << finishedAfterSurplus();

    const auto refused = [](int times) {
        return atStage(MiddlePage, 0, {},
                       [times](EmulatedD2xx &emu, const UpdateSequence &sequence) {
                           emu.card(0)->bootloader().refusePage(sequence.middlePage(), times);
                       });
    };
    const int retries = LineCardUpdaterWindow::retriesPerClick;
    const QStringList gaveUp = {
        "Loading firmware - please wait", "Do not remove the card during the update",
        "ERROR: firmware load failed", "Next: reseat the card and click Update card again"};
    // After the last attempt the card may be tried again: "Update card" is
    // enabled and the red LED marks the card.
    QTest::newRow("page refused on every attempt")
        << refused(-1) << failed(gaveUp, OPCODE_LED_RED, true, false, retries);
    QTest::newRow("page refused on the first two attempts") << refused(2) << finished(false, 2);
    QTest::newRow("page refused on all attempts but the last")
        << refused(retries) << finished(false, retries);

    // The first attempt's command and its sync requests go unanswered; each
    // further attempt's drain as well. The red LED reaches no card.
    Fault pulled =
        atStage(MiddlePage,
                BslExchange::MAX_TIMEOUTS + 1 + retries * (BslExchange::MAX_DRAIN_TIMEOUTS + 1) + 1,
                {}, [](EmulatedD2xx &emu, const UpdateSequence &sequence) {
                    emu.card(0)->stopAnsweringFrom(sequence.commandNumber(MiddlePage));
                });
    QTest::newRow("card pulled out mid-update")
        << pulled << failed(gaveUp, 0, true, false, retries);
    // Every command is one transmission of the chip.
    QTest::newRow("cable pulled out mid-update")
        << atStage(MiddlePage, 0, {},
                   [](EmulatedD2xx &emu, const UpdateSequence &sequence) {
                       emu.pullCableAtTransmission(sequence.commandNumber(MiddlePage));
                   })
        << failed({"Loading firmware - please wait", "Do not remove the card during the update",
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
        for (Stage stage : {Identify, MiddlePage, AppCheck})
            QTest::newRow(qPrintable(
                QStringLiteral("line, %1: %2").arg(lineFaultName(lineFault), stageName(stage))))
                << onTheLine(stage, lineFault) << finished();
    }

    // The card is built for another board than its identity says: its own
    // check refuses the image the tool chose for what it reported.
    const auto otherBoard = [](const QByteArray &strayOk) {
        return withCards(1, [strayOk](EmulatedD2xx &emu, const UpdateSequence &sequence) {
            emu.card(0)->bootloader().setFirmware(
                CardFirmware::fromFile(QStringLiteral(":/firmware/LQ770_QUANTE_SIDC_10PAIR.txt")));
            if (!strayOk.isEmpty())
                emu.card(0)->strayBefore(sequence.commandNumber(MiddlePage), strayOk);
        });
    };
    Outcome refusedImage = failed(gaveUp, OPCODE_LED_RED, true, false, retries);
    refusedImage.flashIsImage = true;
    QTest::newRow("card of another board: its check refuses the image")
        << otherBoard({}) << refusedImage;
    // The stray would make the last page's answer pass for the check's.
    refusedImage.unexpectedAnswer = true;
    QTest::newRow("card of another board, a stray OK during the pages")
        << otherBoard(okMessage) << refusedImage;

    QTest::newRow("no controller")
        << withCards(1, [](EmulatedD2xx &emu, const UpdateSequence &) { emu.setDevices({}); })
        << failed({"ERROR: controller not found - check the USB cable and click Connect again"}, 0,
                  false, true);
    Fault noCard = withCards(0);
    noCard.timeouts = 2;
    QTest::newRow("no card") << noCard << failed({noCardAnswered}, 0, true);
    QTest::newRow("two cards")
        << withCards(2)
        << failed({"ERROR: 2 line cards attached - please update your line cards one at a time",
                   "Next: leave one card plugged in and click Update card"},
                  OPCODE_LED_RED, true);
    QTest::newRow("unknown board")
        << withCards(1,
                     [](EmulatedD2xx &emu, const UpdateSequence &) {
                         EmulatedCardIdentity unknown;
                         unknown.blockManufacturer = 6;
                         unknown.blockType = 2;
                         emu.card(0)->setIdentity(unknown);
                     })
        << failed({"Detected Unknown", "serialNumber 770001", "Error: bad line card",
                   "Reason: no firmware for this board (manufacturer 6, type 2)",
                   "Next: set this card aside and click Update card for the next one"},
                  OPCODE_LED_RED, true);
    Fault reflashFails = withCards(1, [](EmulatedD2xx &emu, const UpdateSequence &) {
        emu.card(0)->setReflashSucceeds(false);
    });
    reflashFails.reflash = true;
    Outcome reflashFailure = finished(true);
    reflashFailure.summaryEnd.removeLast();
    reflashFailure.summaryEnd.last() =
        QStringLiteral("ERROR: Update failed - return card to Quorvane for replacement");
    reflashFailure.led = OPCODE_LED_RED;
    reflashFailure.updateEnabled = false;
    QTest::newRow("reflash fails") << reflashFails << reflashFailure;
}

void tst_FaultMatrix::faults()
{
    QFETCH(Fault, fault);
    QFETCH(Outcome, outcome);

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
        emu->card(0)->setFlashVersions(0x00010003, 0x00010002);
    if (fault.setup)
        fault.setup(*emu, sequence);
    if (emu->cardCount() > 0)
        segmentBefore = emu->card(0)->bootloader().infoSegment();
    setUpWindow();

    // Bounded by the reply time-outs and slow answers the row goes through,
    // and an allowance per attempt.
    const int allowanceMs = fault.timing == EmulatedD2xx::Timing::Wire ? wireAttemptAllowanceMs
                                                                       : attemptAllowanceMs;
    int retriesAtMost = outcome.retries < 0 ? LineCardUpdaterWindow::retriesPerClick
                                            : outcome.retries;
    for (const Outcome &other : outcome.orElse)
        retriesAtMost = qMax(retriesAtMost, other.retries < 0
                                                ? LineCardUpdaterWindow::retriesPerClick
                                                : other.retries);
    const int boundMs = fault.timeouts * VX420Controller::replyTimeoutMs + fault.slowMs
                        + (retriesAtMost + 1) * allowanceMs + startAllowanceMs;
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
        QCOMPARE(LineCardUpdaterWindow::verdictOf(summary()),
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
    if (fault.secondClick) {
        QVERIFY(updateButton->isEnabled());
        const int linesBefore = summary().size();
        QTest::mouseClick(updateButton, Qt::LeftButton);
        QTRY_VERIFY2_WITH_TIMEOUT(AutoUpdateRunner::outcomeOf(summary().mid(linesBefore)) >= 0,
                                  qPrintable(hangReport(boundMs, clock.elapsed())), boundMs);
    }

    // The outcome the summary ends with, of those the row allows.
    Outcome expected = outcome;
    for (const Outcome &other : outcome.orElse) {
        const QStringList lines = summary();
        if (lines.size() >= other.summaryEnd.size()
            && lines.mid(lines.size() - other.summaryEnd.size()) == other.summaryEnd)
            expected = other;
    }
    for (int card = 0; card < emu->cardCount(); ++card)
        QTRY_COMPARE_WITH_TIMEOUT(emu->card(card)->ledState(), expected.led,
                                  startAllowanceMs + fault.slowMs);
    QTest::qWait(settleMs);

    const QStringList lines = summary();
    QVERIFY(lines.size() >= expected.summaryEnd.size());
    QCOMPARE(lines.mid(lines.size() - expected.summaryEnd.size()), expected.summaryEnd);
    QCOMPARE(updateButton->isEnabled(), expected.updateEnabled);
    QCOMPARE(connectButton->isEnabled(), expected.connectEnabled);
    if (expected.retries >= 0)
        QCOMPARE(results().count("Firmware load failed - trying again"), expected.retries);
    const QStringList resultLines = results();
    const bool unexpected =
        std::any_of(resultLines.cbegin(), resultLines.cend(), [](const QString &line) {
            return line.startsWith(
                QLatin1String("Unexpected answer from the line card, attempt abandoned: "));
        });
    QCOMPARE(unexpected, expected.unexpectedAnswer);
    QVERIFY2(wrongFinishes.isEmpty(),
             qPrintable("\"Finished.\" was written while " + wrongFinishes.join(", ")));
    if (emu->cardCount() == 0)
        return;

    QCOMPARE(emu->card(0)->ledState(), expected.led);
    if (expected.flashChecked)
        QCOMPARE(emu->card(0)->bootloader().flash(loadAddress, payload.size()) == payload,
                 expected.flashIsImage);
    QVERIFY2(!emu->card(0)->bootloader().massErases().contains(false),
             "a mass erase took place while the information segment was unlocked");
    QCOMPARE(emu->card(0)->bootloader().infoSegment(), segmentBefore);

    const QList<QByteArray> received = emu->card(0)->receivedCommands();
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
            case Sync:
                next << UpdateSequence::sync();
                break;
            case Again:
                next << clean.at(k - 1);
                break;
            case Onward:
                next << clean.value(k);
                break;
            case Beyond:
                next << clean.value(k + 1);
                break;
            case LedRed:
                next << bodyOf(CommandPacket(OPCODE_LED_RED));
                break;
            }
        }
        QCOMPARE(received.mid(k, next.size()), next);
    }
}

// The seeds CI runs; LINECARD_CAMPAIGN_SEEDS runs others: "7", "1,5,9" or
// "100-199".
QList<quint32> campaignSeeds()
{
    const QByteArray chosen = qgetenv("LINECARD_CAMPAIGN_SEEDS");
    if (chosen.isEmpty()) {
        QList<quint32> seeds;
        for (quint32 seed = 1; seed <= 24; ++seed)
            seeds << seed;
        return seeds;
    }
    QList<quint32> seeds;
    for (const QByteArray &part : chosen.split(',')) {
        const QList<QByteArray> range = part.trimmed().split('-');
        const quint32 first = range.value(0).toUInt();
        const quint32 last = range.size() > 1 ? range.value(1).toUInt() : first;
        for (quint32 seed = first; seed <= last && seed - first < 100000; ++seed)
            seeds << seed;
    }
    return seeds;
}

// One fault a campaign run draws: its kind, the command it strikes and,
// for a stray, the packet body.
struct DrawnFault
{
    enum Kind {
        Drop,
        Corrupt,
        Confused,
        Slow,
        Short,
        Duplicate,
        Stray,
        StrayAfter,
        LineFlip,
        LineLose,
        LineExtra,
        KindCount
    };
    Kind kind;
    int k;
    int ms;
    QByteArray body;

    QString describe() const
    {
        static const char *const names[] = {"drop",      "corrupt",   "confused",  "slow",
                                            "short",     "dup",       "stray",     "stray-after",
                                            "line-flip", "line-lose", "line-extra"};
        QString text = QStringLiteral("%1:%2").arg(QLatin1String(names[kind])).arg(k);
        if (kind == Slow)
            text += QStringLiteral(":%1").arg(ms);
        if (kind == Stray || kind == StrayAfter)
            text += ':' + QString::fromLatin1(body.toHex().toUpper());
        return text;
    }
};

// One to four faults of any kind. The commands they strike lean to where
// the installation decides: the lock and its confirmation, the mass erase,
// the last pages, the application check and its confirmation.
QList<DrawnFault> drawFaults(quint32 seed, const UpdateSequence &sequence)
{
    QRandomGenerator random(seed);
    const int pages = sequence.pages();
    const QList<QByteArray> bodies = {
        lockedMessage,
        okMessage,
        confusedAnswer,
        ledReport,
        bodyHex("02FFFF3A"
                "E10203E4"),   // a sync request's answer
        bodyHex("02FFFF3B05"), // a refusal
        bodyHex("02FFFF3A"
                "255300000000000000000000000000000000"), // a device identity
        bodyHex("03E604"),                               // a frame-interval report
        bodyHex("06FFFF"
                "03000100"
                "02000100"), // a flash-version report
    };
    QList<DrawnFault> faults;
    const int count = 1 + int(random.bounded(4));
    for (int i = 0; i < count; ++i) {
        DrawnFault fault;
        fault.kind = DrawnFault::Kind(random.bounded(int(DrawnFault::KindCount)));
        const int region = int(random.bounded(100));
        if (region < 35)
            fault.k = sequence.commandNumber(UnlockToggle)
                      + int(random.bounded(3)); // toggles, confirmation
        else if (region < 50)
            fault.k = sequence.commandNumber(MassErase) + int(random.bounded(2)); // erase, IV
        else if (region < 75)
            fault.k = sequence.commandNumber(LastPage) - 2
                      + int(random.bounded(5)); // last pages to the confirmation
        else
            fault.k = 1 + int(random.bounded(14 + pages));
        fault.ms = 2000 + int(random.bounded(1200));
        fault.body = bodies.at(int(random.bounded(bodies.size())));
        faults << fault;
    }
    return faults;
}

void tst_FaultMatrix::campaign_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed : campaignSeeds())
        QTest::addRow("seed %u", seed) << seed;
}

// Random faults, judged by the invariant alone: a stated result within the
// bound, "Finished." only over the exact image with the information segment
// as it was and locked and the card's application running, and never a
// mass erase while the segment is unlocked.
void tst_FaultMatrix::campaign()
{
    QFETCH(quint32, seed);

    FirmwareImage image;
    QVERIFY(image.load(imagePath));
    const UpdateSequence sequence(image);
    payload = image.payload();
    loadAddress = image.loadAddress();
    emu->addCard();

    const QList<DrawnFault> faults = drawFaults(seed, sequence);
    QStringList described;
    int slowTotalMs = 0;
    for (const DrawnFault &f : faults) {
        described << f.describe();
        switch (f.kind) {
        case DrawnFault::Drop:
            emu->card(0)->dropReplyTo(f.k);
            break;
        case DrawnFault::Corrupt:
            emu->card(0)->corruptReplyTo(f.k);
            break;
        case DrawnFault::Confused:
            emu->card(0)->confusedReplyTo(f.k);
            break;
        case DrawnFault::Slow:
            emu->card(0)->slowReplyTo(f.k, f.ms);
            slowTotalMs += f.ms;
            break;
        case DrawnFault::Short:
            emu->card(0)->shortReplyTo(f.k);
            break;
        case DrawnFault::Duplicate:
            emu->card(0)->duplicateReplyTo(f.k);
            break;
        case DrawnFault::Stray:
            emu->card(0)->strayBefore(f.k, f.body);
            break;
        case DrawnFault::StrayAfter:
            emu->card(0)->strayAfter(f.k, f.body);
            break;
        case DrawnFault::LineFlip:
            emu->setLineFault(0, f.k, LineFault::Flip);
            break;
        case DrawnFault::LineLose:
            emu->setLineFault(0, f.k, LineFault::Lose);
            break;
        case DrawnFault::LineExtra:
            emu->setLineFault(0, f.k, LineFault::Extra);
            break;
        case DrawnFault::KindCount:
            break;
        }
    }
    const QString faultText = described.join(' ');
    segmentBefore = emu->card(0)->bootloader().infoSegment();
    setUpWindow();

    // Each fault strikes one command, so it costs at most one attempt: its
    // time-outs, a drain and the attempt again. All five attempts in the
    // allowance.
    const int perFaultMs = (BslExchange::MAX_TIMEOUTS + BslExchange::MAX_DRAIN_TIMEOUTS + 2)
                           * VX420Controller::replyTimeoutMs;
    const int boundMs = startAllowanceMs + int(faults.size()) * perFaultMs + slowTotalMs
                        + (LineCardUpdaterWindow::retriesPerClick + 1) * attemptAllowanceMs;
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(updateButton->isEnabled(), startAllowanceMs);
    QTest::mouseClick(updateButton, Qt::LeftButton);
    QTRY_VERIFY2_WITH_TIMEOUT(
        ended(), qPrintable(faultText + ": " + hangReport(boundMs, clock.elapsed())), boundMs);
    QTest::qWait(settleMs);

    const QString result = LineCardUpdaterWindow::verdictOf(summary());
    qInfo("seed %u, %s: \"%s\" in %lld ms, %lld retries", seed, qPrintable(faultText),
          qPrintable(result), clock.elapsed(),
          qlonglong(results().count("Firmware load failed - trying again")));
    QVERIFY2(wrongFinishes.isEmpty(), qPrintable(faultText + ": \"Finished.\" was written while "
                                                 + wrongFinishes.join(", ")));
    QVERIFY2(!emu->card(0)->bootloader().massErases().contains(false),
             qPrintable(faultText
                        + ": a mass erase took place while the information segment was unlocked"));
    QVERIFY2(emu->card(0)->bootloader().infoSegment() == segmentBefore,
             qPrintable(faultText + ": the information segment changed"));
    if (result == QLatin1String("Finished."))
        QTRY_COMPARE_WITH_TIMEOUT(emu->card(0)->ledState(), int(OPCODE_LED_GREEN),
                                  startAllowanceMs);
    else
        QVERIFY2(updateButton->isEnabled() || connectButton->isEnabled(),
                 qPrintable(faultText + ": no button left to go on with after \"" + result + "\""));
}

QTEST_MAIN(tst_FaultMatrix)
#include "tst_faultmatrix.moc"
