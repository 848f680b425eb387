#include "controller/FrameByteQueue.h"

#include "controller/PacketCodec.h"

bool FrameByteQueue::append(const QByteArray &chunk)
{
    bool sawDelimiter = false;
    int start = 0;
    while (start < chunk.size()) {
        const int zero = chunk.indexOf('\0', start);
        const int runEnd = zero < 0 ? chunk.size() : zero;
        appendRun(chunk.constData() + start, runEnd - start);
        if (zero < 0)
            break;
        bytes.append('\0');
        sawDelimiter = true;
        start = zero + 1;
    }
    return sawDelimiter;
}

void FrameByteQueue::appendRun(const char *data, int length)
{
    const int openStart = bytes.lastIndexOf('\0') + 1;
    const int openLength = bytes.size() - openStart;
    if (openLength + length <= maxOpenRun) {
        bytes.append(data, length);
        return;
    }
    // Keep only the newest maxOpenRun bytes of the run that has no delimiter.
    if (length >= maxOpenRun) {
        bytes.truncate(openStart);
        bytes.append(data + length - maxOpenRun, maxOpenRun);
    } else {
        bytes.remove(openStart, openLength + length - maxOpenRun);
        bytes.append(data, length);
    }
}

bool FrameByteQueue::hasFrame() const
{
    return bytes.contains('\0');
}

QByteArray FrameByteQueue::takeFrame()
{
    const int end = bytes.indexOf('\0');
    if (end < 0)
        return {};
    const QByteArray encoded = bytes.left(end + 1);
    bytes.remove(0, end + 1);
    return PacketCodec::decodeFrame(encoded);
}

void FrameByteQueue::clear()
{
    bytes.clear();
}
