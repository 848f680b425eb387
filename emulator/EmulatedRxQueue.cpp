#include "emulator/EmulatedRxQueue.h"

#include <algorithm>

void EmulatedRxQueue::insert(qint64 readyUs, char byte)
{
    if (size() >= capacity) {
        ++lost;
        return;
    }
    const auto at = std::upper_bound(bytes.begin(), bytes.end(), readyUs,
                                     [](qint64 t, const TimedByte &b) { return t < b.readyUs; });
    bytes.insert(at, TimedByte{readyUs, byte});
}

int EmulatedRxQueue::readable(qint64 nowUs) const
{
    const auto end = std::upper_bound(bytes.begin(), bytes.end(), nowUs,
                                      [](qint64 t, const TimedByte &b) { return t < b.readyUs; });
    return int(end - bytes.begin());
}

QByteArray EmulatedRxQueue::take(qint64 nowUs, int maxBytes)
{
    const int n = std::min(readable(nowUs), std::max(maxBytes, 0));
    QByteArray out;
    out.reserve(n);
    for (int i = 0; i < n; ++i)
        out.append(bytes[size_t(i)].byte);
    bytes.erase(bytes.begin(), bytes.begin() + n);
    return out;
}

void EmulatedRxQueue::purgeReadable(qint64 nowUs)
{
    bytes.erase(bytes.begin(), bytes.begin() + readable(nowUs));
}

void EmulatedRxQueue::clear()
{
    bytes.clear();
}
