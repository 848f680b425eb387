#include "usb/ftd2xxRaw.h"

#include <QDebug>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {
constexpr quint32 pinSettleUs = 10000;
constexpr quint32 rtsPulseUs = 2100;
constexpr quint32 echoPollMs = 2;
} // namespace

ftd2xxRaw::ftd2xxRaw(std::shared_ptr<D2xxApi> api) : api(std::move(api))
{ }

ftd2xxRaw::~ftd2xxRaw()
{
    closeDevice();
}

void ftd2xxRaw::sleepMicroseconds(quint32 microseconds)
{
    api->sleepMicroseconds(microseconds);
}

bool ftd2xxRaw::getDeviceList()
{
    deviceInfoList.clear();
    deviceCount = 0;

    uint32_t counted = 0;
    lastStatus = api->FT_CreateDeviceInfoList(&counted);
    // The library fills as many records as it counted, so a count we cannot
    // hold is treated as a failure rather than allocated.
    if (lastStatus != FT_OK || counted == 0 || counted > uint32_t(maxDevices))
        return false;

    std::vector<FT_DEVICE_LIST_INFO_NODE> records(counted);
    std::memset(records.data(), 0, records.size() * sizeof(FT_DEVICE_LIST_INFO_NODE));
    uint32_t listed = counted;
    lastStatus = api->FT_GetDeviceInfoList(records.data(), &listed);
    if (lastStatus != FT_OK)
        return false;

    records.resize(std::min(listed, counted));
    deviceInfoList = std::move(records);
    deviceCount = qint32(deviceInfoList.size());
    if (traceEnabled) {
        for (const FT_DEVICE_LIST_INFO_NODE &node : deviceInfoList)
            qDebug().noquote() << QString::asprintf(
                "Flags:%08x Type:%08x ID:%08x LocId:%08x Serial:%s Description:%s", node.Flags,
                node.Type, node.ID, node.LocId,
                QByteArray(node.SerialNumber, int(strnlen(node.SerialNumber, 16))).constData(),
                QByteArray(node.Description, int(strnlen(node.Description, 64))).constData());
    }
    return deviceCount != 0;
}

QByteArray ftd2xxRaw::listedDescription(int index) const
{
    if (index < 0 || index >= deviceCount)
        return {};
    const char *text = deviceInfoList[size_t(index)].Description;
    return QByteArray(text, int(strnlen(text, sizeof(FT_DEVICE_LIST_INFO_NODE::Description))));
}

quint32 ftd2xxRaw::listedId(int index) const
{
    return index >= 0 && index < deviceCount ? deviceInfoList[size_t(index)].ID : 0;
}

D2xxApi::OpenRefusal ftd2xxRaw::openRefusal(int index, const QByteArray &description)
{
    FT_HANDLE probe = nullptr;
    if (api->FT_Open(index, &probe) == FT_OK) {
        api->FT_Close(probe);
        return D2xxApi::OpenRefusal::NotKnown;
    }
    return api->openRefusal(description);
}

void ftd2xxRaw::closeDevice()
{
    if (isOpen && handle)
        api->FT_Close(handle);
    handle = nullptr;
    isOpen = false;
}

bool ftd2xxRaw::openDevice(int index)
{
    closeDevice();
    FT_HANDLE opened = nullptr;
    lastStatus = api->FT_Open(index, &opened);
    if (lastStatus != FT_OK)
        return false;
    handle = opened;
    isOpen = true;

    // Resting state of the pins: CBUS1 high, CBUS0 low.
    lastStatus = api->FT_SetBitMode(handle, 0x22, FT_BITMODE_CBUS_BITBANG);
    sleepMicroseconds(pinSettleUs);
    lastStatus = api->FT_SetBitMode(handle, 0x32, FT_BITMODE_CBUS_BITBANG);
    sleepMicroseconds(pinSettleUs);
    return true;
}

bool ftd2xxRaw::configureLine()
{
    if ((lastStatus = api->FT_SetBaudRate(handle, 9600)) != FT_OK)
        return false;
    if ((lastStatus = api->FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_2,
                                                     FT_PARITY_NONE))
        != FT_OK)
        return false;
    if ((lastStatus = api->FT_SetChars(handle, 0x00, 1, 0xFF, 0)) != FT_OK)
        return false;
    if ((lastStatus = api->FT_SetFlowControl(handle, FT_FLOW_NONE, 0x11, 0x13)) != FT_OK)
        return false;
    if ((lastStatus = api->FT_SetTimeouts(handle, 20, 20)) != FT_OK)
        return false;
    lastStatus = api->FT_SetRts(handle);
    sleepMicroseconds(rtsPulseUs);
    if (lastStatus != FT_OK)
        return false;
    if ((lastStatus = api->FT_ClrRts(handle)) != FT_OK)
        return false;
    if ((lastStatus = api->FT_SetChars(handle, 0x00, 1, 0x00, 0)) != FT_OK)
        return false;
    return true;
}

void ftd2xxRaw::selectLineCards()
{
    // From any state to CBUS1 low and CBUS0 low, by way of CBUS1 high.
    for (const quint8 mask : {quint8(0x22), quint8(0x10), quint8(0x30)}) {
        lastStatus = api->FT_SetBitMode(handle, mask, FT_BITMODE_CBUS_BITBANG);
        sleepMicroseconds(pinSettleUs);
    }
    lastStatus = api->FT_SetRts(handle);
    sleepMicroseconds(rtsPulseUs);
    if (lastStatus == FT_OK)
        lastStatus = api->FT_ClrRts(handle);
}

bool ftd2xxRaw::sendBreak()
{
    bool ok = (lastStatus = api->FT_SetRts(handle)) == FT_OK;
    if (ok)
        ok = (lastStatus = api->FT_SetBreakOn(handle)) == FT_OK;
    sleepMicroseconds(rtsPulseUs);
    if (ok)
        ok = (lastStatus = api->FT_ClrRts(handle)) == FT_OK;
    if (ok)
        ok = (lastStatus = api->FT_SetRts(handle)) == FT_OK;
    if (ok)
        ok = (lastStatus = api->FT_SetBreakOff(handle)) == FT_OK;
    return ok;
}

bool ftd2xxRaw::write(QByteArray &txBytes)
{
    if (txBytes.isEmpty())
        return false;

    QByteArray transmission;
    transmission.reserve(txBytes.size() + 1);
    transmission.append(char(syncByte));
    transmission.append(txBytes);
    const quint32 n = quint32(transmission.size());

    sendBreak();
    uint32_t written = 0;
    lastStatus = api->FT_Write(handle, transmission.data(), n, &written);
    // n characters of 11 bit times at 9600 baud, rounded up, plus 2 ms.
    const quint32 wireMs = quint32((quint64(n) * 11000 + 9599) / 9600) + 2;
    sleepMicroseconds(wireMs * 1000);
    lastStatus = api->FT_ClrRts(handle);
    // The break's 0x00 and every transmitted byte come back as echo.
    clearRxWithWait(n + 1);

    txBytes.remove(0, int(n - 1));
    return true;
}

bool ftd2xxRaw::queryRxQueue(quint32 &count)
{
    uint32_t rx = 0, tx = 0, event = 0;
    lastStatus = api->FT_GetStatus(handle, &rx, &tx, &event);
    count = lastStatus == FT_OK ? rx : 0;
    return lastStatus == FT_OK;
}

bool ftd2xxRaw::clearRxWithWait(quint32 expected)
{
    qint64 remainingMs = std::max<qint64>(qint64(expected) * 5 / 4, 20);
    quint32 queued = 0;
    if (!queryRxQueue(queued))
        return false;
    while (queued < expected && remainingMs > 0) {
        sleepMicroseconds(echoPollMs * 1000);
        remainingMs -= echoPollMs;
        if (!queryRxQueue(queued))
            return false;
    }

    quint32 remaining = expected;
    while (queued > 0 && remaining > 0) {
        const quint32 ask = std::min({remaining, quint32(sizeof rxScratch), queued});
        uint32_t got = 0;
        lastStatus = api->FT_Read(handle, rxScratch, ask, &got);
        if (lastStatus != FT_OK)
            return false;
        if (got == 0)
            break; // the driver had less than it reported; nothing more to discard
        remaining -= std::min(got, remaining);
        if (!queryRxQueue(queued))
            return false;
    }
    return true;
}

bool ftd2xxRaw::read(QByteArray &out)
{
    quint32 queued = 0;
    if (!queryRxQueue(queued))
        return false;
    int taken = 0;
    // The cap only matters for a device that never stops reporting bytes.
    while (queued > 0 && taken < maxReadPerCall) {
        const quint32 ask = std::min(queued, quint32(sizeof rxScratch));
        uint32_t got = 0;
        lastStatus = api->FT_Read(handle, rxScratch, ask, &got);
        if (lastStatus != FT_OK)
            return false;
        got = std::min(got, ask);
        if (got == 0)
            break;
        out.append(rxScratch, int(got));
        taken += int(got);
        if (!queryRxQueue(queued))
            return false;
    }
    return true;
}

int ftd2xxRaw::rxQueueCount()
{
    if (!isOpen)
        return 0;
    quint32 queued = 0;
    if (!queryRxQueue(queued))
        return -1;
    return int(std::min<quint32>(queued, quint32(INT_MAX)));
}

FT_STATUS ftd2xxRaw::clearRxQueue()
{
    // The libraries disagree on which of the chip's two reset values drops
    // the received bytes (the chip maker's sends 1 for FT_PURGE_RX, libftdi1
    // 1.5 sends 2), so both buffers are purged; the transmit side holds
    // nothing at the moments this is called.
    return api->FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX);
}
