#pragma once

#include "emulator/EmulatedD2xx.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QtGlobal>

#include <memory>

// What the tests of the emulated chip, controller, cards and bootloaders
// share: the host's side of the exchange through the D2XX-shaped chip, and
// the bytes the controller's protocol is made of, written here on their own
// rather than with the emulator's codec where they can be.

// What a card slot carries when its card has nothing (left) to send.
constexpr char filler = '\xFE';

// The controller's opcodes, as the protocol numbers them.
constexpr quint8 OPCODE_BOOTLOADER = 0x02;
constexpr quint8 OPCODE_FRAME_INTERVAL = 0x03;
constexpr quint8 OPCODE_LINE_CARD_INFO = 0x04;
constexpr quint8 GET_FLASH_VER = 0x06;
constexpr quint8 REFLASH_ACTION = 0x07;
constexpr quint8 OPCODE_BEACON = 0x10;
constexpr quint8 OPCODE_LISTEN = 0x11;
constexpr quint8 OPCODE_CLAMP = 0x12;
constexpr quint8 OPCODE_CONTINUITY = 0x13;
constexpr quint8 OPCODE_LED_RED = 0x21;
constexpr quint8 OPCODE_LED_GREEN = 0x22;
constexpr quint8 OPCODE_LED_YELLOW = 0x23;
constexpr quint8 OPCODE_LED_OFF = 0x28;
constexpr quint8 OPCODE_LED_ON = 0x29;
constexpr quint8 OPCODE_LED_FLASH_SLOW = 0x2A;

// A command as the host writes it: header, argument digits, payload, in a
// packet.
QByteArray packet(quint8 opcode, quint16 argument = 0, quint8 flags = 0,
                  const QByteArray &payload = {});
// Time n characters take at 9600 baud with 11 bit times each, rounded up.
qint64 charsUs(qint64 n);
// The slot bytes of every frame in `bytes`, one stream per slot. Fails the
// test when a frame is malformed or its slot count is not `slotCount`.
QList<QByteArray> slotStreams(const QByteArray &bytes, int slotCount, int *frameCount = nullptr);
// What a slot stream carries: "none" (nothing, or filler only), "corrupt"
// (a packet whose check fails), "confused", or "ok"; the first packet's body
// goes to `body`.
QByteArray classify(const QByteArray &stream, QByteArray *body = nullptr);
EmulatedCardIdentity identity(quint32 serial, quint8 manufacturer = 2, quint8 type = 1);

// --- bootloader commands and replies, as the card's bootloader sees them

// Opcode, the address as three bytes (least significant first), data.
QByteArray bslAt(quint8 opcode, quint32 address, const QByteArray &data = {});
QByteArray bslMessage(quint8 code);
QByteArray bslData(const QByteArray &data);

// A test object that drives an emulated chip as the host does; every test
// starts on a fresh chip of its own.
class EmulatedChipFixture : public QObject
{
protected:
    void makeEmulator(EmulatedD2xx::Timing timing);
    // The host's sequences: enumerate, open and set the resting pins,
    // configure the line, switch to the line-card path.
    void openController();
    void configureLine();
    void selectLineCards();
    // Break (unless withBreak is false), then one write of `sync` and the packets.
    void transmit(const QByteArray &packets, bool withBreak = true, char sync = 0x55,
                  bool waitWireTime = true);
    QByteArray readAll();
    // Wire timing: reads until `count` bytes have come or the time is up.
    QByteArray readUntil(int count, int timeoutMs = 3000);
    // Transmits, checks the echo and returns the slot streams of the reply.
    QList<QByteArray> exchange(const QByteArray &packets, int slotCount);
    // One bootloader command to the only card: its reply after the opcode
    // and argument digits in hex, "none" without a reply, or what went wrong.
    QByteArray bslExchange(const QByteArray &command);

    std::unique_ptr<EmulatedD2xx> emu;
    FT_HANDLE handle = nullptr;
};
