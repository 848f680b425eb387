#include "emulator/EmulatorCapture.h"

#include <algorithm>

const char *const EmulatorCapture::rules[] = {
    "# times: microseconds since the emulator was created; never going back",
    "# host lines: when the call was made",
    "# echo: when the transmission starts; frame: when its last byte has arrived",
    "# drop: when the refused transmission starts; cable, inject, stray: when done",
    "# line-flip, line-lose, line-extra: the byte at that index of the next frame",
    nullptr,
};

EmulatorCapture::~EmulatorCapture()
{
    file.close();
}

bool EmulatorCapture::start(const QString &path)
{
    file.close();
    pending.clear();
    lastWrittenUs = 0;
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(QByteArray(headerLine) + '\n');
    for (const char *const *rule = rules; *rule; ++rule)
        file.write(QByteArray(*rule) + '\n');
    file.flush();
    return true;
}

void EmulatorCapture::stop(qint64 nowUs)
{
    flushDue(nowUs);
    pending.clear();
    file.close();
}

void EmulatorCapture::host(qint64 timeUs, const QByteArray &text)
{
    if (!active())
        return;
    flushDue(timeUs);
    write(timeUs, "host " + text);
}

void EmulatorCapture::device(qint64 timeUs, const QByteArray &text)
{
    if (!active())
        return;
    const auto at = std::upper_bound(pending.begin(), pending.end(), timeUs,
                                     [](qint64 t, const Line &line) { return t < line.timeUs; });
    pending.insert(at, Line{timeUs, "dev " + text});
}

void EmulatorCapture::flushDue(qint64 nowUs)
{
    while (!pending.isEmpty() && pending.first().timeUs <= nowUs) {
        const Line line = pending.takeFirst();
        write(line.timeUs, line.text);
    }
}

void EmulatorCapture::write(qint64 timeUs, const QByteArray &text)
{
    lastWrittenUs = std::max(lastWrittenUs, timeUs); // the time column never goes back
    file.write(QByteArray::number(lastWrittenUs) + ' ' + text + '\n');
    file.flush();
}
