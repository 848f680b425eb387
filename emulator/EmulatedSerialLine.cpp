#include "emulator/EmulatedSerialLine.h"

#include "emulator/EmulatedController.h"
#include "emulator/EmulatedRxQueue.h"

#include <algorithm>

EmulatedSerialLine::EmulatedSerialLine(EmulatedController &farEnd, bool wireTiming)
    : controller(farEnd), wire(wireTiming), rx(std::make_unique<EmulatedRxQueue>())
{
    // On the wire the chip hands received bytes over in USB packets.
    rx->setPackets(wire);
}

EmulatedSerialLine::~EmulatedSerialLine() = default;

void EmulatedSerialLine::setDataCharacteristics(quint8 wordLength, quint8 stopBits, quint8 parity)
{
    line.wordLength = wordLength;
    line.stopBits = stopBits;
    line.parity = parity;
}

void EmulatedSerialLine::setFlowControl(quint16 flowControl, quint8 xonChar, quint8 xoffChar)
{
    line.flowControl = flowControl;
    line.xonChar = xonChar;
    line.xoffChar = xoffChar;
}

void EmulatedSerialLine::setTimeouts(quint32 readTimeout, quint32 writeTimeout)
{
    line.readTimeout = readTimeout;
    line.writeTimeout = writeTimeout;
}

void EmulatedSerialLine::setEventChar(quint8 eventChar, quint8 enabled)
{
    line.eventChar = eventChar;
    line.eventCharEnabled = enabled;
    rx->setEventChar(enabled != 0, char(eventChar));
}

void EmulatedSerialLine::setErrorChar(quint8 errorChar, quint8 enabled)
{
    line.errorChar = errorChar;
    line.errorCharEnabled = enabled;
}

bool EmulatedSerialLine::setBreak(bool on, qint64 nowUs)
{
    const bool ended = line.breakOn && !on;
    line.breakOn = on;
    if (!ended)
        return false;
    breakSeen = true;
    // The receiver reports the break as one 0x00 once the line is released.
    if (!farEndWired || !echoEnabled)
        return false;
    rx->insert(nowUs, '\0');
    return true;
}

qint64 EmulatedSerialLine::arrivalUs(qint64 startUs, int index, qint64 instantUs) const
{
    return wire ? startUs + EmulatedController::charactersUs(index + 1) : instantUs;
}

EmulatedSerialLine::Transmission EmulatedSerialLine::transmit(const QByteArray &bytes, qint64 nowUs)
{
    Transmission sent;
    sent.startUs = wire ? std::max(nowUs, txFreeUs) : nowUs;
    if (wire)
        txFreeUs = sent.startUs + EmulatedController::charactersUs(bytes.size());
    if (farEndWired) {
        // Half duplex: every byte comes back as it goes out.
        if (echoEnabled) {
            for (int i = 0; i < bytes.size(); ++i)
                rx->insert(arrivalUs(sent.startUs, i, nowUs), bytes.at(i));
            sent.echoed = true;
        }
        sent.events = controller.receive(bytes, breakSeen, line, sent.startUs);
        deliver(sent.events);
        sent.events += advance(nowUs);
    }
    breakSeen = false;
    return sent;
}

QList<ControllerEvent> EmulatedSerialLine::advance(qint64 nowUs)
{
    const QList<ControllerEvent> events = controller.advance(nowUs);
    deliver(events);
    return events;
}

void EmulatedSerialLine::deliver(const QList<ControllerEvent> &events)
{
    for (const ControllerEvent &event : events) {
        if (event.kind != ControllerEvent::Kind::Frame)
            continue;
        for (int i = 0; i < event.bytes.size(); ++i)
            rx->insert(arrivalUs(event.startUs, i, event.timeUs), event.bytes.at(i));
    }
}

quint32 EmulatedSerialLine::charactersOutgoing(qint64 nowUs) const
{
    if (txFreeUs <= nowUs)
        return 0;
    // 11 bit times a character at 9600 baud, a started one counted whole.
    return quint32(((txFreeUs - nowUs) * 9600 + 10999999) / 11000000);
}

void EmulatedSerialLine::reset()
{
    line = EmulatedLineState();
    rx->reset();
}
