#include "bootloader/BslExchange.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

// A bootloader answer as the tunnel delivers it: the decoded controller
// packet (opcode 0x02, two argument digits), then reply type and data.
QByteArray message(quint8 code)
{
    return QByteArray::fromHex("02FFFF3B") + char(code);
}

QByteArray dataReply(int size)
{
    QByteArray packet = QByteArray::fromHex("02FFFF3A");
    for (int i = 0; i < size; ++i)
        packet.append(char(0xA0 + i));
    return packet;
}

const QByteArray confused = QByteArray::fromHex("00FFFF");
const QByteArray command = QByteArray::fromHex("13"); // a lock toggle

// An answer written the way the scripts name it.
QString nameOf(const QByteArray &packet)
{
    if (packet.size() == 5 && packet.startsWith(QByteArray::fromHex("02FFFF3B")))
        return QStringLiteral("m%1").arg(quint8(packet.at(4)));
    if (packet.startsWith(QByteArray::fromHex("02FFFF3A")))
        return QStringLiteral("d%1").arg(packet.size() - 4);
    return QString::fromLatin1(packet.toHex());
}

} // namespace

// Reply scripts: what the state machine asks of the exchange and what the
// card answers, one event after another, against everything the exchange
// sends and reports, in order.
//
// Events: send, resend, single (a single command), confirm, prepare,
// abandon, finish; m0, m1, ... (message answers), d4 (the sync request's
// answer: four data bytes), d16 (a data answer of 16 bytes), confused, and
// timeout. Outputs: tx (the command), sync (a sync request, sent once the
// line is quiet), a:m0 ... (an answer delivered), lost, confirmed,
// drained, unexpected, noanswer; proven and settled when confirm or
// prepare answer true at once.
class tst_BslExchange : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void scripts_data();
    void scripts();
    void replyTimerFires();
    void lateSyncAnswersAreConsumed();

private:
    void run(const QString &event);

    std::unique_ptr<BslExchange> exchange;
    QStringList trace;
};

void tst_BslExchange::init()
{
    exchange = std::make_unique<BslExchange>();
    trace.clear();
    BslExchange *e = exchange.get();
    connect(e, &BslExchange::reqTxBytes, this, [this](const QByteArray &bytes) {
        QCOMPARE(bytes, command);
        trace << "tx";
    });
    connect(e, &BslExchange::reqTxBytesWhenQuiet, this, [this](const QByteArray &bytes) {
        QCOMPARE(bytes, BslExchange::syncRequest());
        trace << "sync";
    });
    connect(e, &BslExchange::notifyAnswer, this,
            [this](const QByteArray &packet) { trace << "a:" + nameOf(packet); });
    connect(e, &BslExchange::notifyAnswerLost, this, [this] { trace << "lost"; });
    connect(e, &BslExchange::notifyConfirmed, this, [this] { trace << "confirmed"; });
    connect(e, &BslExchange::notifyDrained, this, [this] { trace << "drained"; });
    connect(e, &BslExchange::notifyFailed, this,
            [this](BslExchange::Failure failure, const QByteArray &) {
                trace << (failure == BslExchange::Failure::UnexpectedAnswer ? "unexpected"
                                                                            : "noanswer");
            });
}

void tst_BslExchange::cleanup()
{
    exchange.reset();
}

void tst_BslExchange::run(const QString &event)
{
    if (event == "send")
        exchange->send(command);
    else if (event == "resend")
        exchange->resend();
    else if (event == "single")
        exchange->sendSingle(command);
    else if (event == "confirm") {
        if (exchange->confirm())
            trace << "proven";
    } else if (event == "prepare") {
        if (exchange->prepare())
            trace << "settled";
    } else if (event == "abandon")
        exchange->abandon();
    else if (event == "finish")
        exchange->finish();
    else if (event == "timeout")
        exchange->onReplyTimeout();
    else if (event == "confused")
        exchange->onConfused(confused);
    else if (event.startsWith('m'))
        exchange->onPacket(message(quint8(event.mid(1).toInt())));
    else if (event.startsWith('d'))
        exchange->onPacket(dataReply(event.mid(1).toInt()));
    else
        QFAIL(qPrintable("no such event: " + event));
}

void tst_BslExchange::scripts_data()
{
    QTest::addColumn<QString>("events");
    QTest::addColumn<QString>("outputs");
    QTest::addColumn<BslExchange::State>("end");

    using S = BslExchange::State;
    const auto row = [](const char *name, const char *events, const char *outputs, S end) {
        QTest::newRow(name) << QString(events) << QString(outputs) << end;
    };

    // A clean link costs nothing but the confirmations.
    row("an answer goes to the state machine at once", "send m0", "tx a:m0", S::Idle);
    row("a data answer too", "send d16", "tx a:d16", S::Idle);
    row("confirmed by the sync's answer", "send m1 confirm d4", "tx a:m1 sync confirmed", S::Idle);
    row("a settled link: the sequence begins at once", "prepare", "settled", S::Idle);

    // An answer too many.
    row("a second answer before the confirmation fails the attempt", "send m1 confirm m0",
        "tx a:m1 sync unexpected", S::Abandoned);
    row("a surplus data answer before the confirmation fails it too", "send m1 confirm d16",
        "tx a:m1 sync unexpected", S::Abandoned);
    row("a CONFUSED while confirming may be the sync's own: asked again",
        "send m1 confirm confused d4", "tx a:m1 sync sync confirmed", S::Idle);
    row("a CONFUSED for the command, then its answer: one of them is surplus", "send confused m0",
        "tx sync unexpected", S::Abandoned);
    row("a late answer held, then a second one", "send timeout m0 m1", "tx sync unexpected",
        S::Abandoned);
    row("a stray sync answer with none outstanding is an answer like any", "send d4", "tx a:d4",
        S::Idle);

    // Lost and late answers.
    row("answer lost: the sync's answer shows it, the command goes again",
        "send timeout d4 resend m0", "tx sync lost tx a:m0", S::Idle);
    row("answer late: delivered once the sync's answer shows nothing else came",
        "send timeout m0 d4", "tx sync a:m0", S::Idle);
    row("an answer proven by a sync needs no second confirmation", "send timeout m1 d4 confirm",
        "tx sync a:m1 proven", S::Idle);
    row("the confirmation's answer lost: the sync again, never a go-ahead",
        "send m1 confirm timeout d4", "tx a:m1 sync sync confirmed", S::Idle);
    row("a CONFUSED for the command: sent again once the sync's answer shows nothing else came",
        "send confused d4 resend m0", "tx sync lost tx a:m0", S::Idle);
    row("CONFUSED twice: the second may be the sync's, which is asked again",
        "send confused confused d4", "tx sync sync lost", S::Idle);
    row("five answers lost in a row, the fifth sync answered",
        "send timeout timeout timeout timeout timeout d4 resend m0",
        "tx sync sync sync sync sync lost tx a:m0", S::Idle);
    // The sync sent before the resent command is answered first: its
    // answer proves nothing about the command sent after it.
    row("a sync's answer never proves a command sent after it",
        "send timeout timeout d4 resend timeout d4 timeout d4",
        "tx sync sync lost tx sync sync lost", S::Idle);

    // Bounds.
    row("a command never answered: the attempt given up after the time-outs",
        "send timeout timeout timeout timeout timeout timeout",
        "tx sync sync sync sync sync noanswer", S::Abandoned);
    row("a confirmation never answered: given up, not gone ahead",
        "send m1 confirm timeout timeout timeout timeout timeout timeout",
        "tx a:m1 sync sync sync sync sync sync noanswer", S::Abandoned);
    row("a card that answers CONFUSED for ever: the resends run out",
        "send confused d4 resend confused d4 resend confused d4 resend confused d4 resend "
        "confused d4 resend confused d4",
        "tx sync lost tx sync lost tx sync lost tx sync lost tx sync lost tx sync noanswer",
        S::Abandoned);

    // A card that answers every command just too late: each answer is
    // delivered, but the sequence as a whole ends after its time-outs.
    const QString lateCommand = QStringLiteral(" send timeout m0 d4");
    const QString lateDelivered = QStringLiteral(" tx sync a:m0");
    const int lateAllowed = BslExchange::MAX_SEQUENCE_TIMEOUTS;
    QTest::newRow("a card late every time: the sequence ends after its time-outs")
        << "prepare" + lateCommand.repeated(lateAllowed) + " send timeout"
        << "settled" + lateDelivered.repeated(lateAllowed) + " tx noanswer" << S::Abandoned;
    QTest::newRow("the next sequence has its own time-outs")
        << "prepare" + lateCommand.repeated(lateAllowed) + " finish prepare" + lateCommand
        << "settled" + lateDelivered.repeated(lateAllowed) + " settled" + lateDelivered << S::Idle;

    // Between attempts.
    row("after a failed attempt the next one drains first", "send abandon m0 prepare m0 d16 d4",
        "tx sync drained", S::Idle);
    row("a drain never answered ends the attempt", "send abandon prepare timeout timeout timeout",
        "tx sync sync sync noanswer", S::Abandoned);
    row("a drain that meets a stale sync's answer waits for its own",
        "send timeout abandon prepare d4 d4", "tx sync sync drained", S::Idle);
    row("answers of an abandoned attempt reach nobody", "send abandon m0 d16", "tx", S::Abandoned);

    // Single commands outside sequences.
    row("a single command's answer", "single m0", "tx a:m0", S::Idle);
    row("a single command is sent again on time-outs, its answer to any copy taken",
        "single timeout timeout m0", "tx tx tx a:m0", S::Idle);
    row("a single command given up after its re-sends",
        "single timeout timeout timeout timeout timeout timeout", "tx tx tx tx tx tx",
        S::Abandoned);
    row("after a single command given up, the next one's answer is its own",
        "single timeout timeout timeout timeout timeout timeout single m0",
        "tx tx tx tx tx tx tx a:m0", S::Idle);
    row("a single command answered CONFUSED is sent again", "single confused m0", "tx tx a:m0",
        S::Idle);
    row("answers while idle are passed on", "single m0 m5", "tx a:m0 a:m5", S::Idle);
    row("a single command still awaited: the sequence drains first", "single prepare m0 d4",
        "tx sync drained", S::Idle);
}

void tst_BslExchange::scripts()
{
    QFETCH(QString, events);
    QFETCH(QString, outputs);
    QFETCH(BslExchange::State, end);

    for (const QString &event : events.split(' ', Qt::SkipEmptyParts))
        run(event);
    QCOMPARE(trace.join(' '), outputs);
    QCOMPARE(exchange->state(), end);
}

void tst_BslExchange::replyTimerFires()
{
    exchange->setReplyTimeout(30);
    exchange->send(command);
    QTRY_COMPARE_WITH_TIMEOUT(trace, QStringList({"tx", "sync"}), 2000);
    exchange->onPacket(message(0));
    exchange->onPacket(dataReply(BslExchange::SYNC_REPLY_SIZE));
    QCOMPARE(trace.last(), QString("a:m0"));
    // Answered: no further time-out.
    QTest::qWait(100);
    QCOMPARE(trace.size(), 3);
}

void tst_BslExchange::lateSyncAnswersAreConsumed()
{
    // The confirmation's first sync answers after a second went out: the
    // second's answer comes later still, and is no answer to anything else.
    for (const char *event : {"send", "m1", "confirm", "timeout", "d4"})
        run(event);
    QCOMPARE(trace.join(' '), QString("tx a:m1 sync sync confirmed"));
    QCOMPARE(exchange->outstanding(), 1);
    exchange->finish();
    run("d4");
    QCOMPARE(exchange->outstanding(), 0);
    QCOMPARE(trace.join(' '), QString("tx a:m1 sync sync confirmed"));
    QCOMPARE(exchange->state(), BslExchange::State::Idle);
}

QTEST_GUILESS_MAIN(tst_BslExchange)
#include "tst_bslexchange.moc"
