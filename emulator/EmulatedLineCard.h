#pragma once

#include "emulator/EmulatedBootloader.h"
#include "emulator/EmulatorTypes.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QtGlobal>

#include <deque>
#include <limits>

// One emulated LQ770 line card: answers the controller commands it is given
// with reply packets for its card slot, and carries the faults a test asks for.
// The card works on one command at a time, in the order they reached it: a
// command that arrives while it is busy waits its turn, and what a command
// does to the card happens when its answer is made. Not thread-safe; its
// owner serialises every call.
class EmulatedLineCard
{
public:
    // Entry bytes of a listen or continuity reply are kept to this many, so
    // that every reply body stays encodable as one packet.
    static constexpr int maxEntryBytes = 252;
    // Command bodies kept for inspection, the newest ones.
    static constexpr int maxKeptCommands = 100000;
    static constexpr quint32 defaultFlashVersion = 0x00010002;

    // number: the card number the controller gives the card in its slot,
    // from 1; an identify command naming another number is not for it.
    explicit EmulatedLineCard(const EmulatedCardIdentity &identity = EmulatedCardIdentity(),
                              int number = 1);

    // The decoded body of a command packet has reached the card at arrivalUs.
    void receive(const QByteArray &body, qint64 arrivalUs);
    // When the card has the answer to its next waiting command ready; no
    // time when nothing waits.
    qint64 nextDueUs() const;
    static constexpr qint64 noTime = std::numeric_limits<qint64>::max();
    // Carries out the next waiting command and returns its reply packet as it
    // goes onto this card's slot stream (encoded body, marker, check bytes),
    // or nothing when the card sends no reply.
    // *answered: the number of the command answered, from 1.
    QByteArray carryOutNext(int *answered = nullptr);

    void setIdentity(const EmulatedCardIdentity &newIdentity);
    EmulatedCardIdentity cardIdentity() const { return identity; }
    // The flash-version and reflash replies come from the running
    // application; with none running they are not understood.
    void setFlashVersions(quint32 carried, quint32 installed);
    void setReflashSucceeds(bool succeeds);
    void setListenEntries(const QByteArray &entries);
    void setContinuityEntries(const QByteArray &entries);

    void dropReplyTo(int k);
    void dropNextReplies(int n);
    void corruptReplyTo(int k);
    void corruptNextReply();
    void confusedReplyTo(int k);
    void confusedNextReplies(int n);
    void stopAnsweringFrom(int k);
    void stopAnsweringAfter(int commands);
    // The answer to the k-th command, or to every command from the k-th on,
    // takes ms milliseconds to make. The card works on one command at a
    // time, so the commands that reach it meanwhile are answered afterwards,
    // in order.
    void slowReplyTo(int k, int ms);
    void slowRepliesFrom(int k, int ms);
    // The reply body to the k-th command is cut to two bytes.
    void shortReplyTo(int k);
    // The card answers its k-th command twice.
    void duplicateReplyTo(int k);
    // A packet of this body, asked for by no command, goes onto the slot
    // stream right before or right after the answer to the k-th command
    // (where that answer would be, should it be dropped).
    void strayBefore(int k, const QByteArray &body);
    void strayAfter(int k, const QByteArray &body);

    int ledState() const { return led; }
    QList<QByteArray> receivedCommands() const { return commands; }
    void forgetReceivedCommands() { commands.clear(); } // the counts by opcode stay
    int commandsReceived(quint8 opcode) const { return countByOpcode.value(opcode & 0x3F); }
    quint32 installedFlashVersion() const { return installedVersion; }
    EmulatedBootloader &bootloader() { return bsl; }
    const EmulatedBootloader &bootloader() const { return bsl; }

    // The complete packet for a reply body: zero-eliminated body and code
    // byte, the 0x00 marker and the two check bytes.
    static QByteArray packetFromBody(const QByteArray &body);

private:
    QByteArray replyBody(const QByteArray &command);
    // Bootloader traffic (opcode 0x02): the payload goes to the bootloader,
    // its reply comes back behind the opcode and the argument digits of 0.
    // Nothing when the bootloader drops its reply.
    QByteArray handleBootloader(const QByteArray &command);
    QByteArray infoBody(const QByteArray &command) const;
    static QByteArray confusedBody();
    static QByteArray corrupted(const QByteArray &packet);

    EmulatedCardIdentity identity;
    int number;
    EmulatedBootloader bsl;
    quint32 carriedVersion = defaultFlashVersion;
    quint32 installedVersion = defaultFlashVersion;
    bool reflashSucceeds = true;
    QByteArray listenEntries;
    QByteArray continuityEntries;
    int led = 0;

    int commandNumber = 0; // commands that reached the slot, counted from 1
    QList<QByteArray> commands;
    QMap<quint8, int> countByOpcode;

    // Command numbers a fault applies to, as inclusive ranges.
    struct Span
    {
        int first;
        int last;
    };
    static bool covers(const QList<Span> &spans, int k);
    static void addSpan(QList<Span> &spans, int first, int count);

    struct SlowSpan
    {
        Span span;
        qint64 delayUs;
    };
    qint64 replyDelayUs(int k) const;

    // Every fault given to the card, by the commands it strikes.
    struct Faults
    {
        QList<Span> drop;
        QList<Span> corrupt;
        QList<Span> confused;
        QList<Span> shorten;
        QList<Span> duplicate;
        QMap<int, QList<QByteArray>> straysBefore;
        QMap<int, QList<QByteArray>> straysAfter;
        QList<SlowSpan> slow;
        int stopFrom = 0; // 0: never
    };
    Faults faults;

    struct Waiting
    {
        int number;
        QByteArray body;
        qint64 dueUs;
    };
    std::deque<Waiting> waiting;
    qint64 busyUntilUs = 0;
};
