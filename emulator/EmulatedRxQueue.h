#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <deque>

// The chip's receive queue: bytes with the time at which each becomes
// readable, kept in time order. Bytes beyond the capacity are lost, as in an
// overrun.
class EmulatedRxQueue
{
public:
    static constexpr int capacity = 64 * 1024;

    // Inserts after every byte that becomes readable at or before readyUs.
    void insert(qint64 readyUs, char byte);
    int readable(qint64 nowUs) const;
    // Removes and returns up to maxBytes of the bytes readable now.
    QByteArray take(qint64 nowUs, int maxBytes);
    // Discards what is readable now; bytes still on their way stay.
    void purgeReadable(qint64 nowUs);
    void clear();
    int size() const { return int(bytes.size()); }
    int overruns() const { return lost; }

private:
    struct TimedByte
    {
        qint64 readyUs;
        char byte;
    };

    std::deque<TimedByte> bytes;
    int lost = 0;
};
