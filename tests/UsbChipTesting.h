#pragma once

// What the tests that drive the emulated FT232R through a real USB library
// share: checks of what the chip was told, and the means to tell it.

#include "app/LineCardUpdaterWindow.h"
#include "bootloader/FirmwareImage.h"
#include "emulator/EmulatedFt232r.h"
#include "usb/D2xxApi.h"

#include <QList>
#include <QString>
#include <QtTest>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace UsbChipTesting {

// Root reads any file: while it lasts, this thread respects file modes.
class WithoutFileOverride
{
public:
    WithoutFileOverride()
    {
        header.version = _LINUX_CAPABILITY_VERSION_3;
        header.pid = 0;
        if (syscall(SYS_capget, &header, saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        active = syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutFileOverride()
    {
        if (active)
            syscall(SYS_capset, &header, saved);
    }
    WithoutFileOverride(const WithoutFileOverride &) = delete;
    WithoutFileOverride &operator=(const WithoutFileOverride &) = delete;

private:
    __user_cap_header_struct header{};
    __user_cap_data_struct saved[2]{};
    bool active = false;
};

// Rows of one line setting got wrong, and the card's LED after the LED red
// command: the controller listens only with every setting right.
inline void addLineSettingRows()
{
    QTest::addColumn<QString>("wrong");
    QTest::addColumn<int>("led");
    QTest::newRow("nothing wrong: the LED goes red") << QString() << 0x21;
    QTest::newRow("19200 baud") << "baud" << 0;
    QTest::newRow("1 stop bit") << "stop" << 0;
    QTest::newRow("CBUS0 left high (mask 31)") << "mask" << 0;
    QTest::newRow("no break") << "break" << 0;
}

// Opens the first listed chip, sets it up with `wrong` got wrong, sends the
// LED red command and closes it again; the caller checks the LED.
inline void sendLedRed(D2xxApi &api, const QString &wrong)
{
    uint32_t n = 0;
    QCOMPARE(api.FT_CreateDeviceInfoList(&n), FT_STATUS(FT_OK));
    FT_HANDLE h = nullptr;
    QCOMPARE(api.FT_Open(0, &h), FT_STATUS(FT_OK));
    QCOMPARE(api.FT_SetBitMode(h, 0x22, FT_BITMODE_CBUS_BITBANG), FT_STATUS(FT_OK));
    QCOMPARE(api.FT_SetBitMode(h, wrong == "mask" ? 0x31 : 0x30, FT_BITMODE_CBUS_BITBANG),
             FT_STATUS(FT_OK));
    QCOMPARE(api.FT_SetBaudRate(h, wrong == "baud" ? 19200 : 9600), FT_STATUS(FT_OK));
    QCOMPARE(api.FT_SetDataCharacteristics(h, FT_BITS_8, wrong == "stop" ? 0 : FT_STOP_BITS_2,
                                           FT_PARITY_NONE),
             FT_STATUS(FT_OK));
    QCOMPARE(api.FT_SetChars(h, 0x00, 1, 0x00, 0), FT_STATUS(FT_OK));
    if (wrong != "break") {
        QCOMPARE(api.FT_SetBreakOn(h), FT_STATUS(FT_OK));
        QTest::qWait(3);
        QCOMPARE(api.FT_SetBreakOff(h), FT_STATUS(FT_OK));
    }
    // The sync byte, then the LED red command's packet: body 21 FF FF, its
    // code byte, the marker and its two check bytes.
    QByteArray led21 = QByteArray::fromHex("55"
                                           "21FFFF04"
                                           "00"
                                           "2DAD");
    uint32_t written = 0;
    QCOMPARE(api.FT_Write(h, led21.data(), uint32_t(led21.size()), &written), FT_STATUS(FT_OK));
    QCOMPARE(int(written), led21.size());
    QTest::qWait(300);
    QCOMPARE(api.FT_Close(h), FT_STATUS(FT_OK));
}

using Request = EmulatedFt232r::ControlRequest;

inline int count(const QList<Request> &requests, quint8 request)
{
    int n = 0;
    for (const Request &r : requests)
        n += r.request == request;
    return n;
}

// Every break from index `from` on: RTS raised before it, dropped and
// raised again within it, and dropped once the transmission after it is
// out. Judge only a record taken after the last transmission ended (RTS
// dropped), or its last break lacks its final drop. Empty when all hold,
// else what broke the rule; `breaks` gets their number.
inline QString rtsAroundBreaks(const QList<Request> &requests, int from, int &breaks)
{
    using Chip = EmulatedFt232r;
    breaks = 0;
    for (int i = from; i < requests.size(); ++i) {
        const Request &r = requests.at(i);
        if (r.request != Chip::requestData || !(r.value & 0x4000))
            continue;
        ++breaks;
        QList<quint16> rts;
        for (int j = i - 1; j >= 0 && requests.at(j).request != Chip::requestData; --j)
            if (requests.at(j).request == Chip::requestModemControl) {
                rts.prepend(requests.at(j).value);
                break;
            }
        int off = i + 1;
        while (off < requests.size() && requests.at(off).request != Chip::requestData)
            ++off;
        if (off == requests.size())
            return QStringLiteral("break %1 (request %2) never ends").arg(breaks).arg(i);
        for (int j = i + 1; j < off; ++j)
            if (requests.at(j).request == Chip::requestModemControl)
                rts.append(requests.at(j).value);
        for (int j = off + 1; j < requests.size(); ++j)
            if (requests.at(j).request == Chip::requestModemControl) {
                rts.append(requests.at(j).value);
                break;
            }
        if (rts != QList<quint16>{0x0202, 0x0200, 0x0202, 0x0200}) {
            QStringList values;
            for (quint16 v : rts)
                values.append(QString::number(v, 16));
            return QStringLiteral("break %1 (request %2 of %3): RTS %4")
                .arg(breaks)
                .arg(i)
                .arg(requests.size())
                .arg(values.join(QLatin1Char(' ')));
        }
    }
    return {};
}

// The line as connecting leaves it: 9600 baud, 8 data bits, no parity,
// 2 stop bits, and the controller switched to its line cards.
inline void checkConnectedLine(const EmulatedLineState &line)
{
    QCOMPARE(line.baudRate, 9600u);
    QCOMPARE(int(line.wordLength), 8);
    QCOMPARE(int(line.stopBits), int(FT_STOP_BITS_2));
    QCOMPARE(int(line.parity), 0);
    QVERIFY(line.lineCardPath);
}

// A whole update that has ended: "Finished." over the exact image, the
// information segment as it was and locked, the application running and
// the green LED; and what the chip was told, from the connection on: 9600
// baud whenever it was set (the divisor corrected for CBUS bit-bang mode),
// 8N2, the event character 0x00, the resting pins then the line-card path,
// and RTS around every break. Judged once RTS has dropped after the last
// transmission: the card takes the LED command while it is on the wire.
inline void checkInstalled(EmulatedFt232r &chip, const QStringList &summary,
                           const QByteArray &segmentBefore, int requestsAtConnect,
                           const QString &imagePath)
{
    using Chip = EmulatedFt232r;
    QCOMPARE(LineCardUpdaterWindow::verdictOf(summary), QString("Finished."));
    FirmwareImage image;
    QVERIFY(image.load(imagePath));
    QCOMPARE(chip.card(0)->bootloader().flash(image.loadAddress(), image.payload().size()),
             image.payload());
    QCOMPARE(chip.card(0)->bootloader().infoSegment(), segmentBefore);
    QVERIFY(chip.card(0)->bootloader().infoSegmentLocked());
    QVERIFY(chip.card(0)->bootloader().applicationRunning());
    QTRY_COMPARE(chip.card(0)->ledState(), 0x22);
    QTRY_VERIFY(!chip.lineState().rts);

    const QList<Chip::ControlRequest> requests = chip.controlRequests();
    for (const Chip::ControlRequest &r : requests) {
        if (r.request == Chip::requestBaudRate)
            QCOMPARE(Chip::baudRateOf(r.value, r.index), 9600.0);
        if (r.request == Chip::requestData)
            QCOMPARE(r.value & 0x3FFF, 0x1008);
    }
    QVERIFY(count(requests, Chip::requestBaudRate) >= 1);
    bool eventChar = false;
    QList<quint16> masks;
    for (const Chip::ControlRequest &r : requests) {
        eventChar |= r.request == Chip::requestEventChar && r.value == 0x0100;
        if (r.request == Chip::requestBitMode)
            masks.append(r.value);
    }
    QVERIFY(eventChar);
    QCOMPARE(masks, (QList<quint16>{0x2022, 0x2032, 0x2022, 0x2010, 0x2030}));

    int breaks = 0;
    const QString broken = rtsAroundBreaks(requests, requestsAtConnect, breaks);
    QVERIFY2(broken.isEmpty(), qPrintable(broken));
    QVERIFY(breaks > 130); // one per transmission of the update
}

} // namespace UsbChipTesting
