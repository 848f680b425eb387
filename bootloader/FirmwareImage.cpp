#include "bootloader/FirmwareImage.h"

#include <QDebug>
#include <QFile>
#include <QStringList>

namespace {

int hexDigitValue(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    return -1;
}

// The two-character PLATFORM_ID fields are read without a check: missing
// characters or a non-number give 0.
quint8 hexOrZero(const QString &text)
{
    quint32 value = 0;
    return FirmwareImage::parseHex(text, 0xFF, &value) ? quint8(value) : 0;
}

} // namespace

bool FirmwareImage::parseHex(const QString &text, quint32 max, quint32 *value)
{
    if (text.isEmpty())
        return false;
    quint64 result = 0;
    for (const QChar c : text) {
        const int digit = hexDigitValue(c);
        if (digit < 0)
            return false;
        result = result * 16 + quint64(digit);
        if (result > max)
            return false;
    }
    *value = quint32(result);
    return true;
}

bool FirmwareImage::appendHexBytes(const QString &text, QByteArray *bytes)
{
    const QStringList tokens = text.split(QLatin1Char(' '));
    for (const QString &token : tokens) {
        quint32 value = 0;
        if (!parseHex(token, 0xFFFF, &value))
            return false;
        bytes->append(char(value & 0xFF));
    }
    return true;
}

bool FirmwareImage::load(const QString &path)
{
    m_isLoaded = false;
    m_header.clear();
    m_payload.clear();

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // Read one byte past the limit so an oversize file (or a device that never
    // ends) is recognised without reading all of it.
    return loadFromBytes(file.read(MAX_FILE_SIZE + 1));
}

bool FirmwareImage::loadFromBytes(const QByteArray &text)
{
    m_isLoaded = false;
    m_header.clear();
    m_payload.clear();
    if (text.size() > MAX_FILE_SIZE)
        return false;

    int start = 0;
    while (start < text.size()) {
        int end = text.indexOf('\n', start);
        const int next = end < 0 ? text.size() : end + 1;
        if (end < 0)
            end = text.size();
        else if (end > start && text.at(end - 1) == '\r')
            --end;
        if (!parseLine(QString::fromUtf8(text.constData() + start, end - start)))
            return false;
        start = next;
    }

    const auto iv = m_header.constFind(QStringLiteral("CRYPTO_IV"));
    if (iv == m_header.constEnd())
        return false;
    QByteArray ivBytes;
    if (!appendHexBytes(iv.value(), &ivBytes))
        return false;
    m_cryptoIv = ivBytes;

    quint32 value = 0;
    const auto flash = m_header.constFind(QStringLiteral("MINIMUM_FLASH"));
    if (flash == m_header.constEnd() || !parseHex(flash.value(), 0xFFFF, &value))
        return false;
    m_minimumFlash = quint16(value);

    const auto sram = m_header.constFind(QStringLiteral("MINIMUM_SRAM"));
    if (sram == m_header.constEnd() || !parseHex(sram.value(), 0xFFFF, &value))
        return false;
    m_minimumSram = quint16(value);

    const auto platform = m_header.constFind(QStringLiteral("PLATFORM_ID"));
    if (platform == m_header.constEnd())
        return false;
    m_platformId[0] = hexOrZero(platform.value().mid(0, 2));
    m_platformId[1] = hexOrZero(platform.value().mid(3, 2));

    m_isLoaded = true;
    return true;
}

bool FirmwareImage::parseLine(const QString &line)
{
    if (line.startsWith(QLatin1String("#:"))) {
        const QStringList parts = line.mid(2).split(QLatin1Char('='));
        if (parts.size() != 2)
            return false;
        m_header.insert(parts.at(0), parts.at(1));
        return true;
    }
    if (line.startsWith(QLatin1Char('@'))) {
        quint32 address = 0;
        if (!parseHex(line.mid(1), 0xFFFFFFFFu, &address))
            address = 0;
        m_loadAddress = address;
        if (traceEnabled)
            qDebug().noquote() << QStringLiteral("loadAddress=%1").arg(m_loadAddress);
        return true;
    }
    if (line.startsWith(QLatin1Char('q')))
        return true;

    QByteArray bytes;
    if (!appendHexBytes(line, &bytes) || bytes.size() != BYTES_PER_LINE)
        return false;
    m_payload.append(bytes);
    return true;
}

QString FirmwareImage::headerValue(const QString &key) const
{
    return m_header.value(key);
}

quint32 FirmwareImage::getPageAddress(quint32 page) const
{
    const quint32 offset = m_pageSize * page;
    if (traceEnabled)
        qDebug().noquote()
            << QStringLiteral("getPageAddress() %1 + %2").arg(m_loadAddress).arg(offset);
    return m_loadAddress + offset;
}

QByteArray FirmwareImage::getPage(quint32 page) const
{
    const quint64 offset = quint64(m_pageSize) * page;
    if (offset >= quint64(m_payload.size()))
        return QByteArray();
    return m_payload.mid(int(offset), int(m_pageSize));
}
