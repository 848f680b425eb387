// Firmware image text from arbitrary bytes. On success the parsed image must
// agree with the text: one 16-byte data line per line that is not a header,
// address or end line, the required keys present and read as the image says,
// pages that tile the payload exactly.

#include "FuzzSupport.h"

#include "bootloader/FirmwareImage.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace {

// Hex digits only, at most `max`; an independent reading of the same rule.
bool strictHex(const QString &text, quint64 max, quint64 *value)
{
    if (text.isEmpty())
        return false;
    quint64 v = 0;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        int d;
        if (u >= '0' && u <= '9')
            d = u - '0';
        else if (u >= 'a' && u <= 'f')
            d = u - 'a' + 10;
        else if (u >= 'A' && u <= 'F')
            d = u - 'A' + 10;
        else
            return false;
        v = v * 16 + quint64(d);
        if (v > max)
            return false;
    }
    *value = v;
    return true;
}

// The lines of the text: split at LF, one CR before each LF dropped, and
// nothing after a final LF. Written apart from the parser's own loop so
// that the two check each other.
QList<QByteArray> linesOf(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    const QByteArray unterminated = lines.takeLast();
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    if (!unterminated.isEmpty())
        lines.append(unterminated);
    return lines;
}

void checkLoaded(const FirmwareImage &image, const QByteArray &text)
{
    int dataLines = 0;
    for (const QByteArray &line : linesOf(text)) {
        if (!line.startsWith("#:") && !line.startsWith('@') && !line.startsWith('q'))
            ++dataLines;
    }
    const QByteArray payload = image.payload();
    FUZZ_CHECK(payload.size() == dataLines * FirmwareImage::BYTES_PER_LINE);

    const QMap<QString, QString> header = image.header();
    for (auto it = header.constBegin(); it != header.constEnd(); ++it) {
        FUZZ_CHECK(!it.key().contains(QLatin1Char('=')) && !it.value().contains(QLatin1Char('=')));
        FUZZ_CHECK(!it.key().contains(QLatin1Char('\n'))
                   && !it.value().contains(QLatin1Char('\n')));
        FUZZ_CHECK(image.headerValue(it.key()) == it.value());
    }

    FUZZ_CHECK(header.contains(QStringLiteral("CRYPTO_IV")));
    const QStringList ivTokens = header.value(QStringLiteral("CRYPTO_IV")).split(QLatin1Char(' '));
    const QByteArray iv = image.cryptoIv();
    FUZZ_CHECK(iv.size() == ivTokens.size());
    for (int i = 0; i < ivTokens.size(); ++i) {
        quint64 value = 0;
        FUZZ_CHECK(strictHex(ivTokens.at(i), 0xFFFF, &value));
        FUZZ_CHECK(quint8(iv.at(i)) == quint8(value & 0xFF));
    }

    quint64 value = 0;
    FUZZ_CHECK(strictHex(header.value(QStringLiteral("MINIMUM_FLASH")), 0xFFFF, &value));
    FUZZ_CHECK(image.minimumFlash() == value);
    FUZZ_CHECK(strictHex(header.value(QStringLiteral("MINIMUM_SRAM")), 0xFFFF, &value));
    FUZZ_CHECK(image.minimumSram() == value);

    FUZZ_CHECK(header.contains(QStringLiteral("PLATFORM_ID")));
    const QString platform = header.value(QStringLiteral("PLATFORM_ID"));
    const quint8 expected0 = strictHex(platform.mid(0, 2), 0xFF, &value) ? quint8(value) : 0;
    const quint8 expected1 = strictHex(platform.mid(3, 2), 0xFF, &value) ? quint8(value) : 0;
    FUZZ_CHECK(image.platformId0() == expected0 && image.platformId1() == expected1);

    // Pages tile the payload: full pages, then a shorter last one, then none.
    const quint32 pageSize = image.pageSize();
    FUZZ_CHECK(pageSize == 64);
    QByteArray joined;
    quint32 page = 0;
    for (;; ++page) {
        const QByteArray bytes = image.getPage(page);
        if (bytes.isEmpty())
            break;
        FUZZ_CHECK(quint32(bytes.size())
                   == qMin<quint32>(pageSize, quint32(payload.size()) - page * pageSize));
        FUZZ_CHECK(image.getPageAddress(page) == image.loadAddress() + page * pageSize);
        joined += bytes;
    }
    FUZZ_CHECK(joined == payload);
    FUZZ_CHECK(page == (quint32(payload.size()) + pageSize - 1) / pageSize);
    FUZZ_CHECK(image.getPage(0xFFFFFFFFu).isEmpty());
    FUZZ_CHECK(image.getPage(0x04000000u).isEmpty());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::setUpQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > size_t(FirmwareImage::MAX_FILE_SIZE) + 1)
        return 0;
    const QByteArray text(reinterpret_cast<const char *>(data), int(size));

    FirmwareImage image;
    const bool loaded = image.loadFromBytes(text);
    FUZZ_CHECK(loaded == image.isLoaded());
    if (loaded)
        checkLoaded(image, text);

    // A second load of the same text into the used object gives the same image.
    const bool again = image.loadFromBytes(text);
    FUZZ_CHECK(again == loaded);
    if (again)
        checkLoaded(image, text);
    return 0;
}
