#pragma once

// The USB serial chip library's types and constants, with their published
// shapes, so that the system builds without the vendor's header.

#include <cstdint>

typedef void *FT_HANDLE;
typedef uint32_t FT_STATUS;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18,
};

constexpr uint8_t FT_BITS_8 = 8;
constexpr uint8_t FT_STOP_BITS_2 = 2;
constexpr uint8_t FT_PARITY_NONE = 0;
constexpr uint16_t FT_FLOW_NONE = 0x0000;
constexpr uint32_t FT_PURGE_RX = 1;
constexpr uint32_t FT_PURGE_TX = 2;
constexpr uint8_t FT_BITMODE_CBUS_BITBANG = 0x20;

struct FT_DEVICE_LIST_INFO_NODE
{
    uint32_t Flags;
    uint32_t Type;
    uint32_t ID;
    uint32_t LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};
