#include "controller/ControllerReplies.h"

#include "controller/Opcodes.h"

namespace {

quint8 byteAt(const QByteArray &bytes, int index)
{
    return index >= 0 && index < bytes.size() ? quint8(bytes.at(index)) : 0;
}

quint8 opcodeOf(const QByteArray &body)
{
    return byteAt(body, 0) & OPCODE_MASK;
}

quint32 uint32At(const QByteArray &bytes, int index)
{
    return quint32(byteAt(bytes, index)) | quint32(byteAt(bytes, index + 1)) << 8
           | quint32(byteAt(bytes, index + 2)) << 16 | quint32(byteAt(bytes, index + 3)) << 24;
}

// Argument digit of the information reply: 0 travels as 0xFF.
quint16 infoDigit(quint8 digit)
{
    return digit == 0xFF ? 0 : digit;
}

// Number of whole entries of `entrySize` bytes after the header byte.
int wholeEntries(const QByteArray &body, int entrySize)
{
    return body.size() > 1 ? (body.size() - 1) / entrySize : 0;
}

void decodeReading(quint8 low, quint8 high, quint8 counterByte, bool second, quint16 &value,
                   quint8 &flags, quint8 &counter)
{
    flags = 0;
    value = 0;
    if (low == 0xFF && high == 0x7F) {
        flags = ListenEntry::NoReading7F;
    } else if (low == 0xFF && high == 0xFF) {
        flags = ListenEntry::NoReadingFF;
    } else {
        const bool labelB = (high & 0x80) != 0;
        if (labelB)
            flags |= ListenEntry::LabelB;
        if (labelB != second)
            flags |= ListenEntry::OtherLabel;
        const quint16 raw = quint16((high & 0x7F) << 8 | low);
        flags |= (raw & 0x4000) ? ListenEntry::Bit14Set : ListenEntry::Bit14Clear;
        value = raw & 0x3FFF;
    }
    if (counterByte & 0x80) {
        flags |= ListenEntry::CounterBit7;
        counter = counterByte & 0x7F;
    } else {
        counter = counterByte;
    }
}

} // namespace

ListenEntry ListenEntry::decode(const QByteArray &bytes, int offset)
{
    ListenEntry entry;
    decodeReading(byteAt(bytes, offset), byteAt(bytes, offset + 1), byteAt(bytes, offset + 2),
                  false, entry.valueA, entry.flagsA, entry.counterA);
    decodeReading(byteAt(bytes, offset + 3), byteAt(bytes, offset + 4), byteAt(bytes, offset + 5),
                  true, entry.valueB, entry.flagsB, entry.counterB);
    return entry;
}

LineCardInfoReply LineCardInfoReply::decode(int card, const QByteArray &body)
{
    LineCardInfoReply reply;
    reply.opcode = opcodeOf(body);
    reply.card = card;
    reply.argument = quint16(infoDigit(byteAt(body, 2)) * 255 + infoDigit(byteAt(body, 1)));

    // The long form inserts productId and platformId before the block fields.
    int pos = 3;
    if (body.size() > ShortFormSize) {
        reply.productId = byteAt(body, 3);
        reply.platformId = byteAt(body, 4);
        pos = 5;
    }
    reply.blockManufacturer = byteAt(body, pos);
    reply.blockType = byteAt(body, pos + 1);
    const quint8 pairByte = byteAt(body, pos + 2);
    const quint8 pairs = pairByte & 0x7F;
    reply.blockPairCount = pairs == 0 ? 128 : pairs;
    reply.wiresPerPair = (pairByte & 0x80) ? 4 : 2;
    for (int i = 0; i < 4; ++i)
        reply.infoBytes[i] = byteAt(body, pos + 3 + i);
    reply.serialNumber = uint32At(body, pos + 7);
    reply.secondWord = uint32At(body, pos + 11);
    return reply;
}

FrameIntervalReply FrameIntervalReply::decode(int card, const QByteArray &body)
{
    FrameIntervalReply reply;
    reply.opcode = opcodeOf(body);
    reply.card = card;
    if (body.size() < 3) {
        reply.error = true;
        return reply;
    }
    reply.value = quint16(byteAt(body, 1) + 255 * byteAt(body, 2));
    return reply;
}

FlashVersionReply FlashVersionReply::decode(int card, const QByteArray &body)
{
    FlashVersionReply reply;
    reply.opcode = opcodeOf(body);
    reply.card = card;
    reply.argumentBytes = {byteAt(body, 1), byteAt(body, 2)};
    for (int i = 0; i < 4; ++i)
        reply.firstVersion[i] = byteAt(body, 3 + i);
    reply.secondVersionPresent = body.size() > 7;
    if (reply.secondVersionPresent) {
        for (int i = 0; i < 4; ++i)
            reply.secondVersion[i] = byteAt(body, 7 + i);
    }
    return reply;
}

bool FlashVersionReply::versionsDiffer() const
{
    return secondVersionPresent && firstVersion != secondVersion;
}

ReflashActionReply ReflashActionReply::decode(int card, const QByteArray &body)
{
    ReflashActionReply reply;
    reply.opcode = opcodeOf(body);
    reply.card = card;
    reply.byte1 = byteAt(body, 1);
    reply.byte2 = byteAt(body, 2);
    reply.byte3 = byteAt(body, 3);
    return reply;
}

ListenReply ListenReply::decode(int card, const QByteArray &body)
{
    ListenReply reply;
    reply.opcode = opcodeOf(body);
    reply.card = card;
    const int count = wholeEntries(body, ListenEntry::Size);
    reply.entries.reserve(count);
    for (int i = 0; i < count; ++i)
        reply.entries.append(ListenEntry::decode(body, 1 + i * ListenEntry::Size));
    return reply;
}

ContinuityReply ContinuityReply::decode(int card, const QByteArray &body)
{
    ContinuityReply reply;
    reply.opcode = opcodeOf(body);
    reply.card = card;
    const int entrySize = int(std::tuple_size<ContinuityEntry>::value);
    const int count = wholeEntries(body, entrySize);
    reply.entries.reserve(count);
    for (int i = 0; i < count; ++i) {
        ContinuityEntry entry;
        for (int k = 0; k < entrySize; ++k)
            entry[k] = byteAt(body, 1 + i * entrySize + k);
        reply.entries.append(entry);
    }
    return reply;
}
