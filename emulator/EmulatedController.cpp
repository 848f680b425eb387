#include "emulator/EmulatedController.h"

#include "emulator/EmulatedLineCard.h"
#include "emulator/EmulatorCodec.h"

#include <algorithm>

EmulatedController::EmulatedController(bool wireTiming) : wire(wireTiming)
{ }

EmulatedController::~EmulatedController() = default;

int EmulatedController::addCard(const EmulatedCardIdentity &identity)
{
    if (cardCount() >= maxCards)
        return -1;
    cards.push_back(std::make_unique<EmulatedLineCard>(identity, cardCount() + 1));
    output.emplace_back();
    taken.push_back(0);
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
        if (!EmulatorCodec::isCompletePacket(packet))
            continue;
        if (EmulatorCodec::fletcher16(packet) != 0)
            drop(events, "checksum", startUs);
        else
            dispatch(EmulatorCodec::decodePacket(packet), arrival(i));
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
    if (body.size() >= 3
        && (quint8(body.at(0)) & EmulatorCodec::opcodeMask) == EmulatorCodec::frameInterval)
        intervalUs = quint32(EmulatorCodec::argumentValue(body.at(1), body.at(2))) * 10;
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
        if (cardDueUs <= frameDueUs) {
            int command = 0;
            const QByteArray reply = cards[size_t(card)]->carryOutNext(&command);
            queueReply(card, reply, cardDueUs, command);
        } else {
            nextFrame(events);
        }
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

void EmulatedController::setLineFault(int card, int k, LineFault fault)
{
    lineFaults.append({card, k, fault});
}

void EmulatedController::queueReply(int card, const QByteArray &reply, qint64 readyUs, int command)
{
    if (reply.isEmpty())
        return;
    for (PlannedFault &planned : lineFaults) {
        if (planned.card == card && planned.command == command && planned.at < 0)
            planned.at = taken[size_t(card)] + output[size_t(card)].size() + reply.size() / 2;
    }
    if (!outputWaiting()) {
        // The first frame goes out one interval after the answer is ready,
        // and never sooner than one interval after the last frame.
        nextTickUs = wire ? readyUs + intervalUs : readyUs;
        if (wire && ticked)
            nextTickUs = std::max(nextTickUs, lastTickUs + qint64(intervalUs));
    }
    output[size_t(card)].append(reply);
}

void EmulatedController::nextFrame(QList<ControllerEvent> &events)
{
    // One byte of every card's stream; a card with nothing (left) to send
    // fills its slot.
    QByteArray slotBytes;
    QList<LineFault> faults;
    for (size_t card = 0; card < output.size(); ++card) {
        QByteArray &bytes = output[card];
        if (bytes.isEmpty()) {
            slotBytes.append(char(slotFiller));
            continue;
        }
        for (int i = 0; i < lineFaults.size(); ++i) {
            if (lineFaults.at(i).card == int(card) && lineFaults.at(i).at == taken[card]) {
                faults.append(lineFaults.at(i).fault);
                lineFaults.removeAt(i--);
            }
        }
        slotBytes.append(bytes.at(0));
        bytes.remove(0, 1);
        ++taken[card];
    }
    ControllerEvent event;
    event.kind = ControllerEvent::Kind::Frame;
    event.bytes = EmulatorCodec::encodeFrame(slotBytes);
    QList<QByteArray> notes;
    for (LineFault fault : faults)
        notes.append(damage(event.bytes, fault));
    if (wire) {
        event.startUs = std::max(nextTickUs, lineFreeUs);
        event.timeUs = event.startUs + charactersUs(event.bytes.size());
        lineFreeUs = event.timeUs;
    } else {
        event.startUs = event.timeUs = nextTickUs;
    }
    for (const QByteArray &note : notes) {
        ControllerEvent line;
        line.kind = ControllerEvent::Kind::Note;
        line.startUs = line.timeUs = event.startUs;
        line.bytes = note;
        events.append(line);
    }
    events.append(event);
    lastTickUs = nextTickUs;
    ticked = true;
    if (wire)
        nextTickUs += intervalUs;
}

QByteArray EmulatedController::damage(QByteArray &frame, LineFault fault) const
{
    // The first slot byte's place in the frame: behind the code byte. A
    // frame always has it, since a fault strikes a frame that carries one.
    const int at = 1;
    const QByteArray was = EmulatorCodec::hex(frame.mid(at, 1));
    switch (fault) {
    case LineFault::Flip: {
        quint8 b = quint8(frame.at(at)) ^ 0x10;
        if (b == 0)
            b = 0x11;
        frame[at] = char(b);
        return "line-flip " + QByteArray::number(at) + ' ' + was + ' '
               + EmulatorCodec::hex(frame.mid(at, 1));
    }
    case LineFault::Lose:
        frame.remove(at, 1);
        return "line-lose " + QByteArray::number(at) + ' ' + was;
    case LineFault::Extra:
        frame.insert(at, char(0x5A));
        return "line-extra " + QByteArray::number(at) + " 5A";
    }
    return {};
}
