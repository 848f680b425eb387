#pragma once

#include "emulator/CardFirmware.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSet>
#include <QVector>
#include <QtGlobal>

// The bootloader of one emulated LQ770 line card: its memory (main flash,
// SRAM, the information segment and the segment's lock), the commands it
// answers and the faults a test asks for. Not thread-safe; its owner
// serialises every call.
class EmulatedBootloader
{
public:
    static constexpr quint32 FLASH_START = 0xC000;
    static constexpr int FLASH_SIZE = 0x4000;
    static constexpr quint32 SRAM_START = 0x0200;
    static constexpr int SRAM_SIZE = 0x0200;
    static constexpr quint32 INFO_START = 0x10C0;
    static constexpr int INFO_SIZE = 64;
    static constexpr int PAGE_SIZE = 64;
    static constexpr int PASSWORD_SIZE = 16;
    // Largest code page, segment write or memory read.
    static constexpr int BUFFER_SIZE = 64;
    static constexpr quint32 VERSION = 0xE40302E1; // E1 02 03 E4 on the wire

    // Reply types.
    static constexpr quint8 DATA_REPLY = 0x3A;
    static constexpr quint8 MESSAGE_REPLY = 0x3B;

    // Message codes.
    static constexpr quint8 MESSAGE_OK = 0x00;
    static constexpr quint8 MESSAGE_FAILED = 0x01;  // a check failed or the memory refused a write
    static constexpr quint8 MESSAGE_LOCKED = 0x04;  // the information segment is locked
    static constexpr quint8 MESSAGE_REFUSED = 0x05; // wrong password, or a page refused on request
    static constexpr quint8 MESSAGE_UNKNOWN = 0x07; // unknown opcode or a command cut short

    // 25 53, then fourteen bytes of the card's own.
    static QByteArray defaultDeviceId();
    static QByteArray defaultPlatformId();
    // Identity record (platform 04 01, line-card number 770001, the erased
    // password), the card's own ADC calibration, the empty record and the
    // card's own clock calibration, behind a valid checksum.
    static QByteArray defaultInfoSegment();
    // Negated XOR of the little-endian words from offset 2.
    static quint16 segmentChecksum(const QByteArray &segment);
    // CRC-16-CCITT: polynomial 0x1021, initial value 0xFFFF, no reflection.
    static quint16 crc16(const QByteArray &bytes);

    EmulatedBootloader();

    // Takes one command (opcode, the three address bytes for the opcodes
    // that carry them, data) and returns the reply (reply type, then data),
    // or nothing when the reply is dropped.
    QByteArray handle(const QByteArray &command);

    // The card's own application runs from power-up; a mass erase removes
    // it, and an application check that passes starts the one written.
    bool applicationRunning() const { return application; }

    // The board decides the firmware the card is built for: the stand-in
    // image of its kind, read when it is first needed, unless one is set.
    void setBoard(quint8 blockManufacturer, quint8 blockType);
    void setFirmware(const CardFirmware &firmware);

    void setDeviceId(const QByteArray &id);
    // Page n lies at the initialisation vector's address + 64 n; times < 0:
    // every time, 0: never.
    void refusePage(int page, int times);
    void refuseCapacityProbe(quint16 address);
    // Every toggle leaves the segment unlocked.
    void setLockNeverLocks(bool neverLocks);
    // The next n commands are carried out but not answered.
    void dropNextReplies(int n);
    // Cut or padded with erased bytes to 64.
    void setInfoSegment(const QByteArray &segment);

    // Main flash from `address`; nothing unless the range lies in it.
    QByteArray flash(quint32 address, int length) const;
    QByteArray infoSegment() const { return info; }
    bool infoSegmentLocked() const { return infoLocked; }
    // Whether the segment was locked at each mass erase, oldest first.
    QList<bool> massErases() const { return massEraseLocks; }
    static constexpr int maxKeptMassErases = 1000;

private:
    QByteArray answer(const QByteArray &command);
    QByteArray readBlock(quint32 address, const QByteArray &data) const;
    QByteArray crcCheck(quint32 address, const QByteArray &data) const;
    quint8 blankCheck(quint32 address, const QByteArray &data) const;
    quint8 capacityCheck(quint32 address) const;
    quint8 eraseSegment(quint32 address);
    quint8 writeSegment(quint32 address, const QByteArray &data);
    quint8 toggleLock();
    void massErase();
    quint8 receiveIv(quint32 address, const QByteArray &data);
    quint8 receiveCode(quint32 address, const QByteArray &data);
    quint8 applicationCheck();
    QByteArray expectedPassword() const;

    // The memory that holds the whole range, with the range's offset in it;
    // nothing when no one memory does.
    const QByteArray *memoryAt(quint32 address, qint64 length, int *offset) const;

    static QByteArray message(quint8 code);
    static QByteArray dataReply(const QByteArray &data);

    QByteArray mainFlash;
    QByteArray sram;
    QByteArray info;
    bool infoLocked = true;
    QVector<bool> written; // per main-flash byte, since the last mass erase
    int writtenCount = 0;
    bool massErased = false;
    bool ivReceived = false;
    quint32 loadAddress = 0;
    bool application = true;
    QList<bool> massEraseLocks;
    QByteArray ivBytes; // the initialisation vector of this installation
    quint8 boardManufacturer = 0;
    quint8 boardType = 0;
    bool firmwareKnown = false; // set, or read for the board
    CardFirmware firmware;

    QByteArray deviceId;
    QMap<int, int> pageRefusals; // page -> refusals left, -1: always
    QSet<quint16> refusedProbes;
    bool lockNeverLocks = false;
    int repliesToDrop = 0;
};
