#pragma once

#include "bootloader/BootLoader.h"
#include "controller/CardInfo.h"
#include "controller/FrameByteQueue.h"
#include "controller/RawPacket.h"
#include "controller/RawPacketGetter.h"
#include "controller/CommandPacket.h"
#include "usb/D2xxApi.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

class CommsWorker;
class QTimer;
class WorkerThread;

// Stands between the window and the USB link: opens the controller, keeps
// the worker's service passes going, sends commands with a reply time-out,
// cuts received bytes into per-card packets and dispatches them.
class VX420Controller : public QObject
{
    Q_OBJECT

public:
    // What the manager expects to receive; every sender sets it first.
    enum LinkMode {
        Idle = 0,
        Commands = 2,
        BootLoaderTunnel = 4,
    };
    Q_ENUM(LinkMode)

    enum SeriousError {
        SeriousErrorIO = 1,      // the worker could not query the device
        SeriousErrorFrame = 2,   // an unreadable frame after the first one
        SeriousErrorNoReply = 3, // no reply to a command within the time-out
    };

    static constexpr int serviceIntervalMs = 10;
    static constexpr int replyTimeoutMs = 2000;
    static constexpr int bootLoaderConnectTimeoutMs = 4000;
    // A sync request waits for a quiet line at most this long.
    static constexpr int maxQuietHoldMs = 500;

    explicit VX420Controller(QObject *parent = nullptr,
                             std::shared_ptr<D2xxApi> api = D2xxApi::platformDefault());
    ~VX420Controller() override;

    bool openDefault();
    void txBytes(const QByteArray &bytes);
    // What onRxData does with the bytes it takes from the worker: frames,
    // per-card packet streams, packets and their dispatch.
    void processRxBytes(const QByteArray &rx);

    // Bootloader tunnel.
    bool loadFirmware(const QString &path);
    void setSecretPassword(const QByteArray &bytes);
    // The number that onReqBootLoaderInitLineCard writes into the card.
    void setLineCardNumber(int number) { lineCardNumber = number; }
    const BootLoader &bootLoaderState() const { return bootLoader; }

    void clearCardInfoList();
    void resetCardInfoList(int count);
    // The record of a card slot, or none.
    const CardInfo *lineCardInfo(int card) const;

    int cardCount() const { return cardCountValue; }
    LinkMode linkMode() const { return linkModeValue; }
    // A transmission is waiting for its reply or its time-out.
    bool awaitingReply() const;
    // No byte has arrived for this long: the controller has nothing more to
    // send. Three frame intervals, and two service ticks for the delivery.
    int quietGapMs() const;
    // After a failed open: why the controller's chip, which is there, could
    // not be opened; NotKnown when no such chip is there or nothing tells.
    D2xxApi::OpenRefusal controllerOpenRefusal() const;
    // After a failed open: the controller is listed but could not be opened.
    bool controllerNotOpened() const;
    // What the USB library said when the open failed; empty when it did not say.
    QString controllerOpenFailureReason() const;

signals:
    void notifyCardRemoved(int card);
    void notifyCardInserted(int card);
    void notifyDeviceSelected(bool ok);
    void notifyLineCardInfo(int card);
    void notifyLineCardsSelected(bool ok);
    void notifyListenResult(int card);
    void notifySeriousError(int code);
    void notifyLineCardApplicationError(int card);
    void notifyRxBootLoaderPacket(QByteArray packet);
    void notifyStatus(QString text);
    void notifyBootLoaderVersion(uint32_t version);
    void notifyReflashStatus(bool needed);
    void notifyReflashResult(bool ok);
    void notifyFrameRate(int card, int value);
    void notifyLed(int card, int opcode);
    void reqWrite(QByteArray bytes);
    void reqSelectLineCards();
    void reqServiceComms();
    void notifyBootLoaderResult(bool ok);
    void notifyLineCardSerial(int number);
    void notifyInstallProgress(int pagesDone, int pagesTotal);
    // The card's bootloader sent an answer too many; the attempt was given up.
    void notifyUnexpectedAnswer(QByteArray packet);

public slots:
    void onReqDefaultStartup();
    void onReqSelectLineCards();
    void start();
    void onTimerTick();
    void onReqClearRx();
    void onRxData();
    void onCommsTimeout();
    void onCommsError();
    void onReqPauseComms();
    void onAckLineCardsSelected(bool ok);
    void onBootLoaderVersion(uint32_t version);
    void onBootLoaderResult(bool ok);
    void onLineCardSerialNumber(uint32_t number);

    // Controller commands.
    void onReqCmdIdentify(int card);
    void onReqCmdFrameInterval(int interval);
    void onReqFlashVersion();
    void onReqReflashAction();
    void onReqCmdLedGreen();
    void onReqCmdLedRed();
    void onReqCmdBeacon();
    void onReqCmdClamp();
    void onReqCmdContinuity();
    void onReqCmdFastFrames();
    void onReqCmdGetLineCardInfo();
    void onReqCmdListen();
    void onReqCmdLedFlashSlow();
    void onReqCmdLedOff();
    void onReqCmdLedOn();
    void onReqCmdLedYellow();

    // Bootloader commands, forwarded to the card's bootloader.
    void onReqTxBootLoader(QByteArray bytes);
    // Sent once the line is quiet, so that nothing still arriving is cut
    // off by the transmission's purge of the receive side.
    void onReqTxBootLoaderWhenQuiet(QByteArray bytes);
    void onReqBootLoaderConnect();
    void onReqBootLoaderVersion();
    void onReqBootLoaderBufferSize();
    void onReqBootLoaderDeviceId();
    void onReqBootLoaderPlatformId();
    void onReqBootLoaderLogin();
    void onReqBootLoaderLoginSecret();
    void onReqBootLoaderReadINFOA();
    void onReqBootLoaderDefaultINFOA();
    void onReqBootLoaderEraseINFOA();
    void onReqBootLoaderWriteINFOA();
    void onReqBootLoaderUnlockINFOA();
    void onReqBootLoaderCapacityCheck();
    void onReqBootLoaderPasswordInstall();
    void onReqBootLoaderFirmwareInstall();
    void onReqBootLoaderInitLineCard();

private:
    void setupSignalsAndSlots();
    void sendCommand(quint8 header, quint16 argument = 0);
    void resetAllCounters();
    void dispatchAnswer(const RawPacket &packet);
    void processRawPacket(const RawPacket &packet);
    void processRawBootLoaderPacket(const RawPacket &packet);
    void txBootloaderPacket(const CommandPacket &packet);
    void sendWhenQuiet();
    static bool isQuery(quint8 header);
    void trace(const char *operation) const;

    bool traceVerbose = false;
    bool traceEnabled = false;
    std::unique_ptr<WorkerThread> workerThread;
    std::unique_ptr<CommsWorker> worker;
    std::unique_ptr<QTimer> serviceTimer;
    std::unique_ptr<QTimer> commsTimeoutTimer;
    FrameByteQueue rxQueue;
    RawPacketGetter packetGetter;
    QMutex mutex;
    QList<CardInfo> cardInfoList;
    QByteArray lastTx; // the last controller command; bootloader traffic is the exchange's
    LinkMode linkModeValue = Idle;
    int cardCountValue = 0;
    bool clearRxPending = false;
    QString deviceDescription = QStringLiteral("VX420");
    BootLoader bootLoader;
    int lineCardNumber = 0;
    bool linkLost = false; // an I/O error has been reported since the last open

    // The controller command whose reply ends the reply time-out.
    struct CommandInFlight
    {
        quint8 opcode = 0xFF; // header & OPCODE_MASK; 0xFF: none
        bool query = false;   // only asks: sent once more when its reply is lost
        int sends = 0;
    };
    CommandInFlight inFlight;
    quint32 frameIntervalUs = 12500; // as last requested; the controller's default before
    QElapsedTimer lastRxClock;       // since bytes last arrived
    QElapsedTimer quietHoldClock;    // since the oldest held sync request
    QList<QByteArray> quietTx;
};
