#include "emulator/EmulatedLineCard.h"

#include "emulator/EmulatorCodec.h"

#include <algorithm>
#include <climits>

EmulatedLineCard::EmulatedLineCard(const EmulatedCardIdentity &identity, int number)
    : identity(identity), number(number)
{
    bsl.setBoard(identity.blockManufacturer, identity.blockType);
}

void EmulatedLineCard::setIdentity(const EmulatedCardIdentity &newIdentity)
{
    identity = newIdentity;
    bsl.setBoard(identity.blockManufacturer, identity.blockType);
}

void EmulatedLineCard::receive(const QByteArray &body, qint64 arrivalUs)
{
    const int k = ++commandNumber;
    if (faults.stopFrom > 0 && k >= faults.stopFrom)
        return; // pulled out: the command reaches nobody

    commands.append(body);
    if (commands.size() > maxKeptCommands)
        commands.removeFirst();
    if (!body.isEmpty())
        ++countByOpcode[quint8(body.at(0)) & EmulatorCodec::opcodeMask];

    busyUntilUs = std::max(arrivalUs, busyUntilUs) + replyDelayUs(k);
    waiting.push_back({k, body, busyUntilUs});
}

qint64 EmulatedLineCard::nextDueUs() const
{
    return waiting.empty() ? noTime : waiting.front().dueUs;
}

QByteArray EmulatedLineCard::carryOutNext(int *answered)
{
    if (waiting.empty())
        return {};
    const Waiting command = waiting.front();
    waiting.pop_front();
    const int k = command.number;
    if (answered)
        *answered = k;
    QByteArray answer = covers(faults.confused, k) ? confusedBody() : replyBody(command.body);
    if (covers(faults.shorten, k))
        answer.truncate(2);
    QByteArray stream;
    for (const QByteArray &body : faults.straysBefore.value(k))
        stream += packetFromBody(body);
    if (!answer.isEmpty() && !covers(faults.drop, k)) {
        QByteArray reply = packetFromBody(answer);
        if (covers(faults.corrupt, k))
            reply = corrupted(reply);
        stream += reply;
        if (covers(faults.duplicate, k))
            stream += reply;
    }
    for (const QByteArray &body : faults.straysAfter.value(k))
        stream += packetFromBody(body);
    return stream;
}

qint64 EmulatedLineCard::replyDelayUs(int k) const
{
    qint64 delay = 0;
    for (const SlowSpan &slow : faults.slow) {
        if (k >= slow.span.first && k <= slow.span.last)
            delay = std::max(delay, slow.delayUs);
    }
    return delay;
}

QByteArray EmulatedLineCard::replyBody(const QByteArray &command)
{
    if (command.size() < 3)
        return confusedBody();
    const quint8 opcode = quint8(command.at(0)) & EmulatorCodec::opcodeMask;
    QByteArray body;
    switch (opcode) {
    case EmulatorCodec::bootloader:
        return handleBootloader(command);
    case EmulatorCodec::frameInterval:
        body = command.left(3);
        body[0] = char(opcode);
        return body;
    case EmulatorCodec::lineCardInfo:
        // Identify names one card; the others keep quiet.
        if ((quint8(command.at(0)) & EmulatorCodec::namesCard)
            && EmulatorCodec::argumentValue(command.at(1), command.at(2)) != number)
            return {};
        return infoBody(command);
    case EmulatorCodec::flashVersion:
        if (!bsl.applicationRunning())
            return confusedBody();
        body = QByteArray::fromHex("06FFFF");
        body += EmulatorCodec::le32(carriedVersion);
        body += EmulatorCodec::le32(installedVersion);
        return body;
    case EmulatorCodec::reflashAction:
        if (!bsl.applicationRunning())
            return confusedBody();
        if (reflashSucceeds)
            installedVersion = carriedVersion;
        body = QByteArray::fromHex("07FFFF");
        body.append(char(reflashSucceeds ? 1 : 0));
        return body;
    case EmulatorCodec::listen:
        return char(opcode) + listenEntries;
    case EmulatorCodec::continuity:
        return char(opcode) + continuityEntries;
    case EmulatorCodec::ledRed:
    case EmulatorCodec::ledGreen:
    case EmulatorCodec::ledYellow:
    case EmulatorCodec::ledOff:
    case EmulatorCodec::ledOn:
    case EmulatorCodec::ledFlashSlow:
        led = opcode;
        body.append(char(opcode));
        body.append("\xFF\xFF", 2);
        return body;
    default:
        return confusedBody();
    }
}

QByteArray EmulatedLineCard::handleBootloader(const QByteArray &command)
{
    const QByteArray reply = bsl.handle(command.mid(3));
    if (reply.isEmpty())
        return {};
    QByteArray body;
    body.append(char(EmulatorCodec::bootloader));
    body.append("\xFF\xFF", 2);
    return body + reply;
}

QByteArray EmulatedLineCard::infoBody(const QByteArray &command) const
{
    QByteArray body;
    body.append(char(EmulatorCodec::lineCardInfo));
    body.append(command.mid(1, 2));
    body.append(char(identity.productId));
    body.append(char(identity.platformId));
    body.append(char(identity.blockManufacturer));
    body.append(char(identity.blockType));
    body.append(char(identity.pairByte));
    body.append(reinterpret_cast<const char *>(identity.infoBytes), 4);
    body += EmulatorCodec::le32(identity.serialNumber);
    body += EmulatorCodec::le32(identity.secondWord);
    return body;
}

QByteArray EmulatedLineCard::confusedBody()
{
    return QByteArray::fromHex("00FFFF");
}

QByteArray EmulatedLineCard::packetFromBody(const QByteArray &body)
{
    return EmulatorCodec::encodePacket(body);
}

QByteArray EmulatedLineCard::corrupted(const QByteArray &packet)
{
    // The first byte moves by one: never to 0x00 (which would cut the packet
    // elsewhere) and never by a multiple of 255, so the Fletcher sum fails.
    QByteArray bad = packet;
    if (!bad.isEmpty()) {
        const quint8 b = quint8(bad.at(0));
        bad[0] = char(b == 0x01 ? 0x02 : b - 1);
    }
    return bad;
}

void EmulatedLineCard::duplicateReplyTo(int k)
{
    addSpan(faults.duplicate, k, 1);
}

void EmulatedLineCard::strayBefore(int k, const QByteArray &body)
{
    faults.straysBefore[k].append(body);
}

void EmulatedLineCard::strayAfter(int k, const QByteArray &body)
{
    faults.straysAfter[k].append(body);
}

void EmulatedLineCard::setFlashVersions(quint32 carried, quint32 installed)
{
    carriedVersion = carried;
    installedVersion = installed;
}

void EmulatedLineCard::setReflashSucceeds(bool succeeds)
{
    reflashSucceeds = succeeds;
}

void EmulatedLineCard::setListenEntries(const QByteArray &entries)
{
    listenEntries = entries.left(maxEntryBytes);
}

void EmulatedLineCard::setContinuityEntries(const QByteArray &entries)
{
    continuityEntries = entries.left(maxEntryBytes);
}

bool EmulatedLineCard::covers(const QList<Span> &spans, int k)
{
    for (const Span &span : spans) {
        if (k >= span.first && k <= span.last)
            return true;
    }
    return false;
}

void EmulatedLineCard::addSpan(QList<Span> &spans, int first, int count)
{
    if (count > 0)
        spans.append({first, int(qMin<qint64>(qint64(first) + count - 1, INT_MAX))});
}

void EmulatedLineCard::dropReplyTo(int k)
{
    addSpan(faults.drop, k, 1);
}

void EmulatedLineCard::dropNextReplies(int n)
{
    addSpan(faults.drop, commandNumber + 1, n);
}

void EmulatedLineCard::corruptReplyTo(int k)
{
    addSpan(faults.corrupt, k, 1);
}

void EmulatedLineCard::corruptNextReply()
{
    addSpan(faults.corrupt, commandNumber + 1, 1);
}

void EmulatedLineCard::confusedReplyTo(int k)
{
    addSpan(faults.confused, k, 1);
}

void EmulatedLineCard::confusedNextReplies(int n)
{
    addSpan(faults.confused, commandNumber + 1, n);
}

void EmulatedLineCard::stopAnsweringFrom(int k)
{
    faults.stopFrom = qMax(k, 1);
}

void EmulatedLineCard::stopAnsweringAfter(int commandsMore)
{
    faults.stopFrom = commandNumber + qMax(commandsMore, 0) + 1;
}

void EmulatedLineCard::slowReplyTo(int k, int ms)
{
    faults.slow.append({{k, k}, std::max<qint64>(qint64(ms) * 1000, 0)});
}

void EmulatedLineCard::slowRepliesFrom(int k, int ms)
{
    faults.slow.append({{k, INT_MAX}, std::max<qint64>(qint64(ms) * 1000, 0)});
}

void EmulatedLineCard::shortReplyTo(int k)
{
    addSpan(faults.shorten, k, 1);
}
