#include "bootloader/ReplyLedger.h"

void ReplyLedger::sent(Kind kind)
{
    if (entries.size() >= capacity)
        entries.removeFirst();
    entries.append({kind, true});
}

int ReplyLedger::indexOf(Kind kind) const
{
    for (int i = 0; i < entries.size(); ++i) {
        if (entries.at(i).kind == kind)
            return i;
    }
    return -1;
}

bool ReplyLedger::answered(Kind kind)
{
    const int at = indexOf(kind);
    if (at < 0)
        return false;
    entries.remove(0, at + 1);
    return true;
}

void ReplyLedger::answeredUnread()
{
    if (!entries.isEmpty())
        entries.removeFirst();
}

bool ReplyLedger::outstanding(Kind kind) const
{
    return indexOf(kind) >= 0;
}

bool ReplyLedger::awaiting() const
{
    for (const Entry &entry : entries) {
        if (entry.awaited)
            return true;
    }
    return false;
}

void ReplyLedger::stopAwaiting()
{
    for (Entry &entry : entries)
        entry.awaited = false;
}
