#pragma once

#include "emulator/EmulatorTypes.h"

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
    // Note: what the emulator did to the line, for the capture only.
    enum class Kind { Frame, Drop, Note };

    Kind kind = Kind::Frame;
    qint64 startUs = 0; // Frame: when its first byte starts on the line
    qint64 timeUs = 0;  // Frame: when its last byte has arrived; Drop: the transmission's start
    QByteArray bytes;   // Frame: encoded frame with its 0x00; Drop: the reason, one word;
                        // Note: the capture line after "dev "
};

// The VX420 controller on the far side of the chip: takes the host's
// transmissions, checks and cuts them into packets, hands every valid
// command to each attached line card and turns the cards' slot streams into
// frames, one per frame interval. Time moves on only through advance(), so
// that the cards answer in their own time. Not thread-safe; its owner
// serialises every call.
//
// What the protocol leaves open, and what this controller assumes:
// - It sends frames only while some card has reply bytes to send, the first
//   one frame interval after the answer is ready, then one per interval; an
//   idle line carries nothing. A continuous stream of empty frames would
//   only cost the host CPU; the host does not depend on either.
// - A card slot whose card has nothing (left) to send carries the filler
//   0xFE. The host's packet streams have no start marker, so filler bytes
//   end up in front of the card's next packet. 0xFF (or 0x00) would leave
//   that packet's Fletcher sum at zero and let it decode into a bogus body;
//   0xFE makes its check fail, so the host drops it and resynchronises, as
//   it does after any spoilt byte.
// - It listens only to a transmission that a break precedes, starts with
//   the sync byte 0x55 and arrives at 9600 baud, 8 data bits, 2 stop bits,
//   no parity, with CBUS1 and CBUS0 driven low in CBUS bit-bang mode.
class EmulatedController
{
public:
    static constexpr quint32 defaultFrameIntervalUs = 12500;
    static constexpr int maxCards = 254;
    static constexpr int maxKeptDropReasons = 10000;
    static constexpr quint8 syncByte = 0x55;
    static constexpr quint8 slotFiller = 0xFE;

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
    // One byte of the frame that carries the middle of the card's answer to
    // its k-th command is changed, lost, or joined by a spurious one.
    void setLineFault(int card, int k, LineFault fault);

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
    void queueReply(int card, const QByteArray &reply, qint64 readyUs, int command = 0);
    bool outputWaiting() const;
    void nextFrame(QList<ControllerEvent> &events);
    // Applies a line fault due in this frame; returns the capture note, or nothing.
    QByteArray damage(QByteArray &frame, LineFault fault) const;

    bool wire;
    std::vector<std::unique_ptr<EmulatedLineCard>> cards;
    std::vector<QByteArray> output; // per card: reply bytes not yet in a frame
    std::vector<qint64> taken;      // per card: output bytes gone into frames so far
    struct PlannedFault
    {
        int card;
        int command;
        LineFault fault;
        qint64 at = -1; // the output byte whose frame it strikes, once known
    };
    QList<PlannedFault> lineFaults;
    quint32 intervalUs = defaultFrameIntervalUs;
    qint64 nextTickUs = 0; // when the next frame is due, while output waits
    qint64 lastTickUs = 0; // when the last frame was due
    bool ticked = false;   // any frame sent yet
    qint64 lineFreeUs = 0; // when the controller's line towards the host is free
    int dropCount = 0;
    QList<QByteArray> dropReasons;
};
