#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <deque>

// The chip's receive side: the bytes that have arrived from the line, each
// with the time it arrived, in time order, and the part of them already
// handed to the host. Bytes beyond the capacity are lost, as in an overrun.
//
// Without packets (instant timing) a byte is readable once it has arrived.
// With packets the chip hands bytes over as a USB packet does: at once when
// the event character arrives, else when the latency timer has run since the
// first byte not handed over yet, or when a packet's worth is waiting.
class EmulatedRxQueue
{
public:
    static constexpr int capacity = 64 * 1024;
    static constexpr qint64 defaultLatencyUs = 16000; // the chip's latency timer at power-up
    static constexpr int packetBytes = 62;            // 64 less the two modem-status bytes

    void setPackets(bool packets) { usePackets = packets; }
    void setLatency(qint64 us) { latencyUs = us; }
    qint64 latency() const { return latencyUs; }
    void setEventChar(bool enabled, char event);

    // Inserts after every byte that arrives at or before readyUs.
    void insert(qint64 readyUs, char byte);
    // Bytes the host can read now.
    int readable(qint64 nowUs);
    // Removes and returns up to maxBytes of them.
    QByteArray take(qint64 nowUs, int maxBytes);
    // Discards what has arrived by now, handed over or not; bytes still on
    // their way stay.
    void purgeArrived(qint64 nowUs);
    // Empties the queue and takes the chip's power-up settings: event
    // character off, the default latency.
    void reset();
    int size() const { return int(bytes.size()); }
    int overruns() const { return lost; }

private:
    struct TimedByte
    {
        qint64 readyUs;
        char byte;
    };
    // Hands over the packets that are due by now.
    void deliver(qint64 nowUs);

    std::deque<TimedByte> bytes;
    int delivered = 0; // at the front: handed to the host, not yet read
    bool usePackets = false;
    qint64 latencyUs = defaultLatencyUs;
    bool eventEnabled = false;
    char eventChar = '\0';
    int lost = 0;
};
