#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QObject>
#include <QTimer>
#include <QtGlobal>

#include <deque>

Q_DECLARE_LOGGING_CATEGORY(lcBootLoader)

// The one exchange with a line card's bootloader: the transmission in
// flight, its reply time-out, the sync requests, the answer that has not
// been proven yet, and the drain before a sequence starts.
//
// Bootloader answers name neither command nor address, but the card answers
// in the order it was sent to. The exchange keeps every transmission whose
// answer may still come, oldest first, and gives an answer to the oldest
// transmission of its kind: a sync request (the version request, answered
// with 4 data bytes) or a command (answered with a message or other data).
// A sync request's answer therefore shows that everything sent before that
// request has been answered or never will be.
//
// In a sequence an answer reaches the state machine only as the answer of
// the command in flight. Where that is in doubt (a reply time-out, a CONFUSED
// that may not be the command's) the exchange sends a sync request and waits
// for its answer: the command's answer received before it is delivered,
// none means it was lost. Before a decisive step the state machine has the
// last answer confirmed the same way. An answer too many (one with nothing
// awaited, or a second one before a sync's answer) means that answers can no
// longer be told apart: the attempt fails. Sync requests go out only once
// the line is quiet, so that nothing still on its way is cut off by them.
// Every wait is bounded by reply time-outs.
class BslExchange : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Idle,       // nothing awaited; answers are passed on as the card's own
        Abandoned,  // a sequence failed: its answers may still come and are dropped
        Single,     // a single command awaits its answer; a time-out sends it again
        Awaiting,   // a sequence's command awaits its answer
        Settling,   // the command's answer is in doubt: a sync request settles it
        Confirming, // the last answer is proven the command's own by a sync request
        Draining,   // before a sequence: answers are dropped until a sync's answer
    };
    Q_ENUM(State)

    enum class Failure {
        UnexpectedAnswer, // an answer too many: which command an answer belongs to is unknown
        NoAnswer,         // the card stopped answering
    };
    Q_ENUM(Failure)

    static constexpr int REPLY_TIMEOUT_MS = 2000;
    // Reply time-outs a command, a confirmation or a sequence's drain may
    // take before the attempt is given up.
    static constexpr int MAX_TIMEOUTS = 5;
    static constexpr int MAX_DRAIN_TIMEOUTS = 2;
    // Reply time-outs a whole sequence may take. A card that keeps answering
    // just too late would otherwise creep through every command at several
    // seconds each: the attempt ends instead, within a bounded time.
    static constexpr int MAX_SEQUENCE_TIMEOUTS = 16;
    // Times a command in flight is sent again after its answer was lost;
    // for a single command, after a reply time-out.
    static constexpr int MAX_RESENDS = 5;
    // Transmissions kept whose answers may still come; beyond it the oldest
    // are forgotten. More than a sequence ever has outstanding.
    static constexpr int LEDGER_CAPACITY = 64;
    // The data of the sync request's answer: the 32-bit bootloader version.
    static constexpr int SYNC_REPLY_SIZE = 4;

    static QByteArray syncRequest();

    explicit BslExchange(QObject *parent = nullptr);

    State state() const { return m_state; }
    void setReplyTimeout(int ms) { replyTimer.setInterval(ms); }
    int replyTimeout() const { return replyTimer.interval(); }
    // Transmissions whose answers may still come.
    int outstanding() const { return int(ledger.size()); }

    // A sequence's command goes out; its answer comes as notifyAnswer, or
    // notifyAnswerLost when it will not come.
    void send(const QByteArray &command);
    // The command in flight once more, after notifyAnswerLost.
    void resend();
    // A single command outside sequences, sent again on reply time-outs.
    void sendSingle(const QByteArray &command);
    // The answer just delivered is to be proven the command's own: true when
    // it already is, otherwise notifyConfirmed follows (or notifyFailed).
    bool confirm();
    // A sequence is about to begin: true when the link is settled, otherwise
    // notifyDrained follows once the answers of earlier transmissions are in
    // (or notifyFailed).
    bool prepare();
    // The sequence ended in failure: answers still on their way are dropped.
    void abandon();
    // The sequence ended in success.
    void finish();

public slots:
    // A bootloader packet from the card.
    void onPacket(const QByteArray &packet);
    // The card did not understand what it was sent (a CONFUSED answer).
    void onConfused(const QByteArray &packet);
    void onReplyTimeout();

signals:
    void reqTxBytes(QByteArray bytes);
    // A sync request, to be sent once no byte has arrived for a while.
    void reqTxBytesWhenQuiet(QByteArray bytes);
    void notifyAnswer(QByteArray packet);
    void notifyAnswerLost();
    void notifyConfirmed();
    void notifyDrained();
    void notifyFailed(BslExchange::Failure failure, QByteArray packet);

private:
    enum class Kind : quint8 { Command, Sync };
    struct Entry
    {
        Kind kind;
        quint32 id;
    };

    bool isSyncAnswer(const QByteArray &packet) const;
    void onSyncAnswer(const QByteArray &packet);
    void onCommandAnswer(const QByteArray &packet, bool confused);
    void onUnprovenAnswer(const QByteArray &packet, bool confused);
    // Removes every entry up to and including the oldest of this kind;
    // returns its id, 0 when none of the kind is outstanding.
    quint32 settleThrough(Kind kind);
    quint32 record(Kind kind);
    void transmitCommand();
    // Sends a sync request and returns its id.
    quint32 sendSync();
    // One more sync request for the proof under way, while time-outs are left.
    void syncAgain();
    void fail(Failure failure, const QByteArray &packet);
    void giveUpSingle();
    void hold(const QByteArray &packet, bool confused);

    State m_state = State::Idle;
    std::deque<Entry> ledger;
    quint32 lastId = 0;
    QTimer replyTimer;

    QByteArray command;         // the command in flight, as sent
    quint32 commandFirstId = 0; // its first transmission
    quint32 commandId = 0;      // its latest transmission
    int timeouts = 0;           // reply time-outs of the command, proof or drain under way
    int sequenceTimeouts = 0;   // reply time-outs since the sequence was prepared
    int resends = 0;
    quint32 proofFrom = 0; // a sync request's answer from this one on proves
    bool holding = false;  // an answer awaits its proof
    bool heldConfused = false;
    QByteArray held;
    bool lastAnswerProven = false; // the answer last delivered came with a sync's proof
};
