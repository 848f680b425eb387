#include "bootloader/BootLoader.h"

#include <QDebug>
#include <QMetaType>
#include <QStringList>

namespace {

QByteArray le16(quint16 value)
{
    QByteArray bytes;
    bytes.append(char(value & 0xFF));
    bytes.append(char(value >> 8));
    return bytes;
}

} // namespace

QByteArray BootLoader::defaultPassword()
{
    return QByteArray(PASSWORD_SIZE, char(DEFAULT_PASSWORD_BYTE));
}

BootLoader::BootLoader(QObject *parent) : QObject(parent)
{
    // The uint32_t signals also travel over queued connections.
    qRegisterMetaType<uint32_t>("uint32_t");
    connect(&exchange, &BslExchange::reqTxBytes, this, &BootLoader::reqTxBytes);
    connect(&exchange, &BslExchange::reqTxBytesWhenQuiet, this, &BootLoader::reqTxBytesWhenQuiet);
    connect(&exchange, &BslExchange::notifyAnswer, this, &BootLoader::onAnswer);
    connect(&exchange, &BslExchange::notifyAnswerLost, this, &BootLoader::onAnswerLost);
    connect(&exchange, &BslExchange::notifyConfirmed, this, &BootLoader::onConfirmed);
    connect(&exchange, &BslExchange::notifyDrained, this, &BootLoader::startPending);
    connect(&exchange, &BslExchange::notifyFailed, this, &BootLoader::onExchangeFailed);
}

bool BootLoader::loadFirmware(const QString &path)
{
    return m_firmware.load(path);
}

void BootLoader::setSecretPassword(const QByteArray &bytes)
{
    m_secretPassword = bytes;
}

// ---------------------------------------------------------------- sending

void BootLoader::txSimplePacket(quint8 opcode)
{
    if (traceEnabled)
        qDebug() << "BootLoader::txSimplePacket";
    txPacket(opcode, 0, QByteArray());
}

void BootLoader::txAddressPacket(quint8 opcode, quint16 address)
{
    txPacket(opcode, address, QByteArray());
}

bool BootLoader::refusesSingleCommand() const
{
    // While a sequence runs, a single command would take the place of its
    // step in flight, and its answer would be read as the step's.
    if (!busy())
        return false;
    qCDebug(lcBootLoader) << "single command refused while a sequence runs";
    return true;
}

void BootLoader::txPacket(quint8 opcode, quint16 address, const QByteArray &data)
{
    m_lastTxOpcode = opcode;
    m_lastTxAddress = address;
    m_lastTxPacket = BslPacket(opcode, address, data).encode();
    if (inSequence())
        exchange.send(m_lastTxPacket);
    else
        exchange.sendSingle(m_lastTxPacket);
}

bool BootLoader::inSequence() const
{
    return m_myState >= BLS_DEVICE_ID && m_myState <= BLS_RELOCK_INFOA;
}

// ------------------------------------------------------- single commands

void BootLoader::onReqGetBslVersion()
{
    if (traceEnabled)
        qDebug() << "BootLoader::onReqGetBslVersion()";
    if (refusesSingleCommand())
        return;
    m_bslVersionRequested = true;
    txSimplePacket(BSL_TX_BSL_VERSION);
}

void BootLoader::onReqFastFrame()
{
    if (refusesSingleCommand())
        return;
    txAddressPacket(BSL_FAST_FRAME, 400);
}

void BootLoader::onReqGetCRC(uint16_t address, uint16_t length)
{
    if (refusesSingleCommand())
        return;
    txPacket(BSL_CRC_CHECK, address, le16(length));
}

void BootLoader::onReqGetPlatformId()
{
    if (refusesSingleCommand())
        return;
    txSimplePacket(BSL_GET_PLATFORM_ID);
}

void BootLoader::onReqGetBufferSize()
{
    if (refusesSingleCommand())
        return;
    txSimplePacket(BSL_TX_BUFFER_SIZE);
}

void BootLoader::onReqMassErase()
{
    if (refusesSingleCommand())
        return;
    txSimplePacket(BSL_MASS_ERASE);
}

void BootLoader::onReqApplicationCheck()
{
    if (refusesSingleCommand())
        return;
    txSimplePacket(BSL_APPLICATION_CHECK);
}

void BootLoader::onReqGetDeviceId()
{
    if (refusesSingleCommand())
        return;
    txSimplePacket(BSL_GET_DEVICE_ID);
}

void BootLoader::onReqSendDefaultPassword()
{
    if (!refusesSingleCommand())
        sendDefaultPassword();
}

void BootLoader::sendDefaultPassword()
{
    m_defaultPasswordSent = true;
    if (traceEnabled)
        qDebug() << "BootLoader::onReqSendDefaultPassword()";
    txPacket(BSL_RX_PASSWORD, InfoASegment::SEGMENT_ADDRESS, defaultPassword());
}

void BootLoader::onReqSendSecretPassword()
{
    if (!refusesSingleCommand())
        sendSecretPassword();
}

void BootLoader::sendSecretPassword()
{
    if (traceEnabled)
        qDebug() << "BootLoader::onReqSendSecretPassword()";
    if (m_secretPassword.size() != PASSWORD_SIZE)
        return;
    m_defaultPasswordSent = false;
    txPacket(BSL_RX_PASSWORD, InfoASegment::SEGMENT_ADDRESS, m_secretPassword);
}

void BootLoader::onReqReadINFOA()
{
    if (!refusesSingleCommand())
        readInfoA();
}

void BootLoader::readInfoA()
{
    m_infoaReadPending = true;
    txPacket(BSL_TX_DATA_BLOCK, InfoASegment::SEGMENT_ADDRESS, le16(InfoASegment::SEGMENT_SIZE));
}

void BootLoader::onReqDefaultINFOA()
{
    if (traceEnabled) {
        qDebug() << "BootLoader::onReqDefaultINFOA()";
        qDebug().noquote() << "BEFORE:" << m_infoa.buildInfoA().toHex(' ');
    }
    if (!m_infoa.hasIdentity) {
        m_infoa.platformId0 = 4;
        m_infoa.platformId1 = 0;
    }
    if (m_firmware.isLoaded()) {
        m_infoa.platformId0 = m_firmware.platformId0();
        m_infoa.platformId1 = m_firmware.platformId1();
    }
    m_infoa.serialNumber = quint32(m_lineCardNumber);
    m_infoa.password = m_secretPassword.size() == PASSWORD_SIZE ? m_secretPassword
                                                                : defaultPassword();
    m_infoa.hasIdentity = true;
    m_infoa.applyFields();
    if (traceEnabled)
        qDebug().noquote() << "AFTER::" << m_infoa.buildInfoA().toHex(' ');
}

void BootLoader::onReqEraseINFOA()
{
    if (refusesSingleCommand())
        return;
    txAddressPacket(BSL_ERASE_SEGMENT, InfoASegment::SEGMENT_ADDRESS);
}

void BootLoader::onReqWriteINFOA()
{
    if (!refusesSingleCommand())
        writeInfoA();
}

bool BootLoader::writeInfoA()
{
    // A segment of another length would overwrite the card's calibration
    // data behind it or leave part of the segment erased.
    const QByteArray segment = m_infoa.buildInfoA();
    if (segment.size() != InfoASegment::SEGMENT_SIZE) {
        if (traceEnabled)
            qDebug() << "BootLoader::writeInfoA() refused, segment size" << segment.size();
        return false;
    }
    txPacket(BSL_RX_DATA_BLOCK, InfoASegment::SEGMENT_ADDRESS, segment);
    return true;
}

void BootLoader::onReqToggleLockINFOA()
{
    if (refusesSingleCommand())
        return;
    txSimplePacket(BSL_TOGGLE_INFO_LOCK);
}

void BootLoader::onReqCapacityCheck(uint16_t address)
{
    if (refusesSingleCommand())
        return;
    txAddressPacket(BSL_CAPACITY_CHECK, address);
}

void BootLoader::onReqBlankCheck(uint16_t address, uint16_t length)
{
    if (refusesSingleCommand())
        return;
    txPacket(BSL_BLANK_CHECK, address, le16(length));
}

void BootLoader::onReqPasswordInstall()
{
    if (m_secretPassword.size() != PASSWORD_SIZE || m_infoa.password.size() != PASSWORD_SIZE)
        return;
    m_infoa.password = m_secretPassword;
    m_infoa.applyFields();
}

// ------------------------------------------------------------- sequences

void BootLoader::onReqAppCodeInstall()
{
    if (m_firmware.isLoaded())
        beginSequence(PendingStart::Install);
    else
        enterState(BLS_FINISH_FAIL);
}

void BootLoader::onReqInitLineCard(int number)
{
    if (traceEnabled) {
        qDebug().noquote() << QStringLiteral("BootLoader::onReqInitLineCard(%1)").arg(number);
        qDebug() << "=================================";
    }
    if (m_secretPassword.size() != PASSWORD_SIZE)
        return;
    m_lineCardNumber = number;
    beginSequence(PendingStart::InitLineCard);
}

void BootLoader::beginSequence(PendingStart start)
{
    // A start while a sequence runs begins anew; what the card still
    // answers to the earlier one is drained first.
    if (busy())
        exchange.abandon();
    m_myState = BLS_IDLE;
    m_afterProof = BLS_IDLE;
    pendingStart = start;
    if (exchange.prepare())
        startPending();
}

void BootLoader::startPending()
{
    const PendingStart start = pendingStart;
    pendingStart = PendingStart::None;
    if (start == PendingStart::Install)
        enterState(BLS_DEVICE_ID);
    else if (start == PendingStart::InitLineCard)
        enterState(BLS_LOGIN_DEFAULT);
}

int BootLoader::installPageCount() const
{
    // Page 0 is always sent; later pages while they hold enough bytes.
    quint32 pages = 1;
    while (m_firmware.getPage(pages).size() >= MIN_PAGE_SIZE)
        ++pages;
    return int(pages);
}

void BootLoader::enterState(BslState n)
{
    if (traceEnabled) {
        qDebug() << "=================";
        qDebug().noquote() << QStringLiteral("enterState(%1)").arg(int(n));
        qDebug() << "=================";
    }
    switch (n) {
    case BLS_IDLE:
        break;
    case BLS_DEVICE_ID:
        m_myState = n;
        txSimplePacket(BSL_GET_DEVICE_ID);
        break;
    case BLS_CAPACITY:
    case BLS_FLASH_CAPACITY: {
        m_myState = BLS_FLASH_CAPACITY;
        quint16 probe = quint16(0xF000 - m_firmware.minimumFlash());
        const quint16 load = quint16(m_firmware.loadAddress() & 0xFFFF);
        if (load < probe)
            probe = load;
        txAddressPacket(BSL_CAPACITY_CHECK, probe);
        break;
    }
    case BLS_SRAM_CAPACITY:
        m_myState = n;
        txAddressPacket(BSL_CAPACITY_CHECK, quint16(m_firmware.minimumSram() + 0x1FE));
        break;
    case BLS_APP_CHECK:
        m_myState = n;
        txSimplePacket(BSL_APPLICATION_CHECK);
        break;
    case BLS_LOCK_INFOA:
        m_myState = n;
        m_lockToggles = 1;
        m_lastToggleAnswer = -1;
        txSimplePacket(BSL_TOGGLE_INFO_LOCK);
        break;
    case BLS_MASS_ERASE:
        m_myState = n;
        txSimplePacket(BSL_MASS_ERASE);
        break;
    case BLS_CRYPTO_IV:
        m_myState = n;
        txPacket(BSL_RX_CRYPTO_IV, quint16(m_firmware.loadAddress() & 0xFFFF),
                 m_firmware.cryptoIv());
        break;
    case BLS_APP_CODE:
        m_pageIndex = 0;
        m_pagesTotal = installPageCount();
        m_myState = n;
        txPacket(BSL_RX_APP_CODE, quint16(m_firmware.getPageAddress(0) & 0xFFFF),
                 m_firmware.getPage(0));
        break;
    case BLS_LOGIN_DEFAULT:
        m_myState = n;
        m_lastToggleAnswer = -1;
        sendDefaultPassword();
        break;
    case BLS_LOGIN_SECRET:
        m_myState = n;
        sendSecretPassword();
        break;
    case BLS_READ_INFOA:
        m_myState = n;
        readInfoA();
        break;
    case BLS_DEFAULT_INFOA:
        m_myState = n;
        onReqDefaultINFOA();
        break;
    case BLS_UNLOCK_INFOA:
        m_myState = n;
        txSimplePacket(BSL_TOGGLE_INFO_LOCK);
        break;
    case BLS_ERASE_INFOA:
        m_myState = n;
        txAddressPacket(BSL_ERASE_SEGMENT, InfoASegment::SEGMENT_ADDRESS);
        break;
    case BLS_WRITE_INFOA:
        m_myState = n;
        if (!writeInfoA())
            enterState(BLS_FINISH_FAIL);
        break;
    case BLS_RELOCK_INFOA:
        m_myState = n;
        m_lockToggles = 1;
        txSimplePacket(BSL_TOGGLE_INFO_LOCK);
        break;
    case BLS_FINISH_FAIL:
        // Answers of the failed attempt may still come: the exchange drops
        // them, and drains the link before the next sequence.
        if (busy())
            exchange.abandon();
        pendingStart = PendingStart::None;
        m_myState = BLS_IDLE;
        m_afterProof = BLS_IDLE;
        emit notifyBootLoaderResult(false);
        break;
    case BLS_FINISH_OK:
        exchange.finish();
        m_myState = BLS_IDLE;
        m_afterProof = BLS_IDLE;
        if (traceEnabled)
            qDebug() << "BLS_FINISH_OK";
        emit notifyBootLoaderResult(true);
        break;
    }
}

void BootLoader::advance(BslState next)
{
    const bool decisive = next == BLS_MASS_ERASE || next == BLS_ERASE_INFOA
                          || next == BLS_FINISH_OK;
    if (decisive && !exchange.confirm()) {
        m_afterProof = next;
        return;
    }
    enterState(next);
}

void BootLoader::onConfirmed()
{
    const BslState next = m_afterProof;
    m_afterProof = BLS_IDLE;
    if (inSequence() && next != BLS_IDLE)
        enterState(next);
}

// -------------------------------------------------------------- replies

void BootLoader::onRxPacket(const QByteArray &packet)
{
    if (traceEnabled) {
        qDebug().noquote()
            << QStringLiteral("BootLoader::onRxPacket() myState=%1").arg(int(m_myState));
        qDebug().noquote() << "BootLoader::onRxPacket() packet=" << packet.toHex(' ');
    }
    exchange.onPacket(packet);
}

void BootLoader::onConfused(const QByteArray &packet)
{
    exchange.onConfused(packet);
}

void BootLoader::onAnswer(const QByteArray &packet)
{
    const BslReply reply = BslReply::fromPacket(packet);
    if (replyPreStep(reply) && inSequence())
        stateStep(reply);
}

void BootLoader::onAnswerLost()
{
    // A toggle may have been carried out all the same: sending it again is
    // one more toggle, and its answer tells the state.
    if (m_myState == BLS_LOCK_INFOA || m_myState == BLS_RELOCK_INFOA) {
        if (m_lockToggles >= MAX_LOCK_TOGGLES) {
            enterState(BLS_FINISH_FAIL);
            return;
        }
        ++m_lockToggles;
        m_lastToggleAnswer = -1; // the state is not known any more
    }
    if (traceEnabled)
        qDebug() << "================== RE-SEND LAST PACKET "
                    "======================================================";
    exchange.resend();
}

void BootLoader::onExchangeFailed(BslExchange::Failure failure, const QByteArray &packet)
{
    if (failure == BslExchange::Failure::UnexpectedAnswer)
        emit notifyUnexpectedAnswer(packet);
    if (busy())
        enterState(BLS_FINISH_FAIL);
}

bool BootLoader::replyPreStep(const BslReply &reply)
{
    if (reply.isDataReply()) {
        if (traceEnabled)
            qDebug().noquote() << QStringLiteral("switch(%1)").arg(m_lastTxOpcode);
        switch (m_lastTxOpcode) {
        case BSL_CRC_CHECK:
            m_crcValue = reply.value16();
            return false;
        case BSL_TX_DATA_BLOCK:
            m_infoaBytes = reply.data;
            if (m_infoaReadPending) {
                m_infoa.parseInfoA(m_infoaBytes);
                emit notifyLineCardSerialNumber(m_infoa.serialNumber);
            }
            m_infoaReadPending = false;
            return true;
        case BSL_TX_BSL_VERSION:
            m_bslVersion = reply.value32();
            if (m_bslVersionRequested)
                emit notifyBslVersion(m_bslVersion);
            m_bslVersionRequested = false;
            return false;
        case BSL_TX_BUFFER_SIZE:
            m_bufferSize = reply.value16();
            return false;
        case BSL_GET_DEVICE_ID:
            m_deviceId = reply.data;
            return true;
        default:
            return true;
        }
    }
    if (reply.isMessageReply()) {
        if (traceEnabled)
            qDebug().noquote() << QStringLiteral("lastTxOpcode:%1").arg(m_lastTxOpcode);
        if (m_lastTxOpcode == BSL_RX_PASSWORD) {
            m_rxMessage = reply.messageCode();
            if (traceEnabled)
                qDebug().noquote() << QStringLiteral("rxMessage:%1").arg(m_rxMessage);
            if (m_rxMessage != 0) {
                qDebug("Password FAIL");
                // In the initialisation sequence the state step sends the
                // secret password itself; sending it here too would make the
                // card answer twice.
                if (m_defaultPasswordSent && !busy())
                    sendSecretPassword();
            } else {
                qDebug("Password OK");
            }
            m_defaultPasswordSent = false;
        }
        return true;
    }
    return true;
}

void BootLoader::stateStep(const BslReply &reply)
{
    switch (m_myState) {
    case BLS_DEVICE_ID:
        // Only a data reply is an identity; a message would pass the check
        // with nothing compared.
        if (m_lastTxOpcode == BSL_GET_DEVICE_ID && reply.isDataReply()) {
            m_deviceId = reply.data;
            enterState(checkDeviceId() ? BLS_CAPACITY : BLS_FINISH_FAIL);
        } else {
            enterState(BLS_FINISH_FAIL);
        }
        break;
    case BLS_FLASH_CAPACITY:
        checkMessageCode(reply, BLS_SRAM_CAPACITY, BLS_FINISH_FAIL);
        break;
    case BLS_SRAM_CAPACITY:
        checkMessageCode(reply, BLS_LOCK_INFOA, BLS_FINISH_FAIL);
        break;
    case BLS_APP_CHECK:
        checkMessageCode(reply, BLS_FINISH_OK, BLS_FINISH_FAIL);
        break;
    case BLS_LOCK_INFOA:
    case BLS_RELOCK_INFOA: {
        // Toggle until the card reports the segment locked. A toggle changes
        // the state, so a card answers "unlocked" and "locked" in turn:
        // "locked" counts only right after "unlocked", and one that stands
        // in for a lost "unlocked" cannot pass.
        const quint8 code = reply.messageCode();
        m_rxMessage = code;
        const int previous = m_lastToggleAnswer;
        m_lastToggleAnswer = code <= 1 ? code : -1;
        if (code == 1 && previous == 0) {
            advance(m_myState == BLS_LOCK_INFOA ? BLS_MASS_ERASE : BLS_FINISH_OK);
        } else if (code <= 1 && m_lockToggles < MAX_LOCK_TOGGLES) {
            ++m_lockToggles;
            txSimplePacket(BSL_TOGGLE_INFO_LOCK);
        } else {
            enterState(BLS_FINISH_FAIL);
        }
        break;
    }
    case BLS_MASS_ERASE:
        checkMessageCode(reply, BLS_CRYPTO_IV, BLS_FINISH_FAIL);
        break;
    case BLS_CRYPTO_IV:
        checkMessageCode(reply, BLS_APP_CODE, BLS_FINISH_FAIL);
        break;
    case BLS_APP_CODE: {
        const quint8 code = reply.messageCode();
        m_rxMessage = code;
        if (code != 0) {
            enterState(BLS_FINISH_FAIL);
            break;
        }
        emit notifyInstallProgress(int(m_pageIndex) + 1, m_pagesTotal);
        ++m_pageIndex;
        const QByteArray page = m_firmware.getPage(m_pageIndex);
        if (page.size() >= MIN_PAGE_SIZE)
            txPacket(BSL_RX_APP_CODE, quint16(m_firmware.getPageAddress(m_pageIndex) & 0xFFFF),
                     page);
        else
            enterState(BLS_APP_CHECK);
        break;
    }
    case BLS_LOGIN_DEFAULT:
        checkMessageCode(reply, BLS_READ_INFOA, BLS_LOGIN_SECRET);
        break;
    case BLS_LOGIN_SECRET:
        checkMessageCode(reply, BLS_READ_INFOA, BLS_FINISH_FAIL);
        break;
    case BLS_READ_INFOA:
        // The segment is erased next: go on only with a segment read from
        // this card that can be written back whole and holds the identity.
        if (!reply.isDataReply() || m_lastTxOpcode != BSL_TX_DATA_BLOCK) {
            enterState(BLS_FINISH_FAIL);
            break;
        }
        enterState(BLS_DEFAULT_INFOA);
        if (m_infoa.buildInfoA().size() != InfoASegment::SEGMENT_SIZE
            || !m_infoa.tags.contains(char(InfoASegment::TAG_IDENTITY)))
            enterState(BLS_FINISH_FAIL);
        else
            enterState(BLS_UNLOCK_INFOA);
        break;
    case BLS_UNLOCK_INFOA:
        m_lastToggleAnswer = reply.messageCode() == 0 ? 0 : -1;
        checkMessageCode(reply, BLS_ERASE_INFOA, BLS_FINISH_FAIL);
        break;
    case BLS_ERASE_INFOA:
        checkMessageCode(reply, BLS_WRITE_INFOA, BLS_FINISH_FAIL);
        break;
    case BLS_WRITE_INFOA:
        checkMessageCode(reply, BLS_RELOCK_INFOA, BLS_FINISH_FAIL);
        break;
    default:
        break;
    }
}

void BootLoader::checkMessageCode(const BslReply &reply, BslState okState, BslState failState)
{
    if (!reply.isMessageReply()) {
        if (traceEnabled)
            qDebug() << "checkMessageCode() not a message";
        enterState(failState);
        return;
    }
    m_rxMessage = reply.messageCode();
    const BslState next = m_rxMessage == 0 ? okState : failState;
    if (traceEnabled) {
        qDebug().noquote() << QStringLiteral("checkMessageCode(%1,%2) code=%3 newState=%4")
                                  .arg(int(okState))
                                  .arg(int(failState))
                                  .arg(m_rxMessage)
                                  .arg(int(next));
        if (next != failState)
            qDebug().noquote()
                << QStringLiteral("checkMessageCode OK -> new state %1").arg(int(next));
        else
            qDebug().noquote()
                << QStringLiteral("checkMessageCode FAIL -> error state %1").arg(int(next));
    }
    advance(next);
}

bool BootLoader::checkDeviceId() const
{
    const QStringList pattern =
        m_firmware.headerValue(QStringLiteral("DEVICE_ID")).split(QLatin1Char(' '));
    const int count = qMin(pattern.size(), m_deviceId.size());
    for (int i = 0; i < count; ++i) {
        const QString &token = pattern.at(i);
        if (token == QLatin1String("??"))
            continue;
        quint32 value = 0;
        if (!FirmwareImage::parseHex(token, 0xFFFFFFFFu, &value))
            value = 0;
        if (quint8(value & 0xFF) != quint8(m_deviceId.at(i)))
            return false;
    }
    return true;
}

// ------------------------------------------------------------- time-out

void BootLoader::onTimeout()
{
    if (traceEnabled)
        qDebug()
            << "===================== BootLoader::onTimeout() ===================================";
    exchange.onReplyTimeout();
}
