#pragma once

#include <QByteArray>

// Received controller bytes that have not yet been cut into frames.
class FrameByteQueue
{
public:
    // A run of bytes without a frame delimiter is kept to this many bytes,
    // the newest ones; real frames are a few bytes long, so only a stream
    // that lost its delimiters comes near it, and the next 0x00 resynchronises.
    static constexpr int maxOpenRun = 4096;

    // Appends the chunk; true when the chunk itself holds a 0x00.
    bool append(const QByteArray &chunk);
    bool hasFrame() const;
    // Removes the bytes up to and including the first 0x00 and returns
    // their frame decoding (empty when malformed). Call only when hasFrame().
    QByteArray takeFrame();
    void clear();

    int size() const { return bytes.size(); }

private:
    void appendRun(const char *data, int length);

    QByteArray bytes;
};
