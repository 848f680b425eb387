#pragma once

#include "bootloader/BslPacket.h"
#include "bootloader/FirmwareImage.h"
#include "bootloader/InfoASegment.h"
#include "bootloader/BslExchange.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>

// Talks to one line card's bootloader through the controller tunnel: one
// slot per bootloader command, and a state machine for the firmware
// installation and for the line-card initialisation that rewrites the
// information segment. Each sequence reports its outcome once through
// notifyBootLoaderResult.
//
// What is sent and which answer belongs to it is BslExchange's: the state
// machine sees only answers that belong to the command in flight. Before a
// decisive step (the mass erase, the erase of the information segment, the
// success) it has the answer it rests on confirmed as that command's own.
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
    // Lock toggles before the card is given up: two reach the locked state
    // from a locked segment, three from an unlocked one; the rest is for
    // answers lost on the way.
    static constexpr int MAX_LOCK_TOGGLES = 6;
    // Pages shorter than this end the page loop unsent (page 0 excepted).
    static constexpr int MIN_PAGE_SIZE = 16;

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
    BslExchange::State exchangeState() const { return exchange.state(); }
    void setReplyTimeout(int ms) { exchange.setReplyTimeout(ms); }
    // A sequence runs, or waits for the link to settle before it begins.
    bool busy() const { return inSequence() || pendingStart != PendingStart::None; }

    bool traceEnabled = false;

signals:
    void reqTxBytes(QByteArray bytes);
    // A sync request: sent once no byte has arrived for a while.
    void reqTxBytesWhenQuiet(QByteArray bytes);
    void notifyBootLoaderResult(bool ok);
    void notifyBslVersion(uint32_t version);
    void notifyLineCardSerialNumber(uint32_t number);
    // One page of an installation acknowledged.
    void notifyInstallProgress(int pagesDone, int pagesTotal);
    // An answer too many came, so the attempt was given up.
    void notifyUnexpectedAnswer(QByteArray packet);

public slots:
    void onRxPacket(const QByteArray &packet);
    // The card answered CONFUSED: it did not understand what it was sent.
    void onConfused(const QByteArray &packet);
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
    enum class PendingStart { None, Install, InitLineCard };

    void enterState(BslState n);
    // Goes on to the next state; a decisive one only once the answer that
    // led to it is confirmed.
    void advance(BslState next);
    bool replyPreStep(const BslReply &reply);
    void stateStep(const BslReply &reply);
    void checkMessageCode(const BslReply &reply, BslState okState, BslState failState);
    bool checkDeviceId() const;
    bool inSequence() const;
    void beginSequence(PendingStart start);
    void startPending();
    bool refusesSingleCommand() const;
    void sendDefaultPassword();
    void sendSecretPassword();
    void readInfoA();
    // Sends the built segment when it is exactly 64 bytes; false otherwise.
    bool writeInfoA();
    int installPageCount() const;

    void onAnswer(const QByteArray &packet);
    void onAnswerLost();
    void onConfirmed();
    void onExchangeFailed(BslExchange::Failure failure, const QByteArray &packet);

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
    int m_pagesTotal = 0;
    int m_lockToggles = 0;
    int m_lastToggleAnswer = -1; // 0 unlocked, 1 locked, -1 not known
    // The decisive state entered once the exchange has confirmed the answer.
    BslState m_afterProof = BLS_IDLE;
    PendingStart pendingStart = PendingStart::None;

    BslExchange exchange;
};
