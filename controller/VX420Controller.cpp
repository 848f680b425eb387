#include "controller/VX420Controller.h"

#include "controller/CommandPacket.h"
#include "controller/ControllerReplies.h"
#include "controller/Opcodes.h"
#include "controller/PacketCodec.h"
#include "usb/CommsWorker.h"
#include "usb/WorkerThread.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QTime>
#include <QTimer>

Q_LOGGING_CATEGORY(lcLink, "linecard.link", QtInfoMsg)

namespace {
QString timeOfDay()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}
} // namespace

VX420Controller::VX420Controller(QObject *parent, std::shared_ptr<D2xxApi> api) : QObject(parent)
{
    qRegisterMetaType<uint32_t>("uint32_t");

    workerThread = std::make_unique<WorkerThread>();
    worker = std::make_unique<CommsWorker>(std::move(api));
    workerThread->start(QThread::InheritPriority);
    worker->moveToThread(workerThread.get());

    serviceTimer = std::make_unique<QTimer>();
    commsTimeoutTimer = std::make_unique<QTimer>();
    commsTimeoutTimer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early; a reply gets its full time.
    commsTimeoutTimer->setTimerType(Qt::PreciseTimer);
    commsTimeoutTimer->setInterval(replyTimeoutMs);

    clearCardInfoList();
    setupSignalsAndSlots();
    cardCountValue = 0;
}

VX420Controller::~VX420Controller()
{
    commsTimeoutTimer->stop();
    commsTimeoutTimer.reset();
    serviceTimer->stop();
    serviceTimer.reset();
    workerThread->quit();
    workerThread->wait();
    worker.reset();
    workerThread.reset();
}

void VX420Controller::setupSignalsAndSlots()
{
    connect(serviceTimer.get(), &QTimer::timeout, this, &VX420Controller::onTimerTick,
            Qt::QueuedConnection);
    connect(this, &VX420Controller::reqServiceComms, worker.get(), &CommsWorker::serviceComms,
            Qt::QueuedConnection);
    connect(commsTimeoutTimer.get(), &QTimer::timeout, this, &VX420Controller::onCommsTimeout);
    connect(worker.get(), &CommsWorker::notifyIOError, this, &VX420Controller::onCommsError,
            Qt::QueuedConnection);
    connect(worker.get(), &CommsWorker::notifyRxData, this, &VX420Controller::onRxData,
            Qt::QueuedConnection);
    connect(this, &VX420Controller::reqWrite, worker.get(), &CommsWorker::onReqWrite,
            Qt::QueuedConnection);
    connect(this, &VX420Controller::reqSelectLineCards, worker.get(),
            &CommsWorker::onReqSelectLineCards, Qt::QueuedConnection);
    connect(worker.get(), &CommsWorker::notifyLineCardsSelected, this,
            &VX420Controller::onAckLineCardsSelected, Qt::QueuedConnection);
    connect(this, &VX420Controller::notifyRxBootLoaderPacket, &bootLoader, &BootLoader::onRxPacket);
    connect(&bootLoader, &BootLoader::notifyBslVersion, this,
            &VX420Controller::onBootLoaderVersion);
    connect(&bootLoader, &BootLoader::reqTxBytes, this, &VX420Controller::onReqTxBootLoader,
            Qt::QueuedConnection);
    connect(&bootLoader, &BootLoader::reqTxBytesWhenQuiet, this,
            &VX420Controller::onReqTxBootLoaderWhenQuiet, Qt::QueuedConnection);
    // Queued like the result that follows it, so that it is shown first.
    connect(&bootLoader, &BootLoader::notifyUnexpectedAnswer, this,
            &VX420Controller::notifyUnexpectedAnswer, Qt::QueuedConnection);
    connect(&bootLoader, &BootLoader::notifyBootLoaderResult, this,
            &VX420Controller::onBootLoaderResult, Qt::QueuedConnection);
    connect(&bootLoader, &BootLoader::notifyLineCardSerialNumber, this,
            &VX420Controller::onLineCardSerialNumber, Qt::QueuedConnection);
    connect(&bootLoader, &BootLoader::notifyInstallProgress, this,
            &VX420Controller::notifyInstallProgress);
}

void VX420Controller::trace(const char *operation) const
{
    if (traceEnabled)
        qDebug().nospace() << "Trace: VX420Controller::" << operation;
}

void VX420Controller::onReqDefaultStartup()
{
    trace("onReqDefaultStartup");
    const bool ok = openDefault();
    if (ok)
        linkLost = false;
    emit notifyDeviceSelected(ok);
    if (ok) {
        onReqSelectLineCards();
        start();
    }
}

bool VX420Controller::openDefault()
{
    trace("openDefault");
    worker->debuggableGetDeviceList();
    return worker->selectDevice(deviceDescription);
}

void VX420Controller::onReqSelectLineCards()
{
    trace("onReqSelectLineCards");
    emit reqSelectLineCards();
    linkModeValue = Commands;
    commsTimeoutTimer->setInterval(replyTimeoutMs);
}

void VX420Controller::start()
{
    trace("start");
    serviceTimer->start(serviceIntervalMs);
}

void VX420Controller::onTimerTick()
{
    emit reqServiceComms();
    sendWhenQuiet();
}

void VX420Controller::txBytes(const QByteArray &bytes)
{
    trace("txBytes");
    if (!serviceTimer->isActive())
        serviceTimer->start(serviceIntervalMs);
    if (bytes.isEmpty())
        return;
    onReqClearRx();
    if (linkModeValue == BootLoaderTunnel) {
        // The bootloader's exchange waits for its own answers.
        commsTimeoutTimer->stop();
        emit reqWrite(bytes);
        return;
    }
    lastTx = bytes;
    commsTimeoutTimer->start();
    if (traceVerbose)
        qDebug() << "txBytes: time-out" << commsTimeoutTimer->interval() << "ms from"
                 << timeOfDay();
    emit reqWrite(bytes);
}

bool VX420Controller::awaitingReply() const
{
    switch (bootLoader.exchangeState()) {
    case BslExchange::State::Idle:
    case BslExchange::State::Abandoned:
        return commsTimeoutTimer->isActive() || !quietTx.isEmpty();
    default:
        return true;
    }
}

int VX420Controller::quietGapMs() const
{
    return 2 * serviceIntervalMs + int((3 * frameIntervalUs + 999) / 1000);
}

D2xxApi::OpenRefusal VX420Controller::controllerOpenRefusal() const
{
    return worker->openRefusal();
}

bool VX420Controller::controllerNotOpened() const
{
    return worker->openFailure() == CommsWorker::OpenFailure::NotOpened;
}

QString VX420Controller::controllerOpenFailureReason() const
{
    return worker->openFailureReason();
}

void VX420Controller::onReqClearRx()
{
    clearRxPending = true;
    rxQueue.clear();
    packetGetter.clearStreams();
}

void VX420Controller::onRxData()
{
    processRxBytes(worker->takeRxBytes());
}

void VX420Controller::processRxBytes(const QByteArray &rx)
{
    QMutexLocker lock(&mutex);
    if (traceVerbose)
        qDebug() << "rx.length =" << rx.size();
    if (!rx.isEmpty())
        lastRxClock.start();
    // Outside these two modes any byte ends the reply time-out; in them
    // only a reply does (below), so that a reply spoilt on its way is
    // handled like a lost one instead of leaving nothing to wait for.
    if (linkModeValue != Commands && linkModeValue != BootLoaderTunnel) {
        commsTimeoutTimer->stop();
        return;
    }

    if (!rxQueue.append(rx))
        return;
    while (rxQueue.hasFrame()) {
        const QByteArray frame = rxQueue.takeFrame();
        if (traceVerbose)
            qDebug().noquote() << "Frame: " << PacketCodec::toHex(frame);
        if (packetGetter.addFrame(frame)) {
            cardCountValue = packetGetter.streamCount();
            const QVector<RawPacket> packets = packetGetter.getAllCompletePackets();
            if (traceVerbose && !packets.isEmpty())
                qDebug() << "Have packets for " << packets.size() << "cards";
            for (const RawPacket &packet : packets)
                dispatchAnswer(packet);
        } else if (!clearRxPending) {
            emit notifySeriousError(SeriousErrorFrame);
        }
        clearRxPending = false;
    }
}

void VX420Controller::dispatchAnswer(const RawPacket &packet)
{
    // Only the reply to the command in flight ends its reply time-out: a
    // stray or late report followed by a lost reply still ends in a time-out.
    // Stopped first, since the packet's handling may start the next
    // transmission.
    const quint8 opcode = packet.local.isEmpty() ? OPCODE_CONFUSED
                                                 : quint8(packet.local.at(0)) & OPCODE_MASK;
    if (linkModeValue == Commands && opcode == inFlight.opcode)
        commsTimeoutTimer->stop();
    processRawPacket(packet);
}

void VX420Controller::onCommsTimeout()
{
    qDebug().noquote() << "VX420Controller::onCommsTimeout():" << timeOfDay();
    commsTimeoutTimer->stop();
    if (linkModeValue != Commands)
        return;
    // A command that only asks is asked once more: its reply may have been
    // lost on the line. One that acts is not sent twice.
    if (inFlight.query && inFlight.sends < 2 && !lastTx.isEmpty()) {
        ++inFlight.sends;
        qCDebug(lcLink) << "no reply to the controller command: asked once more";
        txBytes(lastTx);
        return;
    }
    emit notifySeriousError(SeriousErrorNoReply);
}

void VX420Controller::onCommsError()
{
    trace("onCommsError");
    onReqPauseComms();
    // One report per lost link: a pass may fail in several calls, and the
    // passes queued before the pause fail as well.
    if (linkLost)
        return;
    linkLost = true;
    emit notifySeriousError(SeriousErrorIO);
}

void VX420Controller::onReqPauseComms()
{
    trace("onReqPauseComms");
    serviceTimer->stop();
    worker->onReqPauseWork();
}

void VX420Controller::onAckLineCardsSelected(bool ok)
{
    trace("onAckLineCardsSelected");
    emit notifyLineCardsSelected(ok);
}

void VX420Controller::clearCardInfoList()
{
    trace("clearCardInfoList");
    cardInfoList.clear();
}

void VX420Controller::resetCardInfoList(int count)
{
    clearCardInfoList();
    for (int i = 0; i < count; ++i)
        cardInfoList.append(CardInfo());
}

const CardInfo *VX420Controller::lineCardInfo(int card) const
{
    if (card < 0 || card >= cardInfoList.size())
        return nullptr;
    return &cardInfoList.at(card);
}

// --- controller commands

bool VX420Controller::isQuery(quint8 header)
{
    return header == OPCODE_IDENTIFY || header == OPCODE_FRAME_INTERVAL || header == GET_FLASH_VER
           || header == OPCODE_LINE_CARD_INFO;
}

void VX420Controller::sendCommand(quint8 header, quint16 argument)
{
    linkModeValue = Commands;
    inFlight.opcode = header & OPCODE_MASK;
    inFlight.query = isQuery(header);
    inFlight.sends = 1;
    txBytes(CommandPacket(header, argument).build());
}

void VX420Controller::resetAllCounters()
{
    for (CardInfo &info : cardInfoList)
        info.resetCounters();
}

void VX420Controller::onReqCmdIdentify(int card)
{
    if (traceEnabled)
        qDebug() << "Trace: VX420Controller::onReqCmdIdentify" << card;
    if (traceVerbose)
        qDebug() << "VX420Controller::onRequestCmdIdentify()" << card;
    sendCommand(OPCODE_IDENTIFY, quint16(card));
}

void VX420Controller::onReqCmdFrameInterval(int interval)
{
    if (traceEnabled)
        qDebug().nospace() << "Trace: VX420Controller::onReqCmdFrameInterval(" << interval << ")";
    frameIntervalUs = quint32(qMax(0, interval / 10) * 10);
    sendCommand(OPCODE_FRAME_INTERVAL, quint16(interval / 10));
}

void VX420Controller::onReqFlashVersion()
{
    if (traceVerbose)
        qDebug() << "GET_FLASH_VER";
    sendCommand(GET_FLASH_VER);
}

void VX420Controller::onReqReflashAction()
{
    if (traceVerbose)
        qDebug() << "REFLASH_ACTION";
    sendCommand(REFLASH_ACTION);
}

void VX420Controller::onReqCmdLedGreen()
{
    if (traceVerbose)
        qDebug() << "OPCODE_LED_GREEN";
    sendCommand(OPCODE_LED_GREEN);
}

void VX420Controller::onReqCmdLedRed()
{
    if (traceVerbose)
        qDebug() << "OPCODE_LED_RED";
    sendCommand(OPCODE_LED_RED);
}

void VX420Controller::onReqCmdBeacon()
{
    trace("onReqCmdBeacon");
    resetAllCounters();
    sendCommand(OPCODE_BEACON);
}

void VX420Controller::onReqCmdClamp()
{
    trace("onReqCmdClamp");
    sendCommand(OPCODE_CLAMP);
}

void VX420Controller::onReqCmdContinuity()
{
    trace("onReqCmdContinuity");
    resetAllCounters();
    sendCommand(OPCODE_CONTINUITY);
}

void VX420Controller::onReqCmdFastFrames()
{
    trace("onReqCmdFastFrames");
    const int slotCount = cardCountValue < 1 ? 10 : cardCountValue;
    const int argument = ((slotCount + 2) * 1145 + 9) / 10;
    if (traceVerbose)
        qDebug() << "VX420Controller::onReqCmdFastFrames()" << argument;
    frameIntervalUs = quint32(argument) * 10;
    sendCommand(OPCODE_FRAME_INTERVAL, quint16(argument));
}

void VX420Controller::onReqCmdGetLineCardInfo()
{
    trace("onReqCmdGetLineCardInfo");
    sendCommand(OPCODE_LINE_CARD_INFO);
}

void VX420Controller::onReqCmdListen()
{
    if (traceEnabled)
        qDebug().noquote() << "Trace: VX420Controller::onReqCmdListen " << timeOfDay();
    resetAllCounters();
    sendCommand(OPCODE_LISTEN);
}

void VX420Controller::onReqCmdLedFlashSlow()
{
    if (traceVerbose)
        qDebug() << "OPCODE_LED_FLASH_SLOW";
    sendCommand(OPCODE_LED_FLASH_SLOW);
}

void VX420Controller::onReqCmdLedOff()
{
    if (traceVerbose)
        qDebug() << "OPCODE_LED_OFF";
    sendCommand(OPCODE_LED_OFF);
}

void VX420Controller::onReqCmdLedOn()
{
    if (traceVerbose)
        qDebug() << "OPCODE_LED_ON";
    sendCommand(OPCODE_LED_ON);
}

void VX420Controller::onReqCmdLedYellow()
{
    if (traceVerbose)
        qDebug() << "OPCODE_LED_YELLOW";
    sendCommand(OPCODE_LED_YELLOW);
}

// --- reply dispatch

void VX420Controller::processRawPacket(const RawPacket &packet)
{
    if (packet.local.isEmpty())
        return;
    const quint8 opcode = quint8(packet.local.at(0)) & OPCODE_MASK;
    const int card = packet.card;
    if (traceEnabled)
        qDebug().noquote() << "Trace: VX420Controller::processRawPacket " << timeOfDay();
    if (traceVerbose)
        qDebug().noquote() << "processRawPacket() opCode=" << opcode
                           << " packet=" << PacketCodec::toHex(packet.local);

    if (opcode == OPCODE_BOOTLOADER) {
        if (traceVerbose)
            qDebug() << "Bootloader packet";
        processRawBootLoaderPacket(packet);
        return;
    }

    if (cardInfoList.size() != packetGetter.streamCount())
        resetCardInfoList(packetGetter.streamCount());
    if (card < 0 || card >= cardInfoList.size())
        return;
    CardInfo &record = cardInfoList[card];
    const bool wasConfused = record.confused;
    record.confused = false;

    switch (opcode) {
    case OPCODE_CONFUSED:
        if (traceVerbose)
            qDebug().noquote() << QString::asprintf("CONFUSED card:%d  len:%d", card,
                                                    int(cardInfoList.size()));
        record.confused = true;
        // In the tunnel it is an answer to the bootloader's exchange, which
        // knows what it may answer.
        if (linkModeValue == BootLoaderTunnel) {
            bootLoader.onConfused(packet.local);
            break;
        }
        // One re-send per confusion: a second CONFUSED in a row is left alone.
        if (!wasConfused && !lastTx.isEmpty()) {
            // A reply time-out that has already ended (the command was
            // answered) is not started again for it.
            if (commsTimeoutTimer->isActive())
                commsTimeoutTimer->start();
            emit reqWrite(lastTx);
        }
        break;
    case OPCODE_LINE_CARD_INFO:
        record.applyInfo(LineCardInfoReply::decode(card, packet.local));
        emit notifyLineCardInfo(card);
        break;
    case OPCODE_LISTEN:
        record.applyListen(ListenReply::decode(card, packet.local));
        if (record.cardRemoved())
            emit notifyCardRemoved(card);
        else if (record.cardInserted())
            emit notifyCardInserted(card);
        else
            emit notifyListenResult(card);
        break;
    case OPCODE_CONTINUITY:
        record.applyContinuity(ContinuityReply::decode(card, packet.local));
        break;
    case GET_FLASH_VER:
        emit notifyReflashStatus(FlashVersionReply::decode(card, packet.local).versionsDiffer());
        break;
    case REFLASH_ACTION:
        emit notifyReflashResult(ReflashActionReply::decode(card, packet.local).succeeded());
        break;
    case OPCODE_FRAME_INTERVAL: {
        const FrameIntervalReply reply = FrameIntervalReply::decode(card, packet.local);
        if (reply.error)
            emit notifyLineCardApplicationError(card);
        else
            emit notifyFrameRate(card, reply.value);
        break;
    }
    case OPCODE_LED_20:
    case OPCODE_LED_RED:
    case OPCODE_LED_GREEN:
    case OPCODE_LED_YELLOW:
    case OPCODE_LED_OFF:
    case OPCODE_LED_ON:
        emit notifyLed(card, opcode);
        break;
    default:
        break;
    }
}

void VX420Controller::processRawBootLoaderPacket(const RawPacket &packet)
{
    const quint8 opcode = quint8(packet.local.at(0)) & OPCODE_MASK;
    if (traceVerbose) {
        qDebug().noquote() << QString(58, QLatin1Char('#'));
        qDebug().noquote() << "VX420Controller::processRawBootLoaderPacket() opCode:" << opcode
                           << " time:" << timeOfDay();
        qDebug().noquote() << "VX420Controller::processRawBootLoaderPacket()"
                           << PacketCodec::toHex(packet.local);
    }
    if (opcode == OPCODE_BOOTLOADER)
        emit notifyRxBootLoaderPacket(packet.local);
}

// --- bootloader tunnel

void VX420Controller::onReqTxBootLoader(QByteArray bytes)
{
    if (traceVerbose)
        qDebug() << "VX420Controller::onReqTxBootLoader()";
    linkModeValue = BootLoaderTunnel;
    CommandPacket packet(OPCODE_BOOTLOADER);
    packet.setPayload(bytes);
    txBootloaderPacket(packet);
}

void VX420Controller::onReqTxBootLoaderWhenQuiet(QByteArray bytes)
{
    if (quietTx.isEmpty())
        quietHoldClock.start();
    quietTx.append(bytes);
    if (!serviceTimer->isActive())
        serviceTimer->start(serviceIntervalMs);
    sendWhenQuiet();
}

void VX420Controller::sendWhenQuiet()
{
    if (quietTx.isEmpty())
        return;
    // A controller that never falls quiet does not hold the request for ever.
    const bool quiet = !lastRxClock.isValid() || lastRxClock.elapsed() >= quietGapMs();
    if (!quiet && quietHoldClock.elapsed() < maxQuietHoldMs)
        return;
    const QList<QByteArray> held = quietTx;
    quietTx.clear();
    for (const QByteArray &bytes : held)
        onReqTxBootLoader(bytes);
}

void VX420Controller::txBootloaderPacket(const CommandPacket &packet)
{
    linkModeValue = BootLoaderTunnel;
    const QByteArray wire = packet.build();
    if (traceVerbose)
        qDebug().noquote().nospace()
            << "VX420Controller::txBootloaderPacket(" << PacketCodec::toHex(wire) << ")";
    if (wire.size() >= 7)
        txBytes(wire);
}

void VX420Controller::onBootLoaderVersion(uint32_t version)
{
    emit notifyStatus(QString::asprintf("Got boot loader version %08x", unsigned(version)));
    emit notifyBootLoaderVersion(version);
}

void VX420Controller::onBootLoaderResult(bool ok)
{
    emit notifyBootLoaderResult(ok);
}

void VX420Controller::onLineCardSerialNumber(uint32_t number)
{
    qDebug().nospace() << "Got line card serial " << number;
    emit notifyLineCardSerial(int(number));
}

bool VX420Controller::loadFirmware(const QString &path)
{
    return bootLoader.loadFirmware(path);
}

void VX420Controller::setSecretPassword(const QByteArray &bytes)
{
    bootLoader.setSecretPassword(bytes);
}

void VX420Controller::onReqBootLoaderConnect()
{
    linkModeValue = BootLoaderTunnel;
    commsTimeoutTimer->setInterval(bootLoaderConnectTimeoutMs);
    worker->debuggableGetDeviceList();
    const bool opened = worker->selectDevice(deviceDescription);
    if (opened)
        linkLost = false;
    emit notifyDeviceSelected(opened);
    if (opened)
        onReqSelectLineCards();
    trace("start");
    serviceTimer->start(serviceIntervalMs);
    bootLoader.onReqGetBslVersion();
}

void VX420Controller::onReqBootLoaderVersion()
{
    bootLoader.onReqGetBslVersion();
}
void VX420Controller::onReqBootLoaderBufferSize()
{
    bootLoader.onReqGetBufferSize();
}
void VX420Controller::onReqBootLoaderDeviceId()
{
    bootLoader.onReqGetDeviceId();
}
void VX420Controller::onReqBootLoaderPlatformId()
{
    bootLoader.onReqGetPlatformId();
}
void VX420Controller::onReqBootLoaderLogin()
{
    bootLoader.onReqSendDefaultPassword();
}
void VX420Controller::onReqBootLoaderLoginSecret()
{
    bootLoader.onReqSendSecretPassword();
}
void VX420Controller::onReqBootLoaderReadINFOA()
{
    bootLoader.onReqReadINFOA();
}
void VX420Controller::onReqBootLoaderDefaultINFOA()
{
    bootLoader.onReqDefaultINFOA();
}
void VX420Controller::onReqBootLoaderEraseINFOA()
{
    bootLoader.onReqEraseINFOA();
}
void VX420Controller::onReqBootLoaderWriteINFOA()
{
    bootLoader.onReqWriteINFOA();
}
void VX420Controller::onReqBootLoaderUnlockINFOA()
{
    bootLoader.onReqToggleLockINFOA();
}
void VX420Controller::onReqBootLoaderCapacityCheck()
{
    bootLoader.onReqCapacityCheck(0xC000);
}
void VX420Controller::onReqBootLoaderPasswordInstall()
{
    bootLoader.onReqPasswordInstall();
}

void VX420Controller::onReqBootLoaderFirmwareInstall()
{
    emit notifyStatus(QStringLiteral("Start APP INSTALL"));
    bootLoader.onReqAppCodeInstall();
}

void VX420Controller::onReqBootLoaderInitLineCard()
{
    bootLoader.onReqInitLineCard(lineCardNumber);
    lineCardNumber = 0;
}
