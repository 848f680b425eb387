#include "emulator/EmulatedBootloader.h"

#include "emulator/EmulatorCodec.h"

namespace {

// The bootloader's command opcodes.
constexpr quint8 BSL_FAST_FRAME = 0x03;
constexpr quint8 BSL_RX_DATA_BLOCK = 0x10;
constexpr quint8 BSL_RX_PASSWORD = 0x11;
constexpr quint8 BSL_ERASE_SEGMENT = 0x12;
constexpr quint8 BSL_TOGGLE_INFO_LOCK = 0x13;
constexpr quint8 BSL_MASS_ERASE = 0x15;
constexpr quint8 BSL_CRC_CHECK = 0x16;
constexpr quint8 BSL_TX_DATA_BLOCK = 0x18;
constexpr quint8 BSL_TX_BSL_VERSION = 0x19;
constexpr quint8 BSL_TX_BUFFER_SIZE = 0x1A;
constexpr quint8 BSL_BLANK_CHECK = 0x1C;
constexpr quint8 BSL_GET_PLATFORM_ID = 0x1D;
constexpr quint8 BSL_GET_DEVICE_ID = 0x1E;
constexpr quint8 BSL_CAPACITY_CHECK = 0x1F;
constexpr quint8 BSL_APPLICATION_CHECK = 0x20;
constexpr quint8 BSL_RX_CRYPTO_IV = 0x21;
constexpr quint8 BSL_RX_APP_CODE = 0x22;

constexpr quint8 TAG_IDENTITY = 0xC0;
constexpr int IDENTITY_SIZE = 22;
constexpr int PASSWORD_OFFSET = 6;

bool takesAddress(quint8 opcode)
{
    switch (opcode) {
    case BSL_RX_DATA_BLOCK:
    case BSL_ERASE_SEGMENT:
    case BSL_CRC_CHECK:
    case BSL_TX_DATA_BLOCK:
    case BSL_BLANK_CHECK:
    case BSL_CAPACITY_CHECK:
    case BSL_RX_CRYPTO_IV:
    case BSL_RX_APP_CODE:
        return true;
    default:
        return false;
    }
}

QByteArray record(quint8 tag, const QByteArray &body)
{
    return char(tag) + (char(body.size()) + body);
}

} // namespace

QByteArray EmulatedBootloader::defaultDeviceId()
{
    return QByteArray::fromHex("2553"
                               "0102030405060708090A0B0C0D0E");
}

QByteArray EmulatedBootloader::defaultPlatformId()
{
    return QByteArray::fromHex("0401");
}

QByteArray EmulatedBootloader::defaultInfoSegment()
{
    QByteArray identity = defaultPlatformId();
    identity += EmulatorCodec::le32(~quint32(770001));
    identity += QByteArray(PASSWORD_SIZE, '\xFF');
    QByteArray segment(2, '\0');
    segment += record(TAG_IDENTITY, identity);
    segment += record(0x10, QByteArray::fromHex("00800100707FE0026E03D07FB8011002"));
    segment += record(0xFE, QByteArray(8, '\xFF'));
    segment += record(0x01, QByteArray::fromHex("938E958F8681C185"));
    const QByteArray sum = EmulatorCodec::le16(segmentChecksum(segment));
    segment[0] = sum.at(0);
    segment[1] = sum.at(1);
    return segment;
}

quint16 EmulatedBootloader::segmentChecksum(const QByteArray &segment)
{
    quint16 x = 0;
    for (int i = 2; i < segment.size(); i += 2) {
        const quint16 high = i + 1 < segment.size() ? quint8(segment.at(i + 1)) : 0;
        x ^= quint16(quint8(segment.at(i)) | (high << 8));
    }
    return quint16(-x);
}

quint16 EmulatedBootloader::crc16(const QByteArray &bytes)
{
    quint16 crc = 0xFFFF;
    for (char b : bytes) {
        crc ^= quint16(quint8(b) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

EmulatedBootloader::EmulatedBootloader()
    : mainFlash(FLASH_SIZE, '\xFF'), sram(SRAM_SIZE, '\0'), info(defaultInfoSegment()),
      written(FLASH_SIZE, false), deviceId(defaultDeviceId())
{ }

QByteArray EmulatedBootloader::handle(const QByteArray &command)
{
    const QByteArray reply = answer(command);
    if (repliesToDrop > 0) {
        --repliesToDrop;
        return {};
    }
    return reply;
}

QByteArray EmulatedBootloader::answer(const QByteArray &command)
{
    if (command.isEmpty())
        return message(MESSAGE_UNKNOWN);
    const quint8 opcode = quint8(command.at(0));
    quint32 address = 0;
    QByteArray data = command.mid(1);
    if (takesAddress(opcode)) {
        if (command.size() < 4)
            return message(MESSAGE_UNKNOWN);
        address = quint8(command.at(1)) | quint32(quint8(command.at(2))) << 8
                  | quint32(quint8(command.at(3))) << 16;
        data = command.mid(4);
    }

    switch (opcode) {
    case BSL_FAST_FRAME:
        return message(MESSAGE_OK);
    case BSL_GET_DEVICE_ID:
        return dataReply(deviceId);
    case BSL_TX_BSL_VERSION:
        return dataReply(EmulatorCodec::le32(VERSION));
    case BSL_TX_BUFFER_SIZE:
        return dataReply(EmulatorCodec::le16(BUFFER_SIZE));
    case BSL_GET_PLATFORM_ID:
        return dataReply(defaultPlatformId());
    case BSL_RX_PASSWORD:
        return message(data == expectedPassword() ? MESSAGE_OK : MESSAGE_REFUSED);
    case BSL_TOGGLE_INFO_LOCK:
        return message(toggleLock());
    case BSL_MASS_ERASE:
        massErase();
        return message(MESSAGE_OK);
    case BSL_APPLICATION_CHECK:
        return message(applicationCheck());
    case BSL_TX_DATA_BLOCK:
        return readBlock(address, data);
    case BSL_CRC_CHECK:
        return crcCheck(address, data);
    case BSL_BLANK_CHECK:
        return message(blankCheck(address, data));
    case BSL_CAPACITY_CHECK:
        return message(capacityCheck(address));
    case BSL_ERASE_SEGMENT:
        return message(eraseSegment(address));
    case BSL_RX_DATA_BLOCK:
        return message(writeSegment(address, data));
    case BSL_RX_CRYPTO_IV:
        return message(receiveIv(address, data));
    case BSL_RX_APP_CODE:
        return message(receiveCode(address, data));
    default:
        return message(MESSAGE_UNKNOWN);
    }
}

const QByteArray *EmulatedBootloader::memoryAt(quint32 address, qint64 length, int *offset) const
{
    const struct
    {
        quint32 start;
        const QByteArray *bytes;
    } memories[] = {{FLASH_START, &mainFlash}, {SRAM_START, &sram}, {INFO_START, &info}};
    for (const auto &memory : memories) {
        if (length >= 0 && address >= memory.start
            && qint64(address - memory.start) + length <= memory.bytes->size()) {
            *offset = int(address - memory.start);
            return memory.bytes;
        }
    }
    return nullptr;
}

QByteArray EmulatedBootloader::readBlock(quint32 address, const QByteArray &data) const
{
    if (data.size() < 2)
        return message(MESSAGE_UNKNOWN);
    const int length = EmulatorCodec::readLe16(data, 0);
    int offset = 0;
    const QByteArray *memory = memoryAt(address, length, &offset);
    if (!memory || length == 0 || length > BUFFER_SIZE)
        return message(MESSAGE_FAILED);
    return dataReply(memory->mid(offset, length));
}

QByteArray EmulatedBootloader::crcCheck(quint32 address, const QByteArray &data) const
{
    if (data.size() < 2)
        return message(MESSAGE_UNKNOWN);
    const int length = EmulatorCodec::readLe16(data, 0);
    int offset = 0;
    const QByteArray *memory = memoryAt(address, length, &offset);
    if (!memory)
        return message(MESSAGE_FAILED);
    return dataReply(EmulatorCodec::le16(crc16(memory->mid(offset, length))));
}

quint8 EmulatedBootloader::blankCheck(quint32 address, const QByteArray &data) const
{
    if (data.size() < 2)
        return MESSAGE_UNKNOWN;
    const int length = EmulatorCodec::readLe16(data, 0);
    int offset = 0;
    const QByteArray *memory = memoryAt(address, length, &offset);
    if (!memory)
        return MESSAGE_FAILED;
    const QByteArray range = memory->mid(offset, length);
    return range.count('\xFF') == range.size() ? MESSAGE_OK : MESSAGE_FAILED;
}

quint8 EmulatedBootloader::capacityCheck(quint32 address) const
{
    if (address <= 0xFFFF && refusedProbes.contains(quint16(address)))
        return MESSAGE_FAILED;
    int offset = 0;
    const QByteArray *memory = memoryAt(address, 1, &offset);
    return memory == &mainFlash || memory == &sram ? MESSAGE_OK : MESSAGE_FAILED;
}

quint8 EmulatedBootloader::eraseSegment(quint32 address)
{
    if (address < INFO_START || address >= INFO_START + INFO_SIZE)
        return MESSAGE_FAILED;
    if (infoLocked)
        return MESSAGE_LOCKED;
    info.fill('\xFF');
    return MESSAGE_OK;
}

quint8 EmulatedBootloader::writeSegment(quint32 address, const QByteArray &data)
{
    int offset = 0;
    if (data.isEmpty() || memoryAt(address, data.size(), &offset) != &info)
        return MESSAGE_FAILED;
    if (infoLocked)
        return MESSAGE_LOCKED;
    if (info.mid(offset, data.size()).count('\xFF') != data.size())
        return MESSAGE_FAILED;
    info.replace(offset, data.size(), data);
    return MESSAGE_OK;
}

quint8 EmulatedBootloader::toggleLock()
{
    infoLocked = !infoLocked && !lockNeverLocks;
    return infoLocked ? 1 : 0;
}

void EmulatedBootloader::massErase()
{
    massEraseLocks.append(infoLocked);
    if (massEraseLocks.size() > maxKeptMassErases)
        massEraseLocks.removeFirst();
    mainFlash.fill('\xFF');
    written.fill(false);
    writtenCount = 0;
    massErased = true;
    ivReceived = false;
    application = false;
    if (!infoLocked)
        info.fill('\xFF');
}

quint8 EmulatedBootloader::receiveIv(quint32 address, const QByteArray &data)
{
    // The vector starts the deciphering at the load address, so it is taken
    // only before any code of this installation.
    int offset = 0;
    if (!massErased || writtenCount > 0 || data.isEmpty() || data.size() > BUFFER_SIZE
        || memoryAt(address, 1, &offset) != &mainFlash)
        return MESSAGE_FAILED;
    ivReceived = true;
    loadAddress = address;
    ivBytes = data;
    return MESSAGE_OK;
}

quint8 EmulatedBootloader::receiveCode(quint32 address, const QByteArray &data)
{
    if (!ivReceived)
        return MESSAGE_FAILED;
    const qint64 fromLoad = qint64(address) - qint64(loadAddress);
    if (fromLoad >= 0 && fromLoad % PAGE_SIZE == 0) {
        auto refusal = pageRefusals.find(int(fromLoad / PAGE_SIZE));
        if (refusal != pageRefusals.end() && refusal.value() != 0) {
            if (refusal.value() > 0)
                --refusal.value();
            return MESSAGE_REFUSED;
        }
    }
    int offset = 0;
    if (data.isEmpty() || data.size() > PAGE_SIZE
        || memoryAt(address, data.size(), &offset) != &mainFlash)
        return MESSAGE_FAILED;
    // Flash takes bytes only where it is erased; a re-sent page finds its
    // own bytes in place.
    for (int i = 0; i < data.size(); ++i) {
        const char old = mainFlash.at(offset + i);
        if (old != '\xFF' && old != data.at(i))
            return MESSAGE_FAILED;
    }
    mainFlash.replace(offset, data.size(), data);
    for (int i = offset; i < offset + data.size(); ++i) {
        if (!written.at(i)) {
            written[i] = true;
            ++writtenCount;
        }
    }
    return MESSAGE_OK;
}

quint8 EmulatedBootloader::applicationCheck()
{
    if (!firmwareKnown) {
        firmware = CardFirmware::forBoard(boardManufacturer, boardType);
        firmwareKnown = true;
    }
    // Only the firmware of this card's board, deciphered with its own
    // vector from its own address, and nothing written beside it.
    const int start = int(loadAddress) - int(FLASH_START);
    if (!ivReceived || !firmware.isKnown() || ivBytes != firmware.iv
        || loadAddress != firmware.loadAddress || start < 0
        || writtenCount != firmware.payload.size()
        || mainFlash.mid(start, firmware.payload.size()) != firmware.payload)
        return MESSAGE_FAILED;
    for (int i = start; i < start + firmware.payload.size(); ++i) {
        if (!written.at(i))
            return MESSAGE_FAILED;
    }
    application = true;
    return MESSAGE_OK;
}

void EmulatedBootloader::setBoard(quint8 blockManufacturer, quint8 blockType)
{
    if (blockManufacturer == boardManufacturer && blockType == boardType && firmwareKnown)
        return;
    boardManufacturer = blockManufacturer;
    boardType = blockType;
    firmwareKnown = false;
}

void EmulatedBootloader::setFirmware(const CardFirmware &cardFirmware)
{
    firmware = cardFirmware;
    firmwareKnown = true;
}

QByteArray EmulatedBootloader::expectedPassword() const
{
    int offset = 2;
    while (offset + 2 <= info.size()) {
        const quint8 tag = quint8(info.at(offset));
        const int length = quint8(info.at(offset + 1));
        if (tag == TAG_IDENTITY && length >= IDENTITY_SIZE && offset + 2 + length <= info.size())
            return info.mid(offset + 2 + PASSWORD_OFFSET, PASSWORD_SIZE);
        offset += 2 + length;
    }
    return QByteArray(PASSWORD_SIZE, '\xFF');
}

QByteArray EmulatedBootloader::message(quint8 code)
{
    QByteArray reply;
    reply.append(char(MESSAGE_REPLY));
    reply.append(char(code));
    return reply;
}

QByteArray EmulatedBootloader::dataReply(const QByteArray &data)
{
    return char(DATA_REPLY) + data;
}

void EmulatedBootloader::setDeviceId(const QByteArray &id)
{
    deviceId = id.left(BUFFER_SIZE);
}

void EmulatedBootloader::refusePage(int page, int times)
{
    if (page < 0)
        return;
    if (times == 0)
        pageRefusals.remove(page);
    else
        pageRefusals.insert(page, times < 0 ? -1 : times);
}

void EmulatedBootloader::refuseCapacityProbe(quint16 address)
{
    refusedProbes.insert(address);
}

void EmulatedBootloader::setLockNeverLocks(bool neverLocks)
{
    lockNeverLocks = neverLocks;
}

void EmulatedBootloader::dropNextReplies(int n)
{
    repliesToDrop = qMax(n, 0);
}

void EmulatedBootloader::setInfoSegment(const QByteArray &segment)
{
    info = segment.left(INFO_SIZE);
    if (info.size() < INFO_SIZE)
        info.append(QByteArray(INFO_SIZE - info.size(), '\xFF'));
}

QByteArray EmulatedBootloader::flash(quint32 address, int length) const
{
    int offset = 0;
    if (memoryAt(address, length, &offset) != &mainFlash)
        return {};
    return mainFlash.mid(offset, length);
}
