#include "bench/WireTimeBound.h"

#include <limits>

double WireTimeBound::charactersUs(int characters)
{
    return characters * 11 * 1e6 / 9600;
}

WireTimeBound WireTimeBound::fromRecord(const QList<EmulatorCall> &calls,
                                        const QList<EmulatorFrame> &frames, qint64 fromUs,
                                        qint64 toUs)
{
    struct Transmission
    {
        qint64 timeUs;
        int characters;
        double breakUs;
    };
    QList<Transmission> sent;
    qint64 breakOnUs = -1;
    double breakUs = 0;
    for (const EmulatorCall &call : calls) {
        if (call.status != FT_OK)
            continue;
        if (call.function == "FT_SetBreakOn") {
            breakOnUs = call.timeUs;
        } else if (call.function == "FT_SetBreakOff" && breakOnUs >= 0) {
            breakUs = double(call.timeUs - breakOnUs);
            breakOnUs = -1;
        } else if (call.function == "FT_Write" && !call.bytes.isEmpty()) {
            if (call.timeUs >= fromUs && call.timeUs <= toUs)
                sent.append({call.timeUs, int(call.bytes.size()), breakUs});
            breakUs = 0;
        }
    }

    WireTimeBound bound;
    for (int i = 0; i < sent.size(); ++i) {
        const Transmission &t = sent.at(i);
        ++bound.transmissions;
        bound.transmittedCharacters += t.characters;
        bound.breakUs += t.breakUs;
        bound.transmitUs += charactersUs(t.characters);

        // Its reply: the frames that start before the next transmission.
        const qint64 endUs = i + 1 < sent.size() ? sent.at(i + 1).timeUs
                                                 : std::numeric_limits<qint64>::max();
        const EmulatorFrame *last = nullptr;
        for (const EmulatorFrame &frame : frames) {
            if (frame.startUs < t.timeUs || frame.startUs >= endUs)
                continue;
            ++bound.replyFrames;
            bound.replyUs += frame.intervalUs;
            last = &frame;
        }
        if (last)
            bound.replyUs += charactersUs(int(last->bytes.size()));
    }
    return bound;
}
