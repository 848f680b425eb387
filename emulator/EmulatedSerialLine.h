#pragma once

#include "emulator/EmulatorTypes.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <memory>

class EmulatedController;
class EmulatedRxQueue;
struct ControllerEvent;

// The serial side of the emulated chip, whichever interface the host
// reaches it through: the line settings and pins as the controller at the
// far end sees them, the transmit line at the line rate, and the receive
// queue the controller's frames and the echo arrive in.
//
// The line is half duplex: every byte the host sends comes back as echo,
// and a break shows in the receive queue as one 0x00 once it ends. In wire
// timing bytes take their time on the line and reach the host in USB
// packets; otherwise all happens at the moment of the call. Not
// thread-safe; its owner serialises every call.
class EmulatedSerialLine
{
public:
    // What one transmission did on the line.
    struct Transmission
    {
        qint64 startUs = 0;  // when its first byte starts on the line
        bool echoed = false; // its echo went into the receive queue
        // The controller's answer to it, its frames already in the queue.
        QList<ControllerEvent> events;
    };

    EmulatedSerialLine(EmulatedController &farEnd, bool wireTiming);
    ~EmulatedSerialLine();
    EmulatedSerialLine(const EmulatedSerialLine &) = delete;
    EmulatedSerialLine &operator=(const EmulatedSerialLine &) = delete;

    // Whether the controller is on the far end, and whether the echo comes
    // back from it; both are by default.
    void setWired(bool wired) { farEndWired = wired; }
    bool wired() const { return farEndWired; }
    void setEchoEnabled(bool enabled) { echoEnabled = enabled; }

    const EmulatedLineState &state() const { return line; }
    void setBaudRate(quint32 baudRate) { line.baudRate = baudRate; }
    void setDataCharacteristics(quint8 wordLength, quint8 stopBits, quint8 parity);
    void setFlowControl(quint16 flowControl, quint8 xonChar, quint8 xoffChar);
    void setTimeouts(quint32 readTimeout, quint32 writeTimeout);
    void setEventChar(quint8 eventChar, quint8 enabled);
    void setErrorChar(quint8 errorChar, quint8 enabled);
    void setRts(bool rts) { line.rts = rts; }
    void setBitMode(quint8 mask, quint8 mode) { line.setBitMode(mask, mode); }
    // Returns whether a break ended and its 0x00 went into the receive queue.
    bool setBreak(bool on, qint64 nowUs);

    // The host's bytes go out as one transmission; the controller hears
    // them only while wired.
    Transmission transmit(const QByteArray &bytes, qint64 nowUs);
    // The frames the controller sends by nowUs go into the receive queue;
    // returns all it did.
    QList<ControllerEvent> advance(qint64 nowUs);
    // Characters not yet out on the transmit line.
    quint32 charactersOutgoing(qint64 nowUs) const;

    EmulatedRxQueue &received() { return *rx; }
    const EmulatedRxQueue &received() const { return *rx; }

    // The chip's power-up settings and an empty receive queue.
    void reset();
    // A break that ended no longer counts for the next transmission.
    void forgetBreak() { breakSeen = false; }

private:
    // Puts the frames among the events into the receive queue.
    void deliver(const QList<ControllerEvent> &events);
    qint64 arrivalUs(qint64 startUs, int index, qint64 instantUs) const;

    EmulatedController &controller;
    const bool wire;
    std::unique_ptr<EmulatedRxQueue> rx;
    EmulatedLineState line;
    bool farEndWired = true;
    bool echoEnabled = true;
    bool breakSeen = false; // a break ended since the last transmission
    qint64 txFreeUs = 0;    // wire timing: when the transmit line is idle
};
