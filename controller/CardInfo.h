#pragma once

#include "controller/ControllerReplies.h"

#include <QString>
#include <QVector>
#include <QtGlobal>

#include <array>

// Latest listen result of one pair and one wire set, with running totals of
// the two 7-bit rolling counters.
struct PairReading
{
    void update(const ListenEntry &entry);
    void resetCounters();

    QString text;
    qint16 valueA = 0;
    qint16 valueB = 0;
    quint8 flagsA = 0;
    quint8 flagsB = 0;
    int countA = -1; // -1: none yet
    int countB = -1;
    quint8 lastA = 0;
    quint8 lastB = 0;
};

// Running totals of the four 8-bit continuity counters of one pair and one
// wire set.
struct ContinuityCounters
{
    void update(const ContinuityEntry &entry);
    void resetCounters();

    std::array<quint8, 4> last{};
    std::array<int, 4> count{{-1, -1, -1, -1}}; // -1: none yet
};

// What the controller knows about the card in one card slot.
struct CardInfo
{
    static constexpr int PresenceUnknown = 0;
    static constexpr int PresencePresent = 1;
    static constexpr int PresenceRemoved = 2;

    void applyInfo(const LineCardInfoReply &reply);
    void applyListen(const ListenReply &reply);
    void applyContinuity(const ContinuityReply &reply);
    void resetCounters();

    // Presence transitions, tested after each applyListen, removal first.
    // Each returns true when it changed the presence.
    bool cardRemoved();
    bool cardInserted();

    bool isFourWire() const { return wiresPerPair == 4; }

    quint32 serialNumber = 0;
    quint32 extraWord = 0;
    quint16 infoArgument = 0;
    quint8 blockManufacturer = 0;
    quint8 blockType = 0;
    quint8 blockPairCount = 0;
    std::array<quint8, 4> infoBytes{};
    quint8 wiresPerPair = 0;
    quint8 productId = 0;
    quint8 platformId = 0;
    bool confused = false;
    QVector<ContinuityCounters> continuityFirst;
    QVector<ContinuityCounters> continuitySecond;
    QVector<PairReading> readingsFirst;
    QVector<PairReading> readingsSecond;
    int idleListens = 0;
    bool active = false;
    int presence = PresenceUnknown;
};
