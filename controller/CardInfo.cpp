#include "controller/CardInfo.h"

namespace {

QString readingLabel(qint16 value, quint8 flags)
{
    if (flags & ListenEntry::NoReading)
        return QStringLiteral("?");
    return QLatin1String((flags & ListenEntry::LabelB) ? "B" : "A") + QString::number(value);
}

// Steps a running total by the advance of a rolling counter of `modulus`.
void advance(int &count, int current, int last, int modulus)
{
    count += ((current - last) % modulus + modulus) % modulus;
}

// Lists one record per pair; four-wire replies alternate first set and
// second set pair by pair, and a trailing unpaired entry is ignored.
template<typename Record, typename Entry>
void assignEntries(QVector<Record> &first, QVector<Record> &second, const QVector<Entry> &entries,
                   bool fourWire)
{
    const int n = fourWire ? entries.size() / 2 : entries.size();
    if (first.size() != n || (fourWire && second.size() != n)) {
        first = QVector<Record>(n);
        second = fourWire ? QVector<Record>(n) : QVector<Record>();
    }
    int next = 0;
    for (int i = 0; i < n; ++i) {
        first[i].update(entries.at(next++));
        if (fourWire)
            second[i].update(entries.at(next++));
    }
}

} // namespace

void PairReading::update(const ListenEntry &entry)
{
    valueA = qint16(entry.valueA);
    valueB = qint16(entry.valueB);
    flagsA = entry.flagsA;
    flagsB = entry.flagsB;

    const quint8 doubtful = ListenEntry::NoReading | ListenEntry::OtherLabel;
    if (valueA == valueB && !(flagsA & doubtful) && !(flagsB & doubtful))
        text = QString::number(valueA);
    else
        text = readingLabel(valueA, flagsA) + QLatin1Char(':') + readingLabel(valueB, flagsB);

    if (countA == -1) {
        countA = entry.counterA;
        countB = entry.counterB;
    } else {
        advance(countA, entry.counterA, lastA, 128);
        advance(countB, entry.counterB, lastB, 128);
    }
    lastA = entry.counterA;
    lastB = entry.counterB;
}

void PairReading::resetCounters()
{
    countA = countB = -1;
    lastA = lastB = 0;
}

void ContinuityCounters::update(const ContinuityEntry &entry)
{
    const bool first = count[0] == -1;
    for (size_t k = 0; k < entry.size(); ++k) {
        if (first)
            count[k] = entry[k];
        else
            advance(count[k], entry[k], last[k], 256);
        last[k] = entry[k];
    }
}

void ContinuityCounters::resetCounters()
{
    last.fill(0);
    count.fill(-1);
}

void CardInfo::applyInfo(const LineCardInfoReply &reply)
{
    serialNumber = reply.serialNumber;
    extraWord = reply.secondWord;
    infoArgument = reply.argument;
    blockManufacturer = reply.blockManufacturer;
    blockType = reply.blockType;
    blockPairCount = reply.blockPairCount;
    infoBytes = reply.infoBytes;
    wiresPerPair = reply.wiresPerPair;
    productId = reply.productId;
    platformId = reply.platformId;
}

void CardInfo::applyListen(const ListenReply &reply)
{
    const bool fourWire = isFourWire();
    if (fourWire) {
        active = true;
    } else {
        // Only an entry with both readings missing (0xFF, 0xFF) shows no activity.
        active = false;
        for (const ListenEntry &entry : reply.entries) {
            if (!(entry.flagsA & ListenEntry::NoReadingFF)
                || !(entry.flagsB & ListenEntry::NoReadingFF)) {
                active = true;
                break;
            }
        }
    }
    idleListens = active ? 0 : idleListens + 1;

    assignEntries(readingsFirst, readingsSecond, reply.entries, fourWire);
}

void CardInfo::applyContinuity(const ContinuityReply &reply)
{
    assignEntries(continuityFirst, continuitySecond, reply.entries, isFourWire());
}

void CardInfo::resetCounters()
{
    for (ContinuityCounters &counters : continuityFirst)
        counters.resetCounters();
    for (ContinuityCounters &counters : continuitySecond)
        counters.resetCounters();
    for (PairReading &reading : readingsFirst)
        reading.resetCounters();
    for (PairReading &reading : readingsSecond)
        reading.resetCounters();
}

bool CardInfo::cardRemoved()
{
    if (presence != PresencePresent || idleListens < 3)
        return false;
    presence = PresenceRemoved;
    return true;
}

bool CardInfo::cardInserted()
{
    if (presence == PresencePresent || !active)
        return false;
    presence = PresencePresent;
    return true;
}
