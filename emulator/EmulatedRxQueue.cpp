#include "emulator/EmulatedRxQueue.h"

#include <algorithm>

void EmulatedRxQueue::setEventChar(bool enabled, char event)
{
    eventEnabled = enabled;
    eventChar = event;
}

void EmulatedRxQueue::insert(qint64 readyUs, char byte)
{
    if (size() >= capacity) {
        ++lost;
        return;
    }
    // Never among the bytes already handed over.
    const auto from = bytes.begin() + delivered;
    const auto at = std::upper_bound(from, bytes.end(), readyUs,
                                     [](qint64 t, const TimedByte &b) { return t < b.readyUs; });
    bytes.insert(at, TimedByte{readyUs, byte});
}

void EmulatedRxQueue::deliver(qint64 nowUs)
{
    const int count = size();
    if (!usePackets) {
        while (delivered < count && bytes[size_t(delivered)].readyUs <= nowUs)
            ++delivered;
        return;
    }
    while (delivered < count) {
        const int start = delivered;
        const qint64 firstUs = bytes[size_t(start)].readyUs;
        if (firstUs > nowUs)
            return;
        qint64 flushUs = firstUs + latencyUs;
        int end = start;
        while (end < count && bytes[size_t(end)].readyUs <= flushUs) {
            const TimedByte &b = bytes[size_t(end)];
            ++end;
            if ((eventEnabled && b.byte == eventChar) || end - start == packetBytes) {
                flushUs = b.readyUs;
                break;
            }
        }
        if (flushUs > nowUs)
            return;
        delivered = end;
    }
}

int EmulatedRxQueue::readable(qint64 nowUs)
{
    deliver(nowUs);
    return delivered;
}

QByteArray EmulatedRxQueue::take(qint64 nowUs, int maxBytes)
{
    const int n = std::min(readable(nowUs), std::max(maxBytes, 0));
    QByteArray out;
    out.reserve(n);
    for (int i = 0; i < n; ++i)
        out.append(bytes[size_t(i)].byte);
    bytes.erase(bytes.begin(), bytes.begin() + n);
    delivered -= n;
    return out;
}

void EmulatedRxQueue::purgeArrived(qint64 nowUs)
{
    const auto end = std::upper_bound(bytes.begin(), bytes.end(), nowUs,
                                      [](qint64 t, const TimedByte &b) { return t < b.readyUs; });
    bytes.erase(bytes.begin(), end);
    delivered = 0;
}

void EmulatedRxQueue::clear()
{
    bytes.clear();
    delivered = 0;
}
