#include "controller/CommandPacket.h"
#include "controller/ControllerReplies.h"
#include "controller/FrameByteQueue.h"
#include "controller/Opcodes.h"
#include "controller/RawPacketGetter.h"
#include "emulator/EmulatedD2xx.h"
#include "usb/CommsWorker.h"
#include "usb/WorkerThread.h"

#include <QElapsedTimer>
#include <QtTest>

// The worker on its own I/O thread, driven the way the controller manager
// drives it: queued slot calls, direct calls for the plain operations.
class tst_CommsWorker : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void nothingMovesBeforeLineCardPath();
    void frameIntervalReply_data();
    void frameIntervalReply();
    void twoWritesMakeOneTransmission();
    void pauseKeepsQueuedWrites();
    void failedStatusQueryReportsIOError();
    void lostLinkClosesTheDevice();
    void refusedChipSaysWhy_data();
    void refusedChipSaysWhy();
    void selectDevicePicksFirstMatch();
    void unknownDeviceOpensNothing();
    void requestsDuringSwitchRunAfterIt();

private:
    void start(EmulatedD2xx::Timing timing);
    void selectLineCards();
    void invoke(const char *slot, QGenericArgument arg = QGenericArgument());
    QVector<RawPacket> packetsFrom(const QByteArray &received);
    int writes() const;

    std::shared_ptr<EmulatedD2xx> emu;
    WorkerThread *thread = nullptr;
    CommsWorker *worker = nullptr;
};

void tst_CommsWorker::init()
{
    start(EmulatedD2xx::Timing::Instant);
}

void tst_CommsWorker::start(EmulatedD2xx::Timing timing)
{
    cleanup();
    emu = std::make_shared<EmulatedD2xx>(timing);
    emu->addCard();
    thread = new WorkerThread;
    worker = new CommsWorker(emu);
    thread->start();
    worker->moveToThread(thread);
}

void tst_CommsWorker::cleanup()
{
    if (thread) {
        thread->quit();
        thread->wait();
    }
    delete worker;
    delete thread;
    worker = nullptr;
    thread = nullptr;
}

void tst_CommsWorker::invoke(const char *slot, QGenericArgument arg)
{
    // Blocking: returns once the I/O thread has run the slot.
    QVERIFY(QMetaObject::invokeMethod(worker, slot, Qt::BlockingQueuedConnection, arg));
}

void tst_CommsWorker::selectLineCards()
{
    QCOMPARE(worker->debuggableGetDeviceList(), QStringList{"VX420"});
    QVERIFY(worker->selectDevice("VX420"));
    QSignalSpy selected(worker, &CommsWorker::notifyLineCardsSelected);
    invoke("onReqSelectLineCards");
    QCOMPARE(selected.count(), 1);
    QCOMPARE(selected.at(0).at(0).toBool(), true);
    emu->clearCalls();
}

int tst_CommsWorker::writes() const
{
    int count = 0;
    for (const EmulatorCall &call : emu->calls())
        count += call.function == "FT_Write";
    return count;
}

QVector<RawPacket> tst_CommsWorker::packetsFrom(const QByteArray &received)
{
    FrameByteQueue queue;
    RawPacketGetter getter;
    QVector<RawPacket> packets;
    queue.append(received);
    while (queue.hasFrame()) {
        if (getter.addFrame(queue.takeFrame()))
            packets += getter.getAllCompletePackets();
    }
    return packets;
}

void tst_CommsWorker::nothingMovesBeforeLineCardPath()
{
    QVERIFY(worker->debuggableGetDeviceList().contains("VX420"));
    QVERIFY(worker->selectDevice("VX420"));
    invoke("onReqWrite", Q_ARG(QByteArray, CommandPacket(OPCODE_LED_GREEN).build()));
    invoke("serviceComms");
    QCOMPARE(writes(), 0);
    QCOMPARE(emu->card(0)->ledState(), 0);
}

void tst_CommsWorker::frameIntervalReply_data()
{
    QTest::addColumn<bool>("wire");
    QTest::newRow("instant") << false;
    QTest::newRow("wire") << true;
}

void tst_CommsWorker::frameIntervalReply()
{
    QFETCH(bool, wire);
    if (wire)
        start(EmulatedD2xx::Timing::Wire);
    selectLineCards();

    QSignalSpy rxData(worker, &CommsWorker::notifyRxData);
    QSignalSpy txData(worker, &CommsWorker::notifyTxData);
    invoke("onReqWrite", Q_ARG(QByteArray, CommandPacket(OPCODE_FRAME_INTERVAL, 1250).build()));

    // Service passes as the manager's 10 ms tick makes them, until the whole
    // reply has been collected.
    QByteArray received;
    QVector<RawPacket> packets;
    QElapsedTimer clock;
    clock.start();
    while (packets.isEmpty() && clock.elapsed() < 2000) {
        invoke("serviceComms");
        received += worker->takeRxBytes();
        packets = packetsFrom(received);
        QTest::qWait(10);
    }
    QCOMPARE(txData.count(), 1);
    QCOMPARE(txData.at(0).at(0).toBool(), true);
    QVERIFY(rxData.count() >= 1);
    QCOMPARE(packets.size(), 1);
    const FrameIntervalReply reply = FrameIntervalReply::decode(0, packets.at(0).local);
    QVERIFY(!reply.error);
    QCOMPARE(int(reply.value), 1250);
    QCOMPARE(writes(), 1);
}

void tst_CommsWorker::twoWritesMakeOneTransmission()
{
    selectLineCards();
    const QByteArray first = CommandPacket(OPCODE_LED_RED).build();
    const QByteArray second = CommandPacket(OPCODE_LED_GREEN).build();
    invoke("onReqWrite", Q_ARG(QByteArray, first));
    invoke("onReqWrite", Q_ARG(QByteArray, second));
    invoke("serviceComms");

    QByteArrayList written;
    for (const EmulatorCall &call : emu->calls())
        if (call.function == "FT_Write")
            written.append(call.bytes);
    QCOMPARE(written, QByteArrayList{QByteArray(1, '\x55') + first + second});
    QCOMPARE(emu->card(0)->ledState(), int(OPCODE_LED_GREEN));
}

void tst_CommsWorker::pauseKeepsQueuedWrites()
{
    selectLineCards();
    worker->onReqPauseWork();
    invoke("onReqWrite", Q_ARG(QByteArray, CommandPacket(OPCODE_LED_RED).build()));
    invoke("serviceComms");
    QCOMPARE(writes(), 0);

    // Only a new line-card selection enables work again; the write is still queued.
    invoke("onReqSelectLineCards");
    invoke("serviceComms");
    QCOMPARE(writes(), 1);
    QCOMPARE(emu->card(0)->ledState(), int(OPCODE_LED_RED));
}

void tst_CommsWorker::failedStatusQueryReportsIOError()
{
    selectLineCards();
    QSignalSpy ioError(worker, &CommsWorker::notifyIOError);
    QSignalSpy rxData(worker, &CommsWorker::notifyRxData);
    emu->pullCable();
    invoke("serviceComms");
    QCOMPARE(ioError.count(), 1);
    QCOMPARE(rxData.count(), 0);
    QVERIFY(worker->takeRxBytes().isEmpty());
}

// Whatever a library runs for the device ends with it; a new connection
// opens it anew.
void tst_CommsWorker::lostLinkClosesTheDevice()
{
    selectLineCards();
    QSignalSpy ioError(worker, &CommsWorker::notifyIOError);
    emu->pullCable();
    emu->clearCalls();
    invoke("serviceComms");
    QCOMPARE(ioError.count(), 1);
    QByteArrayList called;
    for (const EmulatorCall &call : emu->calls())
        called.append(call.function);
    QCOMPARE(called, (QByteArrayList{"FT_GetStatus", "FT_GetStatus", "FT_Close"}));

    emu->clearCalls();
    invoke("serviceComms");
    QVERIFY(emu->calls().isEmpty());
    QCOMPARE(ioError.count(), 1);
}

void tst_CommsWorker::refusedChipSaysWhy_data()
{
    QTest::addColumn<QByteArray>("description");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<int>("backendSays");
    QTest::addColumn<int>("refusal");

    using R = D2xxApi::OpenRefusal;
    QTest::newRow("chip without strings, held by a kernel driver")
        << QByteArray() << false << int(R::KernelDriver) << int(R::KernelDriver);
    QTest::newRow("chip without strings, no permission")
        << QByteArray() << false << int(R::NoPermission) << int(R::NoPermission);
    QTest::newRow("chip without strings that opens: nothing to tell")
        << QByteArray() << true << int(R::KernelDriver) << int(R::NotKnown);
    QTest::newRow("the controller listed, its open refused")
        << QByteArray("VX420") << false << int(R::OtherProgram) << int(R::OtherProgram);
    QTest::newRow("another product's chip is not asked")
        << QByteArray("FT232R USB UART") << false << int(R::KernelDriver) << int(R::NotKnown);
}

void tst_CommsWorker::refusedChipSaysWhy()
{
    QFETCH(QByteArray, description);
    QFETCH(bool, opens);
    QFETCH(int, backendSays);
    QFETCH(int, refusal);

    // The backend's word on a refused open, as a library-backed one gives it.
    class RefusingD2xx : public EmulatedD2xx
    {
    public:
        using EmulatedD2xx::EmulatedD2xx;
        OpenRefusal reason = OpenRefusal::NotKnown;
        OpenRefusal openRefusal(const QByteArray &) const override { return reason; }
    };
    cleanup();
    auto refusing = std::make_shared<RefusingD2xx>(EmulatedD2xx::Timing::Instant);
    refusing->reason = D2xxApi::OpenRefusal(backendSays);
    emu = refusing;
    thread = new WorkerThread;
    worker = new CommsWorker(emu);
    thread->start();
    worker->moveToThread(thread);

    EmulatedDevice chip;
    chip.description = description;
    emu->setDevices({chip});
    emu->setOpenFails(!opens);
    worker->debuggableGetDeviceList();
    QVERIFY(!worker->selectDevice("VX420"));
    QCOMPARE(int(worker->openRefusal()), refusal);
    QVERIFY(!emu->lineState().lineCardPath);

    // A later selection that finds the controller forgets the refusal.
    emu->setDevices({EmulatedDevice()});
    emu->setOpenFails(false);
    worker->debuggableGetDeviceList();
    QVERIFY(worker->selectDevice("VX420"));
    QCOMPARE(worker->openRefusal(), D2xxApi::OpenRefusal::NotKnown);
}

void tst_CommsWorker::selectDevicePicksFirstMatch()
{
    EmulatedDevice other;
    other.description = "FT232R USB UART";
    emu->setDevices({other, EmulatedDevice(), EmulatedDevice()});
    QCOMPARE(worker->debuggableGetDeviceList(), (QStringList{"FT232R USB UART", "VX420", "VX420"}));
    emu->clearCalls();
    QVERIFY(worker->selectDevice("VX420"));

    const QList<EmulatorCall> calls = emu->calls();
    QVERIFY(!calls.isEmpty());
    QCOMPARE(calls.at(0).function, QByteArray("FT_Open"));
    QCOMPARE(calls.at(0).args, QList<quint32>{1});
    // Selecting configures the line but does not enable work.
    QCOMPARE(emu->lineState().baudRate, quint32(9600));
    invoke("onReqWrite", Q_ARG(QByteArray, CommandPacket(OPCODE_LED_RED).build()));
    invoke("serviceComms");
    QCOMPARE(writes(), 0);
}

void tst_CommsWorker::unknownDeviceOpensNothing()
{
    EmulatedDevice other;
    other.description = "VX421";
    emu->setDevices({other});
    worker->debuggableGetDeviceList();
    emu->clearCalls();
    QVERIFY(!worker->selectDevice("VX420"));
    QVERIFY(emu->calls().isEmpty());
}

void tst_CommsWorker::requestsDuringSwitchRunAfterIt()
{
    // Real time, so that the 1000 ms switch really holds the I/O thread.
    start(EmulatedD2xx::Timing::Wire);
    worker->debuggableGetDeviceList();
    QVERIFY(worker->selectDevice("VX420"));

    QSignalSpy selected(worker, &CommsWorker::notifyLineCardsSelected);
    QElapsedTimer clock;
    clock.start();
    QMetaObject::invokeMethod(worker, "onReqSelectLineCards", Qt::QueuedConnection);
    QMetaObject::invokeMethod(worker, "onReqWrite", Qt::QueuedConnection,
                              Q_ARG(QByteArray, CommandPacket(OPCODE_LED_GREEN).build()));
    QMetaObject::invokeMethod(worker, "serviceComms", Qt::QueuedConnection);
    QTRY_VERIFY(emu->lineState().lineCardPath); // the switch has begun

    // A direct call meets the lock held by the switch and waits for it.
    worker->takeRxBytes();
    QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE(selected.count(), 1);
    QTRY_COMPARE(writes(), 1);
    QTRY_COMPARE(emu->card(0)->ledState(), int(OPCODE_LED_GREEN));
}

QTEST_GUILESS_MAIN(tst_CommsWorker)
#include "tst_commsworker.moc"
