#pragma once

#include "emulator/EmulatedD2xx.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <memory>
#include <vector>

class EmulatedLineCard;

// What the controller sends towards the host, or rejects, as a result of
// one transmission.
struct ControllerEvent
{
    enum class Kind { Frame, Drop };

    Kind kind = Kind::Frame;
    qint64 startUs = 0; // Frame: when its first byte starts on the line
    qint64 timeUs = 0;  // Frame: when its last byte has arrived; Drop: the transmission's start
    QByteArray bytes;   // Frame: encoded frame with its 0x00; Drop: the reason, one word
};

// The VX420 controller on the far side of the chip: takes the host's
// transmissions, checks and cuts them into packets, hands every valid
// command to each attached line card and turns the cards' slot streams into
// frames, one per frame interval. Time moves on only through advance(), so
// that the cards answer in their own time. Not thread-safe; its owner
// serialises every call.
class EmulatedController
{
public:
    static constexpr quint32 defaultFrameIntervalUs = 12500;
    static constexpr int maxCards = 254;
    static constexpr int maxKeptDropReasons = 10000;
    static constexpr quint8 syncByte = 0x55;

    // wireTiming false: everything happens at the time the transmission starts.
    explicit EmulatedController(bool wireTiming);
    ~EmulatedController();

    // -1 when every slot is taken.
    int addCard(const EmulatedCardIdentity &identity);
    int cardCount() const { return int(cards.size()); }
    // index must be valid.
    EmulatedLineCard &card(int index) { return *cards.at(size_t(index)); }
    const EmulatedLineCard &card(int index) const { return *cards.at(size_t(index)); }

    // One transmission of the host: the bytes of one write, whether a break
    // preceded them, the chip's line settings and pins at that moment, and
    // when its first byte starts on the line. Returns the drops it caused;
    // its commands go to the cards, whose answers come from advance().
    QList<ControllerEvent> receive(const QByteArray &bytes, bool afterBreak,
                                   const EmulatedLineState &line, qint64 startUs);
    // Lets the cards answer and the controller send the frames that are due
    // by nowUs, in time order. A frame is due when it starts on the line.
    QList<ControllerEvent> advance(qint64 nowUs);
    // A card puts a packet of this body onto its slot stream at nowUs,
    // asked for by no command.
    void strayReply(int card, const QByteArray &body, qint64 nowUs);

    quint32 frameIntervalUs() const { return intervalUs; }
    int droppedPackets() const { return dropCount; }
    QList<QByteArray> droppedReasons() const { return dropReasons; }

    // Time n characters of 11 bit times take at 9600 baud, rounded up.
    static qint64 charactersUs(qint64 n);

    // Why the controller does not listen on this line, or nothing.
    static QByteArray ignoreReason(const EmulatedLineState &line);

private:
    void drop(QList<ControllerEvent> &events, const QByteArray &reason, qint64 timeUs);
    void dispatch(const QByteArray &body, qint64 lastByteUs);
    void queueReply(int card, const QByteArray &reply, qint64 readyUs);
    bool outputWaiting() const;
    ControllerEvent nextFrame();

    bool wire;
    std::vector<std::unique_ptr<EmulatedLineCard>> cards;
    std::vector<QByteArray> output; // per card: reply bytes not yet in a frame
    quint32 intervalUs = defaultFrameIntervalUs;
    qint64 nextTickUs = 0;   // when the next frame is due, while output waits
    qint64 lastTickUs = 0;   // when the last frame was due
    bool ticked = false;     // any frame sent yet
    qint64 lineFreeUs = 0;   // when the controller's line towards the host is free
    int dropCount = 0;
    QList<QByteArray> dropReasons;
};
