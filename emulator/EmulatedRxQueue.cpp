#include "emulator/EmulatedRxQueue.h"

#include <algorithm>

namespace {

// The first byte in [from, to) that arrives after t.
template<typename It> It firstAfter(It from, It to, qint64 t)
{
    return std::upper_bound(from, to, t,
                            [](qint64 time, const auto &b) { return time < b.readyUs; });
}

} // namespace

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
    bytes.insert(firstAfter(from, bytes.end(), readyUs), TimedByte{readyUs, byte});
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
    bytes.erase(bytes.begin(), firstAfter(bytes.begin(), bytes.end(), nowUs));
    delivered = 0;
}

void EmulatedRxQueue::reset()
{
    bytes.clear();
    delivered = 0;
    eventEnabled = false;
    eventChar = '\0';
    latencyUs = defaultLatencyUs;
}
