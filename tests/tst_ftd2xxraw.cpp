#include "controller/CommandPacket.h"
#include "controller/FrameByteQueue.h"
#include "controller/Opcodes.h"
#include "controller/RawPacketGetter.h"
#include "emulator/EmulatedD2xx.h"
#include "usb/ftd2xxRaw.h"

#include <QtTest>

namespace {

// The emulated chip with one library call made to fail, or the device
// list cut short, as a misbehaving driver might.
class FaultyD2xx : public EmulatedD2xx
{
public:
    QByteArray failing;
    uint32_t listShortBy = 0;

    FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, uint32_t *numDevs) override
    {
        const FT_STATUS status = EmulatedD2xx::FT_GetDeviceInfoList(dest, numDevs);
        *numDevs -= std::min(*numDevs, listShortBy);
        return status;
    }
    FT_STATUS FT_SetFlowControl(FT_HANDLE h, uint16_t mode, uint8_t xon, uint8_t xoff) override
    {
        const FT_STATUS status = EmulatedD2xx::FT_SetFlowControl(h, mode, xon, xoff);
        return failing == "FT_SetFlowControl" ? FT_IO_ERROR : status;
    }
    FT_STATUS FT_SetBreakOn(FT_HANDLE h) override
    {
        const FT_STATUS status = EmulatedD2xx::FT_SetBreakOn(h);
        return failing == "FT_SetBreakOn" ? FT_IO_ERROR : status;
    }
    OpenRefusal refusal = OpenRefusal::NotKnown;
    mutable QByteArray askedAbout;
    OpenRefusal openRefusal(const QByteArray &description) const override
    {
        askedAbout = description;
        return refusal;
    }
};

QByteArrayList names(const QList<EmulatorCall> &calls, bool withPolls = false)
{
    QByteArrayList out;
    for (const EmulatorCall &call : calls) {
        if (!withPolls && (call.function == "FT_GetStatus" || call.function == "FT_Read"))
            continue;
        out.append(call.function == "sleep" ? "sleep " + QByteArray::number(call.args.value(0))
                                            : call.function);
    }
    return out;
}

int indexOf(const QList<EmulatorCall> &calls, const QByteArray &function, int from = 0)
{
    for (int i = from; i < calls.size(); ++i)
        if (calls.at(i).function == function)
            return i;
    return -1;
}

} // namespace

class tst_ftd2xxRaw : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void enumeration_data();
    void enumeration();
    void shorterDeviceListWins();
    void openSetsRestingPins();
    void openFails();
    void reopenClosesFirst();
    void configureLine();
    void configureLineStopsAtFirstFailure();
    void selectLineCards();

    void emptyWriteMakesNoCall();
    void writeDiscipline_data();
    void writeDiscipline();
    void echoThatNeverArrives_data();
    void echoThatNeverArrives();
    void failedBreakStillWrites();
    void replyStaysQueuedBehindEcho();
    void rtsSpans();

    void queueCountClosedAndFailed();
    void purgeDropsBothBuffers();
    void closedAtTheEnd_data();
    void closedAtTheEnd();
    void refusalProbe();

private:
    void openReady();

    std::shared_ptr<FaultyD2xx> emu;
    std::unique_ptr<ftd2xxRaw> ftdi;
};

void tst_ftd2xxRaw::init()
{
    emu = std::make_shared<FaultyD2xx>();
    ftdi = std::make_unique<ftd2xxRaw>(emu);
}

void tst_ftd2xxRaw::openReady()
{
    QVERIFY(ftdi->getDeviceList());
    QVERIFY(ftdi->openDevice(0));
    QVERIFY(ftdi->configureLine());
    ftdi->selectLineCards();
    emu->clearCalls();
}

void tst_ftd2xxRaw::enumeration_data()
{
    QTest::addColumn<QList<QByteArray>>("descriptions");
    QTest::addColumn<bool>("listed");

    QTest::newRow("none") << QList<QByteArray>{} << false;
    QTest::newRow("VX420") << QList<QByteArray>{"VX420"} << true;
    QTest::newRow("other, VX420") << QList<QByteArray>{"FT232R USB UART", "VX420"} << true;
    QTest::newRow("63-character name") << QList<QByteArray>{QByteArray(63, 'x')} << true;
}

void tst_ftd2xxRaw::enumeration()
{
    QFETCH(QList<QByteArray>, descriptions);
    QFETCH(bool, listed);

    QList<EmulatedDevice> devices;
    for (const QByteArray &d : descriptions) {
        EmulatedDevice device;
        device.description = d;
        devices.append(device);
    }
    emu->setDevices(devices);

    QCOMPARE(ftdi->getDeviceList(), listed);
    QCOMPARE(ftdi->listedDevices(), descriptions.size());
    for (int i = 0; i < descriptions.size(); ++i)
        QCOMPARE(ftdi->listedDescription(i), descriptions.at(i));
    QCOMPARE(ftdi->listedDescription(descriptions.size()), QByteArray());
    QCOMPARE(ftdi->listedDescription(-1), QByteArray());
}

void tst_ftd2xxRaw::shorterDeviceListWins()
{
    emu->setDevices({EmulatedDevice(), EmulatedDevice(), EmulatedDevice()});
    emu->listShortBy = 1;
    QVERIFY(ftdi->getDeviceList());
    QCOMPARE(ftdi->listedDevices(), 2);

    emu->listShortBy = 3;
    QVERIFY(!ftdi->getDeviceList());
    QCOMPARE(ftdi->listedDevices(), 0);
}

void tst_ftd2xxRaw::openSetsRestingPins()
{
    QVERIFY(ftdi->getDeviceList());
    emu->clearCalls();
    QVERIFY(ftdi->openDevice(0));
    QVERIFY(ftdi->deviceOpen());

    const QList<EmulatorCall> calls = emu->calls();
    QCOMPARE(names(calls), (QByteArrayList{"FT_Open", "FT_SetBitMode", "sleep 10000",
                                           "FT_SetBitMode", "sleep 10000"}));
    QCOMPARE(calls.at(1).args, (QList<quint32>{0x22, 0x20}));
    QCOMPARE(calls.at(3).args, (QList<quint32>{0x32, 0x20}));
    const EmulatedLineState line = emu->lineState();
    QCOMPARE(int(line.cbusOutputs), 0x3);
    QCOMPARE(int(line.cbusLevels), 0x2); // CBUS1 high, CBUS0 low
    QVERIFY(!line.lineCardPath);
}

void tst_ftd2xxRaw::openFails()
{
    QVERIFY(ftdi->getDeviceList());
    emu->setOpenFails(true);
    QVERIFY(!ftdi->openDevice(0));
    QVERIFY(!ftdi->deviceOpen());
    QVERIFY(ftdi->status() != FT_OK);
    QCOMPARE(ftdi->rxQueueCount(), 0);
}

void tst_ftd2xxRaw::reopenClosesFirst()
{
    QVERIFY(ftdi->getDeviceList());
    QVERIFY(ftdi->openDevice(0));
    emu->clearCalls();
    QVERIFY(ftdi->openDevice(0));
    const QByteArrayList called = names(emu->calls());
    QCOMPARE(called.mid(0, 2), (QByteArrayList{"FT_Close", "FT_Open"}));
    QVERIFY(ftdi->deviceOpen());
}

void tst_ftd2xxRaw::configureLine()
{
    QVERIFY(ftdi->getDeviceList());
    QVERIFY(ftdi->openDevice(0));
    emu->clearCalls();
    QVERIFY(ftdi->configureLine());

    const QList<EmulatorCall> calls = emu->calls();
    QCOMPARE(names(calls), (QByteArrayList{"FT_SetBaudRate", "FT_SetDataCharacteristics",
                                           "FT_SetChars", "FT_SetFlowControl", "FT_SetTimeouts",
                                           "FT_SetRts", "sleep 2100", "FT_ClrRts", "FT_SetChars"}));
    QCOMPARE(calls.at(0).args, (QList<quint32>{9600}));
    QCOMPARE(calls.at(1).args, (QList<quint32>{8, 2, 0}));
    QCOMPARE(calls.at(2).args, (QList<quint32>{0x00, 1, 0xFF, 0}));
    QCOMPARE(calls.at(3).args, (QList<quint32>{0, 0x11, 0x13}));
    QCOMPARE(calls.at(4).args, (QList<quint32>{20, 20}));
    QCOMPARE(calls.at(8).args, (QList<quint32>{0x00, 1, 0x00, 0}));
    QVERIFY(!emu->lineState().rts);
}

void tst_ftd2xxRaw::configureLineStopsAtFirstFailure()
{
    QVERIFY(ftdi->getDeviceList());
    QVERIFY(ftdi->openDevice(0));
    emu->failing = "FT_SetFlowControl";
    emu->clearCalls();
    QVERIFY(!ftdi->configureLine());
    QCOMPARE(names(emu->calls()).last(), QByteArray("FT_SetFlowControl"));
    QCOMPARE(ftdi->status(), FT_STATUS(FT_IO_ERROR));
}

void tst_ftd2xxRaw::selectLineCards()
{
    QVERIFY(ftdi->getDeviceList());
    QVERIFY(ftdi->openDevice(0));
    QVERIFY(ftdi->configureLine());
    emu->clearCalls();
    ftdi->selectLineCards();

    const QList<EmulatorCall> calls = emu->calls();
    QCOMPARE(names(calls), (QByteArrayList{"FT_SetBitMode", "sleep 10000", "FT_SetBitMode",
                                           "sleep 10000", "FT_SetBitMode", "sleep 10000",
                                           "FT_SetRts", "sleep 2100", "FT_ClrRts"}));
    QCOMPARE(calls.at(0).args, (QList<quint32>{0x22, 0x20}));
    QCOMPARE(calls.at(2).args, (QList<quint32>{0x10, 0x20}));
    QCOMPARE(calls.at(4).args, (QList<quint32>{0x30, 0x20}));
    const EmulatedLineState line = emu->lineState();
    QVERIFY(line.lineCardPath);
    QCOMPARE(int(line.cbusLevels & 0x3), 0);
    QVERIFY(!line.rts);
}

void tst_ftd2xxRaw::emptyWriteMakesNoCall()
{
    openReady();
    QByteArray empty;
    QVERIFY(!ftdi->write(empty));
    QVERIFY(emu->calls().isEmpty());
}

void tst_ftd2xxRaw::writeDiscipline_data()
{
    QTest::addColumn<int>("dataBytes");
    QTest::addColumn<int>("wireSleepUs");
    QTest::addColumn<int>("echoBytes");

    QTest::newRow("10 bytes: 15 ms, echo 12") << 10 << 15000 << 12;
    QTest::newRow("40 bytes: 49 ms, echo 42") << 40 << 49000 << 42;
    QTest::newRow("1 byte: 5 ms, echo 3") << 1 << 5000 << 3;
}

void tst_ftd2xxRaw::writeDiscipline()
{
    QFETCH(int, dataBytes);
    QFETCH(int, wireSleepUs);
    QFETCH(int, echoBytes);

    openReady();
    QByteArray tx(dataBytes, '\x11');
    QVERIFY(ftdi->write(tx));
    QVERIFY(tx.isEmpty());

    const QList<EmulatorCall> calls = emu->calls();
    const QByteArrayList called = names(calls);
    QCOMPARE(called.mid(0, 9),
             (QByteArrayList{"FT_SetRts", "FT_SetBreakOn", "sleep 2100", "FT_ClrRts", "FT_SetRts",
                             "FT_SetBreakOff", "FT_Write",
                             "sleep " + QByteArray::number(wireSleepUs), "FT_ClrRts"}));
    const EmulatorCall &write = calls.at(indexOf(calls, "FT_Write"));
    QCOMPARE(write.bytes, QByteArray(1, '\x55') + QByteArray(dataBytes, '\x11'));

    // The echo is read and discarded, nothing more.
    int discarded = 0;
    for (const EmulatorCall &call : calls)
        if (call.function == "FT_Read")
            discarded += call.bytes.size();
    QCOMPARE(discarded, echoBytes);
    QCOMPARE(ftdi->rxQueueCount(), 0);
    QVERIFY(!emu->lineState().rts);
}

void tst_ftd2xxRaw::echoThatNeverArrives_data()
{
    QTest::addColumn<int>("dataBytes");
    QTest::addColumn<int>("polls");

    QTest::newRow("10 bytes: 20 ms budget") << 10 << 10;
    QTest::newRow("40 bytes: 52 ms budget") << 40 << 26;
}

void tst_ftd2xxRaw::echoThatNeverArrives()
{
    QFETCH(int, dataBytes);
    QFETCH(int, polls);

    openReady();
    emu->setEchoEnabled(false);
    QByteArray tx(dataBytes, '\x11');
    QVERIFY(ftdi->write(tx));

    const QList<EmulatorCall> calls = emu->calls();
    const int afterWire = indexOf(calls, "FT_ClrRts", indexOf(calls, "FT_Write"));
    int pollSleeps = 0;
    for (int i = afterWire; i < calls.size(); ++i) {
        QVERIFY(calls.at(i).function != "FT_Read");
        if (calls.at(i).function == "sleep") {
            QCOMPARE(calls.at(i).args.value(0), quint32(2000));
            ++pollSleeps;
        }
    }
    QCOMPARE(pollSleeps, polls);
}

void tst_ftd2xxRaw::failedBreakStillWrites()
{
    openReady();
    emu->failing = "FT_SetBreakOn";
    QByteArray tx(4, '\x11');
    QVERIFY(ftdi->write(tx));
    const QByteArrayList called = names(emu->calls());
    QCOMPARE(called.mid(0, 4),
             (QByteArrayList{"FT_SetRts", "FT_SetBreakOn", "sleep 2100", "FT_Write"}));
}

void tst_ftd2xxRaw::replyStaysQueuedBehindEcho()
{
    emu->addCard();
    openReady();
    QByteArray tx = CommandPacket(OPCODE_FRAME_INTERVAL, 1250).build();
    QVERIFY(ftdi->write(tx));

    // The echo is gone; what is left is the controller's answer.
    QVERIFY(ftdi->rxQueueCount() > 0);
    QByteArray received;
    QVERIFY(ftdi->read(received));
    QCOMPARE(ftdi->rxQueueCount(), 0);

    FrameByteQueue queue;
    RawPacketGetter getter;
    QVector<RawPacket> packets;
    queue.append(received);
    while (queue.hasFrame()) {
        QVERIFY(getter.addFrame(queue.takeFrame()));
        packets += getter.getAllCompletePackets();
    }
    QCOMPARE(queue.size(), 0); // nothing after the last frame
    QCOMPARE(packets.size(), 1);
    QCOMPARE(packets.at(0).local, QByteArray::fromHex("03 E6 04"));
}

void tst_ftd2xxRaw::rtsSpans()
{
    openReady();
    QByteArray tx(10, '\x11');
    QVERIFY(ftdi->write(tx));

    // Asserted from the break to the end of the wire time: 2.1 ms + 15 ms of
    // pauses, and nothing else that waits.
    const QList<EmulatorCall> calls = emu->calls();
    const int raised = indexOf(calls, "FT_SetRts");
    const int lowered = indexOf(calls, "FT_ClrRts", indexOf(calls, "FT_Write"));
    quint32 paused = 0;
    for (int i = raised; i < lowered; ++i)
        if (calls.at(i).function == "sleep")
            paused += calls.at(i).args.value(0);
    QCOMPARE(paused, quint32(17100));
    QVERIFY(calls.at(lowered).timeUs - calls.at(raised).timeUs >= 17100);
    QVERIFY(!emu->lineState().rts);
}

void tst_ftd2xxRaw::queueCountClosedAndFailed()
{
    QCOMPARE(ftdi->rxQueueCount(), 0);
    QVERIFY(emu->calls().isEmpty());

    QVERIFY(ftdi->getDeviceList());
    QVERIFY(ftdi->openDevice(0));
    QCOMPARE(ftdi->rxQueueCount(), 0);
    emu->pullCable();
    QCOMPARE(ftdi->rxQueueCount(), -1);
    QByteArray out;
    QVERIFY(!ftdi->read(out));
}

// Whichever reset value a library sends for which buffer, received bytes go.
void tst_ftd2xxRaw::purgeDropsBothBuffers()
{
    openReady();
    QCOMPARE(ftdi->clearRxQueue(), FT_STATUS(FT_OK));
    const QList<EmulatorCall> calls = emu->calls();
    QCOMPARE(names(calls), QByteArrayList{"FT_Purge"});
    QCOMPARE(calls.at(0).args, QList<quint32>{FT_PURGE_RX | FT_PURGE_TX});
}

// A library may run threads for an open device until it is closed.
void tst_ftd2xxRaw::closedAtTheEnd_data()
{
    QTest::addColumn<bool>("pulled");
    QTest::newRow("device there") << false;
    QTest::newRow("device gone") << true;
}

void tst_ftd2xxRaw::closedAtTheEnd()
{
    QFETCH(bool, pulled);
    openReady();
    if (pulled)
        emu->pullCable();
    ftdi.reset();
    QCOMPARE(names(emu->calls()), QByteArrayList{"FT_Close"});

    // Closed once only, and nothing for a device never opened.
    ftdi = std::make_unique<ftd2xxRaw>(emu);
    emu->clearCalls();
    ftdi->closeDevice();
    ftdi.reset();
    QVERIFY(emu->calls().isEmpty());
}

void tst_ftd2xxRaw::refusalProbe()
{
    QVERIFY(ftdi->getDeviceList());
    emu->refusal = D2xxApi::OpenRefusal::NoPermission;
    emu->setOpenFails(true);
    QCOMPARE(ftdi->openRefusal(0, "VX420"), D2xxApi::OpenRefusal::NoPermission);
    QCOMPARE(emu->askedAbout, QByteArray("VX420"));
    QVERIFY(!ftdi->deviceOpen());

    // One that opens is closed again untouched: nothing to tell.
    emu->setOpenFails(false);
    emu->clearCalls();
    QCOMPARE(ftdi->openRefusal(0, "VX420"), D2xxApi::OpenRefusal::NotKnown);
    QCOMPARE(names(emu->calls()), (QByteArrayList{"FT_Open", "FT_Close"}));
    QVERIFY(!ftdi->deviceOpen());
}

QTEST_GUILESS_MAIN(tst_ftd2xxRaw)
#include "tst_ftd2xxraw.moc"
