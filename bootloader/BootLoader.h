#pragma once

#include "bootloader/BslPacket.h"
#include "bootloader/FirmwareImage.h"
#include "bootloader/InfoASegment.h"
#include "bootloader/ReplyLedger.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>

// Talks to one line card's bootloader through the controller tunnel: one
// slot per bootloader command, and a state machine for the firmware
// installation and for the line-card initialisation that rewrites the
// information segment. Each sequence reports its outcome once through
// notifyBootLoaderResult.
//
// A sequence acts on an answer only when it can belong to nothing but the
// command in flight. The card answers in order, and a sequence sends a
// command only when no earlier transmission is still awaited: when a reply
// time-out leaves it open whether the answer was lost or is late, a sync
// request (the version request, answered with data) goes out, and the
// command is sent again only once the sync's answer shows that its own
// answer will not come. Whatever follows an exchange that needed a sync
// (the next command, or the sequence's success) waits for the sync's
// answer, at most one reply time-out, so that nothing is sent while the
// controller is still sending.
class BootLoader : public QObject
{
    Q_OBJECT

public:
    enum BslState {
        BLS_IDLE = 0,
        BLS_DEVICE_ID = 1,
        BLS_CAPACITY = 2,
        BLS_FLASH_CAPACITY = 3,
        BLS_SRAM_CAPACITY = 4,
        BLS_APP_CHECK = 5,
        BLS_LOCK_INFOA = 6,
        BLS_MASS_ERASE = 7,
        BLS_CRYPTO_IV = 8,
        BLS_APP_CODE = 9,
        BLS_LOGIN_DEFAULT = 10,
        BLS_LOGIN_SECRET = 11,
        BLS_READ_INFOA = 12,
        BLS_DEFAULT_INFOA = 13,
        BLS_UNLOCK_INFOA = 14,
        BLS_ERASE_INFOA = 15,
        BLS_WRITE_INFOA = 16,
        BLS_RELOCK_INFOA = 17,
        BLS_FINISH_FAIL = 18,
        BLS_FINISH_OK = 19,
    };
    Q_ENUM(BslState)

    static constexpr int PASSWORD_SIZE = 16;
    // Every byte of the default password; an erased segment holds the same.
    static constexpr quint8 DEFAULT_PASSWORD_BYTE = 0xFF;
    // Re-sends of one command without a reply before the card is given up.
    static constexpr int MAX_RESENDS = 5;
    // Lock toggles that may answer "unlocked" before the card is given up:
    // two always reach the locked state on a working card.
    static constexpr int MAX_LOCK_TOGGLES = 4;
    // Pages shorter than this end the page loop unsent (page 0 excepted).
    static constexpr int MIN_PAGE_SIZE = 16;
    // After a failed attempt the next one starts only once no answer has
    // arrived for this long: one reply time-out.
    static constexpr int QUIET_MS = 2000;
    // The data of the sync request's answer: the 32-bit version.
    static constexpr int SYNC_REPLY_SIZE = 4;

    static QByteArray defaultPassword();

    explicit BootLoader(QObject *parent = nullptr);

    bool loadFirmware(const QString &path);
    void setSecretPassword(const QByteArray &bytes);

    const FirmwareImage &firmware() const { return m_firmware; }
    const InfoASegment &infoa() const { return m_infoa; }
    BslState state() const { return m_myState; }
    quint32 pageIndex() const { return m_pageIndex; }
    qint32 lineCardNumber() const { return m_lineCardNumber; }
    void setLineCardNumber(qint32 number) { m_lineCardNumber = number; }
    QByteArray secretPassword() const { return m_secretPassword; }
    quint8 lastTxOpcode() const { return m_lastTxOpcode; }
    quint16 lastTxAddress() const { return m_lastTxAddress; }
    QByteArray lastTxPacket() const { return m_lastTxPacket; }
    quint32 bslVersion() const { return m_bslVersion; }
    quint16 crcValue() const { return m_crcValue; }
    quint16 bufferSize() const { return m_bufferSize; }
    QByteArray infoaBytes() const { return m_infoaBytes; }
    QByteArray deviceId() const { return m_deviceId; }
    quint8 rxMessage() const { return m_rxMessage; }
    // After the last packet nothing new was sent and an answer to what was
    // sent before is still awaited: a reply time-out running for it goes on.
    bool stillAwaitingReply() const { return m_stillAwaiting; }
    // After a failed attempt, until the link has been quiet for QUIET_MS.
    bool settling() const { return quietTimer.isActive(); }
    void setQuietInterval(int ms) { quietTimer.setInterval(ms); }
    // The controller got an answer that carries no reply (CONFUSED) to a
    // bootloader transmission. Returns whether it may send its last
    // transmission again; only when that is what the answer was to.
    bool onConfusedReply(bool mayResend);

    bool traceEnabled = false;

signals:
    void reqTxBytes(QByteArray bytes);
    void notifyBootLoaderResult(bool ok);
    void notifyBslVersion(uint32_t version);
    void notifyLineCardSerialNumber(uint32_t number);
    // One page of an installation acknowledged.
    void notifyInstallProgress(int pagesDone, int pagesTotal);

public slots:
    void onRxPacket(const QByteArray &packet);
    void onTimeout();
    void onReqGetBslVersion();
    void onReqFastFrame();
    void onReqGetCRC(uint16_t address, uint16_t length);
    void onReqGetPlatformId();
    void onReqGetBufferSize();
    void onReqMassErase();
    void onReqApplicationCheck();
    void onReqGetDeviceId();
    void onReqSendDefaultPassword();
    void onReqSendSecretPassword();
    void onReqReadINFOA();
    void onReqDefaultINFOA();
    void onReqEraseINFOA();
    void onReqWriteINFOA();
    void onReqToggleLockINFOA();
    void onReqCapacityCheck(uint16_t address);
    void onReqBlankCheck(uint16_t address, uint16_t length);
    void onReqAppCodeInstall();
    void onReqPasswordInstall();
    void onReqInitLineCard(int number);

private:
    void enterState(BslState n);
    bool replyPreStep(const BslReply &reply);
    void stateStep(const BslReply &reply);
    void checkMessageCode(const BslReply &reply, BslState okState, BslState failState);
    bool checkDeviceId() const;
    void resendLastPacket();
    bool inSequence() const;
    void beginSequence();
    // The answer is the sync request's rather than the command's.
    bool answersSync(const BslReply &reply) const;
    // False when the packet was not taken as an answer.
    bool takeReply(const QByteArray &packet, const BslReply &reply);
    void sendSync();
    void transmitLast();
    // What waited for the link goes ahead: the command in flight (first
    // sent, or again after its answer was lost), or the success.
    void goAhead();
    void onLinkQuiet();
    // Sends the built segment when it is exactly 64 bytes; false otherwise.
    bool writeInfoA();
    int installPageCount() const;

    bool refusesSingleCommand() const;
    void txSimplePacket(quint8 opcode);
    void txAddressPacket(quint8 opcode, quint16 address);
    void txPacket(quint8 opcode, quint16 address, const QByteArray &data);

    FirmwareImage m_firmware;
    quint8 m_lastTxOpcode = 0;
    quint16 m_lastTxAddress = 0;
    QByteArray m_lastTxPacket;
    quint32 m_pageIndex = 0;
    QByteArray m_secretPassword;
    bool m_defaultPasswordSent = false;
    bool m_bslVersionRequested = false;
    qint32 m_lineCardNumber = 0;
    quint32 m_bslVersion = 0;
    quint16 m_crcValue = 0;
    quint16 m_bufferSize = 0;
    QByteArray m_infoaBytes;
    QByteArray m_deviceId;
    quint8 m_rxMessage = 0;
    bool m_infoaReadPending = false;
    InfoASegment m_infoa;
    BslState m_myState = BLS_IDLE;
    // Re-sends of the last command since it was sent or anything was
    // received; in a sequence, the reply time-outs of the command in flight.
    int m_resendCount = 0;
    int m_pagesTotal = 0;
    int m_lockToggles = 0;

    ReplyLedger ledger;
    bool m_settleFirst = false; // the sequence's first command waits for a sync
    // What waits until nothing sent is awaited any more.
    enum class Waiting { Nothing, Command, Success };
    Waiting m_waiting = Waiting::Nothing;
    bool m_lastTransmissionSync = false;
    bool m_transmitted = false; // while a packet is handled
    bool m_stepping = false;    // a sequence's own step sends, not a single-command slot
    bool m_stillAwaiting = false;
    QTimer quietTimer;
    bool quietDropsReplies = false; // no single command has been sent since the failure
    enum class PendingStart { None, Install, InitLineCard };
    PendingStart pendingStart = PendingStart::None;
    int pendingLineCardNumber = 0;
};
