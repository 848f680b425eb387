#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QtGlobal>

// One parsed line-card firmware image: "#:KEY=VALUE" header lines, an "@"
// load-address line, data lines of sixteen hex bytes and the "q" end marker.
// The payload is enciphered and kept as opaque bytes.
class FirmwareImage
{
public:
    // Images are about 26 KB; anything above this is refused unread.
    static constexpr qint64 MAX_FILE_SIZE = 1024 * 1024;
    static constexpr int BYTES_PER_LINE = 16;

    // Parses the image at a file or resource path. On false the header map
    // and payload hold what was read before the failure.
    bool load(const QString &path);
    // The same parse over the text of an image already in memory.
    bool loadFromBytes(const QByteArray &text);

    // The stored value, or an empty string when the key is absent.
    QString headerValue(const QString &key) const;

    // loadAddress + pageSize * page.
    quint32 getPageAddress(quint32 page) const;
    // The pageSize bytes of the payload from pageSize * page; fewer at the
    // end of the payload, none beyond it.
    QByteArray getPage(quint32 page) const;

    bool isLoaded() const { return m_isLoaded; }
    quint16 minimumFlash() const { return m_minimumFlash; }
    quint16 minimumSram() const { return m_minimumSram; }
    QByteArray cryptoIv() const { return m_cryptoIv; }
    QMap<QString, QString> header() const { return m_header; }
    QByteArray payload() const { return m_payload; }
    quint32 loadAddress() const { return m_loadAddress; }
    quint32 pageSize() const { return m_pageSize; }
    quint8 platformId0() const { return m_platformId[0]; }
    quint8 platformId1() const { return m_platformId[1]; }

    // Strict hexadecimal: one or more digits 0-9, A-F, a-f and nothing else
    // (no sign, prefix or blanks), value at most `max`.
    static bool parseHex(const QString &text, quint32 max, quint32 *value);
    // Appends the low 8 bits of each single-blank-separated token, each a
    // hex number of at most 16 bits. False on an empty or bad token.
    static bool appendHexBytes(const QString &text, QByteArray *bytes);

    bool traceEnabled = false;

private:
    bool parseLine(const QString &line);

    quint16 m_minimumFlash = 0;
    quint16 m_minimumSram = 0;
    QByteArray m_cryptoIv;
    bool m_isLoaded = false;
    QMap<QString, QString> m_header;
    QByteArray m_payload;
    quint32 m_loadAddress = 0;
    quint32 m_pageSize = 64;
    quint8 m_platformId[2] = {0, 0};
};
