#pragma once

#include <QVector>
#include <QtGlobal>

// The bootloader transmissions whose answers may still arrive, oldest first.
// Bootloader answers name neither command nor address, but the card answers
// in the order it was sent to: an answer belongs to the oldest outstanding
// transmission of its kind, and the transmissions before that one have had
// their chance and will not be answered any more. The two kinds are told
// apart by their answers, which is the caller's part. An outstanding answer
// is awaited until the caller gives up waiting for it; it may still come.
class ReplyLedger
{
public:
    enum class Kind : quint8 { Command, Sync };

    // More than a sequence ever has outstanding; beyond it the oldest go.
    static constexpr int capacity = 64;

    void sent(Kind kind);
    // Settles every transmission up to and including the oldest of this kind.
    // False, and nothing changes, when none of this kind is outstanding.
    bool answered(Kind kind);
    // An answer that carries no reply (the card did not understand)
    // took the oldest outstanding transmission.
    void answeredUnread();
    bool outstanding(Kind kind) const;
    // Some outstanding answer is still waited for.
    bool awaiting() const;
    void stopAwaiting();
    int size() const { return entries.size(); }
    bool isEmpty() const { return entries.isEmpty(); }

private:
    struct Entry
    {
        Kind kind;
        bool awaited;
    };
    int indexOf(Kind kind) const;

    QVector<Entry> entries;
};
