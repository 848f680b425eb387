#include "emulator/EmulatorTypes.h"

void EmulatedLineState::setBitMode(quint8 mask, quint8 mode)
{
    bitMode = mode;
    if (mode == FT_BITMODE_CBUS_BITBANG) {
        cbusOutputs = mask >> 4;
        cbusLevels = mask & 0x0F;
    } else {
        cbusOutputs = 0;
        cbusLevels = 0;
    }
    lineCardPath = mode == FT_BITMODE_CBUS_BITBANG && (cbusOutputs & 0x3) == 0x3
                   && (cbusLevels & 0x3) == 0;
}
