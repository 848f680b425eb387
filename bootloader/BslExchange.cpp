#include "bootloader/BslExchange.h"

#include "bootloader/BslPacket.h"

#include <QMetaType>

Q_LOGGING_CATEGORY(lcBootLoader, "linecard.bootloader", QtInfoMsg)

QByteArray BslExchange::syncRequest()
{
    return BslPacket(BSL_TX_BSL_VERSION).encode();
}

BslExchange::BslExchange(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<BslExchange::Failure>("BslExchange::Failure");
    replyTimer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early; an answer gets its full time.
    replyTimer.setTimerType(Qt::PreciseTimer);
    replyTimer.setInterval(REPLY_TIMEOUT_MS);
    connect(&replyTimer, &QTimer::timeout, this, &BslExchange::onReplyTimeout);
}

// ---------------------------------------------------------------- ledger

quint32 BslExchange::record(Kind kind)
{
    if (ledger.size() >= size_t(LEDGER_CAPACITY))
        ledger.pop_front();
    ledger.push_back({kind, ++lastId});
    return lastId;
}

quint32 BslExchange::settleThrough(Kind kind)
{
    for (auto it = ledger.begin(); it != ledger.end(); ++it) {
        if (it->kind == kind) {
            const quint32 id = it->id;
            ledger.erase(ledger.begin(), it + 1);
            return id;
        }
    }
    return 0;
}

// --------------------------------------------------------------- sending

void BslExchange::send(const QByteArray &bytes)
{
    command = bytes;
    timeouts = 0;
    resends = 0;
    holding = false;
    m_state = State::Awaiting;
    transmitCommand();
    commandFirstId = commandId;
}

void BslExchange::resend()
{
    holding = false;
    m_state = State::Awaiting;
    transmitCommand();
}

void BslExchange::sendSingle(const QByteArray &bytes)
{
    command = bytes;
    resends = 0;
    holding = false;
    m_state = State::Single;
    transmitCommand();
    commandFirstId = commandId;
}

void BslExchange::transmitCommand()
{
    commandId = record(Kind::Command);
    lastAnswerProven = false;
    replyTimer.start();
    emit reqTxBytes(command);
}

quint32 BslExchange::sendSync()
{
    const quint32 id = record(Kind::Sync);
    replyTimer.start();
    qCDebug(lcBootLoader) << "sync request" << id << "in" << m_state;
    emit reqTxBytesWhenQuiet(syncRequest());
    return id;
}

void BslExchange::syncAgain()
{
    const int limit = m_state == State::Draining ? MAX_DRAIN_TIMEOUTS : MAX_TIMEOUTS;
    if (timeouts >= limit) {
        fail(Failure::NoAnswer, QByteArray());
        return;
    }
    ++timeouts;
    sendSync();
}

bool BslExchange::confirm()
{
    if (lastAnswerProven) {
        m_state = State::Idle;
        return true;
    }
    timeouts = 0;
    holding = false;
    m_state = State::Confirming;
    proofFrom = sendSync();
    return false;
}

bool BslExchange::prepare()
{
    sequenceTimeouts = 0;
    if (m_state == State::Idle && ledger.empty())
        return true;
    timeouts = 0;
    holding = false;
    m_state = State::Draining;
    proofFrom = sendSync();
    return false;
}

void BslExchange::abandon()
{
    replyTimer.stop();
    holding = false;
    m_state = State::Abandoned;
}

void BslExchange::finish()
{
    replyTimer.stop();
    holding = false;
    m_state = State::Idle;
}

void BslExchange::giveUpSingle()
{
    // Its copies are forgotten, so that the next single command's answer is
    // not taken for theirs; a sequence drains the link first all the same.
    qCDebug(lcBootLoader) << "single command given up";
    for (auto it = ledger.begin(); it != ledger.end();)
        it = it->kind == Kind::Command ? ledger.erase(it) : it + 1;
    abandon();
}

void BslExchange::fail(Failure failure, const QByteArray &packet)
{
    qCDebug(lcBootLoader) << "attempt given up in" << m_state << failure << packet.toHex(' ');
    abandon();
    emit notifyFailed(failure, packet);
}

void BslExchange::hold(const QByteArray &packet, bool confused)
{
    holding = true;
    heldConfused = confused;
    held = packet;
}

// --------------------------------------------------------------- answers

bool BslExchange::isSyncAnswer(const QByteArray &packet) const
{
    const BslReply reply = BslReply::fromPacket(packet);
    if (!reply.isDataReply() || reply.data.size() != SYNC_REPLY_SIZE)
        return false;
    for (const Entry &entry : ledger) {
        if (entry.kind == Kind::Sync)
            return true;
    }
    return false;
}

void BslExchange::onPacket(const QByteArray &packet)
{
    if (isSyncAnswer(packet))
        onSyncAnswer(packet);
    else
        onCommandAnswer(packet, false);
}

void BslExchange::onConfused(const QByteArray &packet)
{
    onCommandAnswer(packet, true);
}

void BslExchange::onSyncAnswer(const QByteArray &packet)
{
    const quint32 id = settleThrough(Kind::Sync);
    const bool proving = m_state == State::Settling || m_state == State::Confirming
                         || m_state == State::Draining;
    if (!proving || id < proofFrom) {
        qCDebug(lcBootLoader) << "answer to an earlier sync request:" << packet.toHex(' ');
        return;
    }
    // Everything sent before that sync request has been answered or never
    // will be.
    replyTimer.stop();
    const State was = m_state;
    m_state = State::Idle;
    if (was == State::Confirming) {
        lastAnswerProven = true;
        emit notifyConfirmed();
    } else if (was == State::Draining) {
        emit notifyDrained();
    } else if (holding && !heldConfused) {
        holding = false;
        lastAnswerProven = true;
        emit notifyAnswer(held);
    } else {
        // Lost, or not understood: not carried out either way but a lock
        // toggle, whose next answer tells the state.
        holding = false;
        if (resends >= MAX_RESENDS) {
            fail(Failure::NoAnswer, QByteArray());
            return;
        }
        ++resends;
        emit notifyAnswerLost();
    }
}

void BslExchange::onCommandAnswer(const QByteArray &packet, bool confused)
{
    switch (m_state) {
    case State::Awaiting:
        if (settleThrough(Kind::Command) != commandId) {
            fail(Failure::UnexpectedAnswer, packet);
            return;
        }
        if (confused) {
            // A CONFUSED names no command: a stray one must not get the
            // command carried out twice. It counts as the command's answer
            // only once a sync request shows that nothing else came.
            hold(packet, true);
            m_state = State::Settling;
            proofFrom = sendSync();
            return;
        }
        replyTimer.stop();
        m_state = State::Idle;
        lastAnswerProven = false;
        emit notifyAnswer(packet);
        return;
    case State::Settling:
    case State::Confirming:
        onUnprovenAnswer(packet, confused);
        return;
    case State::Draining:
        settleThrough(Kind::Command);
        qCDebug(lcBootLoader) << "dropped while the link drains:" << packet.toHex(' ');
        return;
    case State::Single: {
        // Every copy sent is the same command.
        if (settleThrough(Kind::Command) < commandFirstId) {
            qCDebug(lcBootLoader) << "answer to an earlier command dropped:" << packet.toHex(' ');
            return;
        }
        if (confused) {
            if (resends >= MAX_RESENDS) {
                giveUpSingle();
                return;
            }
            ++resends;
            transmitCommand();
            return;
        }
        replyTimer.stop();
        m_state = State::Idle;
        emit notifyAnswer(packet);
        return;
    }
    case State::Idle:
        settleThrough(Kind::Command);
        if (!confused)
            emit notifyAnswer(packet);
        return;
    case State::Abandoned:
        settleThrough(Kind::Command);
        qCDebug(lcBootLoader) << "answer of an abandoned attempt dropped:" << packet.toHex(' ');
        return;
    }
}

void BslExchange::onUnprovenAnswer(const QByteArray &packet, bool confused)
{
    if (m_state == State::Settling && !holding) {
        // The command's answer, late, or a CONFUSED that may be it: held
        // until the sync's answer shows that nothing else came.
        if (settleThrough(Kind::Command) != commandId) {
            fail(Failure::UnexpectedAnswer, packet);
            return;
        }
        hold(packet, confused);
        return;
    }
    // An answer has come since the command went out already.
    if (confused) {
        // Perhaps the sync request's own: one more asks again.
        syncAgain();
        return;
    }
    fail(Failure::UnexpectedAnswer, packet);
}

// ------------------------------------------------------------- time-out

void BslExchange::onReplyTimeout()
{
    replyTimer.stop();
    qCDebug(lcBootLoader) << "reply time-out in" << m_state;
    const bool inSequence = m_state != State::Single && m_state != State::Idle
                            && m_state != State::Abandoned;
    if (inSequence && ++sequenceTimeouts > MAX_SEQUENCE_TIMEOUTS) {
        fail(Failure::NoAnswer, QByteArray());
        return;
    }
    switch (m_state) {
    case State::Single:
        if (resends >= MAX_RESENDS) {
            giveUpSingle();
            return;
        }
        ++resends;
        transmitCommand();
        return;
    case State::Awaiting:
        // Lost or late: a sync request tells which.
        if (timeouts >= MAX_TIMEOUTS) {
            fail(Failure::NoAnswer, QByteArray());
            return;
        }
        ++timeouts;
        m_state = State::Settling;
        proofFrom = sendSync();
        return;
    case State::Settling:
    case State::Confirming:
    case State::Draining:
        syncAgain();
        return;
    case State::Idle:
    case State::Abandoned:
        return;
    }
}
