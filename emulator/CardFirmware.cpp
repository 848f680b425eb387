#include "emulator/CardFirmware.h"

#include <QFile>
#include <QList>

namespace {

// The boards an emulated card can be, with their stand-in images.
const struct Board
{
    quint8 manufacturer;
    quint8 type;
    const char *name;
    const char *image;
} boards[] = {
    {0, 0, "Krone LSA-PLUS, 10 pairs", "LQ770_KRONE_LSAPLUS_S2_10PAIR.txt"},
    {5, 0, "Quante SID-C, 10 pairs", "LQ770_QUANTE_SIDC_10PAIR.txt"},
    {5, 1, "Quante SID-C, 20 pairs", "LQ770_QUANTE_SIDC_20PAIR.txt"},
    {6, 0, "R&M VS Compact, 10 pairs", "LQ770_RANDM_VS_COMPACT_10PAIR.txt"},
    {6, 1, "R&M VS Compact, 20 pairs", "LQ770_RANDM_VS_COMPACT_20PAIR.txt"},
    {6, 11, "R&M VS Compact with splitters, 16 pairs", "LQ770_RANDM_VS_COMPACT_16PAIR_XC.txt"},
    {8, 0, "Krone HD, 10 pairs", "LQ770_KRONE_LSAPLUS_HD180_10PAIR.txt"},
};

const Board *findBoard(quint8 manufacturer, quint8 type)
{
    for (const Board &board : boards) {
        if (board.manufacturer == manufacturer && board.type == type)
            return &board;
    }
    return nullptr;
}

bool readHexBytes(const QByteArray &text, QByteArray *bytes)
{
    for (const QByteArray &token : text.simplified().split(' ')) {
        if (token.isEmpty())
            continue;
        bool ok = false;
        const uint value = token.toUInt(&ok, 16);
        if (!ok || token.size() != 2 || value > 0xFF)
            return false;
        bytes->append(char(value));
    }
    return true;
}

} // namespace

CardFirmware CardFirmware::fromText(const QByteArray &text)
{
    CardFirmware firmware;
    bool inData = false;
    bool haveAddress = false;
    for (QByteArray line : text.split('\n')) {
        line = line.trimmed();
        if (line.startsWith("#:CRYPTO_IV=")) {
            if (!readHexBytes(line.mid(12), &firmware.iv))
                return {};
        } else if (line.startsWith('@')) {
            bool ok = false;
            firmware.loadAddress = line.mid(1).toUInt(&ok, 16);
            if (!ok || haveAddress)
                return {};
            haveAddress = inData = true;
        } else if (line == "q") {
            inData = false;
        } else if (inData && !line.isEmpty()) {
            if (!readHexBytes(line, &firmware.payload))
                return {};
        }
    }
    if (!haveAddress || firmware.iv.isEmpty())
        return {};
    return firmware;
}

CardFirmware CardFirmware::fromFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return fromText(file.readAll());
}

QString CardFirmware::boardImage(quint8 blockManufacturer, quint8 blockType)
{
    const Board *board = findBoard(blockManufacturer, blockType);
    return board ? QStringLiteral(":/firmware/") + QLatin1String(board->image) : QString();
}

QString CardFirmware::boardName(quint8 blockManufacturer, quint8 blockType)
{
    const Board *board = findBoard(blockManufacturer, blockType);
    return board ? QString::fromUtf8(board->name) : QString();
}

CardFirmware CardFirmware::forBoard(quint8 blockManufacturer, quint8 blockType)
{
    const QString path = boardImage(blockManufacturer, blockType);
    return path.isEmpty() ? CardFirmware() : fromFile(path);
}
