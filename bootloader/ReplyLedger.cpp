#include "bootloader/ReplyLedger.h"

void ReplyLedger::sent(Kind kind)
{
    if (entries.size() >= capacity)
        entries.removeFirst();
    entries.append(kind);
}

bool ReplyLedger::answered(Kind kind)
{
    const int at = entries.indexOf(kind);
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
    return entries.contains(kind);
}
