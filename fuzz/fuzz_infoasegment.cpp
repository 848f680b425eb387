// Information segment parse, field write-back and rebuild from arbitrary
// bytes. Input: one flags byte, the field values it asks for, then the
// segment.
// Every rebuilt segment must carry a checksum that verifies, and a rebuilt
// segment must read back as the records and fields it was built from (unless
// it holds 0xFF where the parser repairs erased tags).

#include "FuzzSupport.h"
#include "tests/support/TestBytes.h"

#include "bootloader/InfoASegment.h"

namespace {

const int repairOffsets[] = {2, 26, 44, 54};

void checkBuilt(const InfoASegment &segment, const QByteArray &built)
{
    FUZZ_CHECK(built.size() >= 2);
    int expectedSize = 2;
    for (const QByteArray &body : segment.records)
        expectedSize += 2 + body.size();
    FUZZ_CHECK(built.size() == expectedSize);
    const quint16 stored = quint16(quint8(built.at(0)) | (quint8(built.at(1)) << 8));
    FUZZ_CHECK(quint16(stored + xorOfWords(built)) == 0);
    FUZZ_CHECK(InfoASegment::infoaChecksum(built) == stored);
}

bool readsBackUnrepaired(const QByteArray &built)
{
    for (int offset : repairOffsets) {
        if (offset < built.size() && quint8(built.at(offset)) == 0xFF)
            return false;
    }
    return true;
}

// An identity body that reads as erased is read with byte 0 cleared.
bool identityErased(const InfoASegment &segment)
{
    const int index = segment.tags.indexOf(char(InfoASegment::TAG_IDENTITY));
    if (index < 0)
        return false;
    const QByteArray &body = segment.records.at(index);
    return !body.isEmpty() && body.count(char(0xFF)) == body.size();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::setUpQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const quint8 flags = in.byte();
    // Field values for the write-back, when the flags ask for them.
    const QByteArray fields = in.bytes((flags & 0x01) ? 6 : 0);
    QByteArray bytes = in.rest();
    const QByteArray original = bytes;

    InfoASegment segment;
    segment.parseInfoA(bytes);
    FUZZ_CHECK(bytes.size() == original.size());
    // Only an erased tag at a standard record offset, and the length after it,
    // are rewritten in place.
    for (int i = 0; i < bytes.size(); ++i) {
        if (bytes.at(i) == original.at(i))
            continue;
        bool repaired = false;
        for (int offset : repairOffsets)
            repaired = repaired
                       || ((i == offset || i == offset + 1) && quint8(original.at(offset)) == 0xFF);
        FUZZ_CHECK(repaired);
    }
    FUZZ_CHECK(segment.tags.size() == segment.records.size());
    for (const QByteArray &body : segment.records)
        FUZZ_CHECK(body.size() <= 255);

    const QByteArray built = segment.buildInfoA();
    checkBuilt(segment, built);

    // Parsing the rebuilt segment gives back the same records and fields.
    QByteArray copy = built;
    if (readsBackUnrepaired(built)) {
        InfoASegment again;
        again.parseInfoA(copy);
        FUZZ_CHECK(copy == built);
        FUZZ_CHECK(again.tags == segment.tags);
        FUZZ_CHECK(again.records == segment.records);
        FUZZ_CHECK(again.hasIdentity == segment.hasIdentity);
        if (segment.hasIdentity) {
            FUZZ_CHECK(again.platformId0 == segment.platformId0);
            FUZZ_CHECK(again.platformId1 == segment.platformId1);
            FUZZ_CHECK(again.serialNumber == segment.serialNumber);
            FUZZ_CHECK(again.password == segment.password);
        }
        FUZZ_CHECK(again.hasExtra == segment.hasExtra);
        if (segment.hasExtra) {
            FUZZ_CHECK(again.extraByte0 == segment.extraByte0);
            FUZZ_CHECK(again.extraByte1 == segment.extraByte1);
            FUZZ_CHECK(again.extraValue == segment.extraValue);
        }
        FUZZ_CHECK(again.buildInfoA() == built);
    }

    // New fields, as the default rebuild and the password install set them.
    if (flags & 0x01) {
        const QByteArray padded = fields + QByteArray(6 - fields.size(), '\0');
        segment.platformId0 = quint8(padded.at(0));
        segment.platformId1 = quint8(padded.at(1));
        segment.serialNumber = quint32(quint8(padded.at(2))) | quint32(quint8(padded.at(3))) << 8
                               | quint32(quint8(padded.at(4))) << 16
                               | quint32(quint8(padded.at(5))) << 24;
        segment.password = QByteArray(int(flags >> 4), char(0x5A));
    }
    if (flags & 0x02)
        segment.hasIdentity = true;
    if (flags & 0x04) {
        segment.extraByte0 = 0xA5;
        segment.extraByte1 = 0x3C;
        segment.extraValue = 0x12345678u;
    }
    segment.applyFields();
    FUZZ_CHECK(segment.tags.size() == segment.records.size());
    const QByteArray rebuilt = segment.buildInfoA();
    checkBuilt(segment, rebuilt);

    // The written fields read back from the rebuilt segment.
    copy = rebuilt;
    if (segment.hasIdentity && segment.tags.contains(char(InfoASegment::TAG_IDENTITY))
        && readsBackUnrepaired(rebuilt) && !identityErased(segment)) {
        InfoASegment again;
        again.parseInfoA(copy);
        FUZZ_CHECK(again.hasIdentity);
        FUZZ_CHECK(again.platformId0 == segment.platformId0);
        FUZZ_CHECK(again.platformId1 == segment.platformId1);
        FUZZ_CHECK(again.serialNumber == segment.serialNumber);
        FUZZ_CHECK(again.password == segment.password.left(16));
        if (segment.hasExtra) {
            FUZZ_CHECK(again.hasExtra);
            FUZZ_CHECK(again.extraByte0 == segment.extraByte0);
            FUZZ_CHECK(again.extraByte1 == segment.extraByte1);
            FUZZ_CHECK(again.extraValue == segment.extraValue);
        }
    }
    return 0;
}
