#pragma once

#include <QtGlobal>

// Controller packet opcodes: the low six bits of a packet's header byte.
constexpr quint8 OPCODE_MASK = 0x3F;

constexpr quint8 OPCODE_CONFUSED = 0x00;
constexpr quint8 OPCODE_BOOTLOADER = 0x02;
constexpr quint8 OPCODE_FRAME_INTERVAL = 0x03;
constexpr quint8 OPCODE_LINE_CARD_INFO = 0x04;
// Header of the identify command: the information opcode with bit 7 set,
// because its argument names one card.
constexpr quint8 OPCODE_IDENTIFY = 0x84;
constexpr quint8 GET_FLASH_VER = 0x06;
constexpr quint8 REFLASH_ACTION = 0x07;
constexpr quint8 OPCODE_BEACON = 0x10;
constexpr quint8 OPCODE_LISTEN = 0x11;
constexpr quint8 OPCODE_CLAMP = 0x12;
constexpr quint8 OPCODE_CONTINUITY = 0x13;
constexpr quint8 OPCODE_LED_20 = 0x20;
constexpr quint8 OPCODE_LED_RED = 0x21;
constexpr quint8 OPCODE_LED_GREEN = 0x22;
constexpr quint8 OPCODE_LED_YELLOW = 0x23;
constexpr quint8 OPCODE_LED_OFF = 0x28;
constexpr quint8 OPCODE_LED_ON = 0x29;
constexpr quint8 OPCODE_LED_FLASH_SLOW = 0x2A;
