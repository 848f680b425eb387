// Raw bytes from the controller through the manager's own receive path:
// frame queue, per-card packet streams, checked packets, the per-opcode
// dispatch into the card records and the bootloader tunnel.
//
// Input: a set-up byte that picks the command sent first (which also selects
// the link mode and clears the receive side, as before any real reply), its
// argument byte, a chunk-size byte (0: one chunk), then the bytes as the USB
// chip delivers them.
//
// One manager serves the whole run. Its worker has no device and is cut off
// from the manager's writes; queued calls on this thread are delivered after
// each chunk, as the event loop would; timers never fire.

#include "FuzzSupport.h"

#include "controller/CardInfo.h"
#include "controller/Opcodes.h"
#include "controller/VX420Controller.h"
#include "emulator/EmulatedD2xx.h"

#include <QByteArray>
#include <QObject>

#include <functional>
#include <memory>
#include <vector>

namespace {

VX420Controller *controller = nullptr;
bool inReceive = false;
QByteArray lastWritten;

void checkCard(int card)
{
    FUZZ_CHECK(card >= 0);
    FUZZ_CHECK(controller->lineCardInfo(card) != nullptr);
}

void connectChecks(VX420Controller *c)
{
    QObject::disconnect(c, &VX420Controller::reqWrite, nullptr, nullptr);
    QObject::connect(c, &VX420Controller::reqWrite, [](const QByteArray &bytes) {
        FUZZ_CHECK(bytes.size() >= 7);
        // Inside the receive path only the one-time re-send after a
        // confused reply writes, and it repeats the last transmission.
        if (inReceive)
            FUZZ_CHECK(bytes == lastWritten);
        lastWritten = bytes;
    });
    QObject::connect(c, &VX420Controller::notifyLineCardInfo, [](int card) {
        checkCard(card);
        const CardInfo *info = controller->lineCardInfo(card);
        FUZZ_CHECK(info->blockPairCount >= 1 && info->blockPairCount <= 128);
        FUZZ_CHECK(info->wiresPerPair == 2 || info->wiresPerPair == 4);
    });
    QObject::connect(c, &VX420Controller::notifyCardRemoved, [](int card) {
        checkCard(card);
        FUZZ_CHECK(controller->lineCardInfo(card)->presence == CardInfo::PresenceRemoved);
    });
    QObject::connect(c, &VX420Controller::notifyCardInserted, [](int card) {
        checkCard(card);
        FUZZ_CHECK(controller->lineCardInfo(card)->presence == CardInfo::PresencePresent);
        FUZZ_CHECK(controller->lineCardInfo(card)->active);
    });
    QObject::connect(c, &VX420Controller::notifyListenResult, [](int card) { checkCard(card); });
    QObject::connect(c, &VX420Controller::notifyLineCardApplicationError,
                     [](int card) { checkCard(card); });
    QObject::connect(c, &VX420Controller::notifyFrameRate, [](int card, int value) {
        checkCard(card);
        FUZZ_CHECK(value >= 0 && value <= 255 + 255 * 255);
    });
    QObject::connect(c, &VX420Controller::notifyLed, [](int card, int opcode) {
        checkCard(card);
        FUZZ_CHECK(opcode == OPCODE_LED_20 || opcode == OPCODE_LED_RED || opcode == OPCODE_LED_GREEN
                   || opcode == OPCODE_LED_YELLOW || opcode == OPCODE_LED_OFF
                   || opcode == OPCODE_LED_ON);
    });
    QObject::connect(c, &VX420Controller::notifySeriousError, [](int code) {
        FUZZ_CHECK(inReceive && code == VX420Controller::SeriousErrorFrame);
    });
    QObject::connect(c, &VX420Controller::notifyRxBootLoaderPacket, [](const QByteArray &packet) {
        FUZZ_CHECK(!packet.isEmpty() && (quint8(packet.at(0)) & OPCODE_MASK) == OPCODE_BOOTLOADER);
    });
}

// The first transmission of an input; every one clears the receive side.
// Sequences of the bootloader are not started: they would carry state from
// one input to the next.
const std::vector<std::function<void(VX420Controller &, quint8)>> setUps = {
    [](VX420Controller &c, quint8 arg) { c.onReqCmdIdentify(arg); },
    [](VX420Controller &c, quint8) { c.onReqCmdFrameInterval(12500); },
    [](VX420Controller &c, quint8) { c.onReqFlashVersion(); },
    [](VX420Controller &c, quint8) { c.onReqReflashAction(); },
    [](VX420Controller &c, quint8) { c.onReqCmdLedGreen(); },
    [](VX420Controller &c, quint8) { c.onReqCmdLedRed(); },
    [](VX420Controller &c, quint8) { c.onReqCmdBeacon(); },
    [](VX420Controller &c, quint8) { c.onReqCmdClamp(); },
    [](VX420Controller &c, quint8) { c.onReqCmdContinuity(); },
    [](VX420Controller &c, quint8) { c.onReqCmdFastFrames(); },
    [](VX420Controller &c, quint8) { c.onReqCmdGetLineCardInfo(); },
    [](VX420Controller &c, quint8) { c.onReqCmdListen(); },
    [](VX420Controller &c, quint8) { c.onReqCmdLedFlashSlow(); },
    [](VX420Controller &c, quint8) { c.onReqBootLoaderVersion(); },
    [](VX420Controller &c, quint8) { c.onReqBootLoaderBufferSize(); },
    [](VX420Controller &c, quint8) { c.onReqBootLoaderDeviceId(); },
    [](VX420Controller &c, quint8) { c.onReqBootLoaderPlatformId(); },
    [](VX420Controller &c, quint8) { c.onReqBootLoaderLogin(); },
    [](VX420Controller &c, quint8) { c.onReqBootLoaderLoginSecret(); },
    [](VX420Controller &c, quint8) { c.onReqBootLoaderReadINFOA(); },
    [](VX420Controller &c, quint8) { c.onReqBootLoaderEraseINFOA(); },
    [](VX420Controller &c, quint8) { c.onReqBootLoaderUnlockINFOA(); },
    [](VX420Controller &c, quint8) { c.onReqBootLoaderCapacityCheck(); },
};

void deliverQueuedCalls()
{
    QCoreApplication::sendPostedEvents();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::setUpQt();
    auto device = std::make_shared<EmulatedD2xx>(EmulatedD2xx::Timing::Instant);
    controller = new VX420Controller(nullptr, device);
    controller->setSecretPassword("0123456789ABCDEF");
    connectChecks(controller);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const quint8 setUp = in.byte();
    const quint8 argument = in.byte();
    const quint8 chunkSize = in.byte();

    controller->resetCardInfoList(0);
    setUps.at(setUp % setUps.size())(*controller, argument);
    deliverQueuedCalls();
    FUZZ_CHECK(controller->linkMode() != VX420Controller::Idle);

    while (!in.atEnd()) {
        const QByteArray chunk = in.bytes(chunkSize == 0 ? in.remaining() : chunkSize);
        inReceive = true;
        controller->processRxBytes(chunk);
        inReceive = false;
        deliverQueuedCalls();
    }
    return 0;
}
