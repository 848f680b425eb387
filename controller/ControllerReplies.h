#pragma once

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

#include <array>

// Decoded reply bodies from the controller's line cards. Every decoder takes
// the decoded packet body, header byte first. The bodies come from the
// device: bytes a body lacks are read as 0, and nothing outside it is read.

// One 6-byte entry of a listen reply: two readings with their counters.
struct ListenEntry
{
    // Reading flags.
    static constexpr quint8 NoReading7F = 0x01; // (low, high) was (0xFF, 0x7F)
    static constexpr quint8 NoReadingFF = 0x02; // (low, high) was (0xFF, 0xFF)
    static constexpr quint8 OtherLabel = 0x04;  // first labelled B or second labelled A
    static constexpr quint8 LabelB = 0x08;      // high byte bit 7 set
    static constexpr quint8 Bit14Set = 0x10;
    static constexpr quint8 Bit14Clear = 0x20;
    static constexpr quint8 CounterBit7 = 0x40; // counter byte bit 7 set
    static constexpr quint8 NoReading = NoReading7F | NoReadingFF;

    static constexpr int Size = 6;

    // Decodes the entry at bytes[offset] .. bytes[offset + 5].
    static ListenEntry decode(const QByteArray &bytes, int offset = 0);

    quint16 valueA = 0;
    quint16 valueB = 0;
    quint8 counterA = 0;
    quint8 counterB = 0;
    quint8 flagsA = 0;
    quint8 flagsB = 0;
};

// The four rolling counter bytes of one continuity entry.
using ContinuityEntry = std::array<quint8, 4>;

struct LineCardInfoReply
{
    // Bodies longer than this carry productId and platformId.
    static constexpr int ShortFormSize = 18;

    static LineCardInfoReply decode(int card, const QByteArray &body);

    quint8 opcode = 0;
    int card = 0;
    quint16 argument = 0;
    quint8 productId = 0;
    quint8 platformId = 0;
    quint8 blockManufacturer = 0;
    quint8 blockType = 0;
    quint8 blockPairCount = 0;
    quint8 wiresPerPair = 0;
    std::array<quint8, 4> infoBytes{};
    quint32 serialNumber = 0;
    quint32 secondWord = 0;
};

struct FrameIntervalReply
{
    static FrameIntervalReply decode(int card, const QByteArray &body);

    quint8 opcode = 0;
    int card = 0;
    quint16 value = 0;
    bool error = false; // body shorter than 3 bytes
};

struct FlashVersionReply
{
    static FlashVersionReply decode(int card, const QByteArray &body);

    // True when the second version is present and differs from the first.
    bool versionsDiffer() const;

    quint8 opcode = 0;
    int card = 0;
    std::array<quint8, 2> argumentBytes{}; // body bytes 1-2
    std::array<quint8, 4> firstVersion{};  // body bytes 3-6
    bool secondVersionPresent = false;     // body longer than 7 bytes
    std::array<quint8, 4> secondVersion{}; // body bytes 7-10
};

struct ReflashActionReply
{
    static ReflashActionReply decode(int card, const QByteArray &body);

    bool succeeded() const { return byte3 != 0; }

    quint8 opcode = 0;
    int card = 0;
    quint8 byte1 = 0;
    quint8 byte2 = 0;
    quint8 byte3 = 0;
};

struct ListenReply
{
    // A trailing partial entry is ignored.
    static ListenReply decode(int card, const QByteArray &body);

    quint8 opcode = 0;
    int card = 0;
    QVector<ListenEntry> entries;
};

struct ContinuityReply
{
    // A trailing partial entry is ignored.
    static ContinuityReply decode(int card, const QByteArray &body);

    quint8 opcode = 0;
    int card = 0;
    QVector<ContinuityEntry> entries;
};
