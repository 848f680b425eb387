#include "emulator/EmulatedController.h"

#include "controller/Opcodes.h"
#include "controller/PacketCodec.h"
#include "controller/RawPacket.h"
#include "emulator/EmulatedLineCard.h"

#include <algorithm>

namespace {

// One base-255 argument digit; 0xFF stands for 0.
int digitValue(char digit)
{
    return quint8(digit) == 0xFF ? 0 : quint8(digit);
}

} // namespace

EmulatedController::EmulatedController(bool wireTiming) : wire(wireTiming) {}

EmulatedController::~EmulatedController() = default;

int EmulatedController::addCard(const EmulatedCardIdentity &identity)
{
    if (cardCount() >= maxCards)
        return -1;
    cards.push_back(std::make_unique<EmulatedLineCard>(identity));
    output.emplace_back();
    return cardCount() - 1;
}

qint64 EmulatedController::charactersUs(qint64 n)
{
    return (n * 11 * 1000000 + 9599) / 9600;
}

QByteArray EmulatedController::ignoreReason(const EmulatedLineState &line)
{
    if (line.baudRate != 9600 || line.wordLength != FT_BITS_8 || line.stopBits != FT_STOP_BITS_2
        || line.parity != FT_PARITY_NONE)
        return "ignored-line-settings";
    if (!line.lineCardPath)
        return "ignored-pins";
    return {};
}

QList<ControllerEvent> EmulatedController::receive(const QByteArray &bytes, bool afterBreak,
                                                   const EmulatedLineState &line, qint64 startUs)
{
    QList<ControllerEvent> events;
    if (bytes.isEmpty())
        return events;
    // When byte i has been received completely.
    const auto arrival = [&](int i) { return wire ? startUs + charactersUs(i + 1) : startUs; };

    // Rejections are reported when the transmission starts, so that none is
    // announced for a time that a later call may never reach.
    const QByteArray ignored = ignoreReason(line);
    if (!ignored.isEmpty()) {
        drop(events, ignored, startUs);
        return events;
    }
    if (!afterBreak) {
        drop(events, "no-break", startUs);
        return events;
    }
    if (quint8(bytes.at(0)) != syncByte) {
        drop(events, "no-sync", startUs);
        return events;
    }

    QByteArray packet;
    for (int i = 1; i < bytes.size(); ++i) {
        packet.append(bytes.at(i));
        if (!PacketCodec::isCompletePacket(packet))
            continue;
        if (PacketCodec::fletcher16(packet) != 0)
            drop(events, "checksum", startUs);
        else
            dispatch(RawPacket::toLocalFormat(packet), arrival(i));
        packet.clear();
    }
    if (!packet.isEmpty())
        drop(events, "incomplete", startUs);
    return events;
}

void EmulatedController::drop(QList<ControllerEvent> &events, const QByteArray &reason,
                              qint64 timeUs)
{
    ++dropCount;
    dropReasons.append(reason);
    if (dropReasons.size() > maxKeptDropReasons)
        dropReasons.removeFirst();
    ControllerEvent event;
    event.kind = ControllerEvent::Kind::Drop;
    event.startUs = event.timeUs = timeUs;
    event.bytes = reason;
    events.append(event);
}

void EmulatedController::dispatch(const QByteArray &body, qint64 lastByteUs)
{
    if (body.size() >= 3 && (quint8(body.at(0)) & OPCODE_MASK) == OPCODE_FRAME_INTERVAL)
        intervalUs = quint32(digitValue(body.at(1)) + 255 * digitValue(body.at(2))) * 10;
    for (const auto &card : cards)
        card->receive(body, lastByteUs);
}

QList<ControllerEvent> EmulatedController::advance(qint64 nowUs)
{
    QList<ControllerEvent> events;
    for (;;) {
        int card = -1;
        qint64 cardDueUs = EmulatedLineCard::noTime;
        for (int i = 0; i < cardCount(); ++i) {
            if (cards[size_t(i)]->nextDueUs() < cardDueUs) {
                cardDueUs = cards[size_t(i)]->nextDueUs();
                card = i;
            }
        }
        const qint64 frameDueUs = outputWaiting() ? nextTickUs : EmulatedLineCard::noTime;
        if (std::min(cardDueUs, frameDueUs) > nowUs)
            break;
        // An answer ready at a frame's time goes into that frame.
        if (cardDueUs <= frameDueUs)
            queueReply(card, cards[size_t(card)]->carryOutNext(), cardDueUs);
        else
            events.append(nextFrame());
    }
    return events;
}

void EmulatedController::strayReply(int card, const QByteArray &body, qint64 nowUs)
{
    if (card >= 0 && card < cardCount())
        queueReply(card, EmulatedLineCard::packetFromBody(body), nowUs);
}

bool EmulatedController::outputWaiting() const
{
    for (const QByteArray &bytes : output) {
        if (!bytes.isEmpty())
            return true;
    }
    return false;
}

void EmulatedController::queueReply(int card, const QByteArray &reply, qint64 readyUs)
{
    if (reply.isEmpty())
        return;
    if (!outputWaiting()) {
        // The first frame goes out one interval after the answer is ready,
        // and never sooner than one interval after the last frame.
        nextTickUs = wire ? readyUs + intervalUs : readyUs;
        if (wire && ticked)
            nextTickUs = std::max(nextTickUs, lastTickUs + qint64(intervalUs));
    }
    output[size_t(card)].append(reply);
}

ControllerEvent EmulatedController::nextFrame()
{
    // One byte of every card's stream; a card with nothing (left) to send
    // fills its slot with 0xFF.
    QByteArray slotBytes;
    for (QByteArray &bytes : output) {
        slotBytes.append(bytes.isEmpty() ? '\xFF' : bytes.at(0));
        if (!bytes.isEmpty())
            bytes.remove(0, 1);
    }
    ControllerEvent event;
    event.kind = ControllerEvent::Kind::Frame;
    event.bytes = PacketCodec::encodeFrame(slotBytes);
    if (wire) {
        event.startUs = std::max(nextTickUs, lineFreeUs);
        event.timeUs = event.startUs + charactersUs(event.bytes.size());
        lineFreeUs = event.timeUs;
    } else {
        event.startUs = event.timeUs = nextTickUs;
    }
    lastTickUs = nextTickUs;
    ticked = true;
    if (wire)
        nextTickUs += intervalUs;
    return event;
}
