#pragma once

// Shared by the fuzz targets: an invariant check that aborts (so libFuzzer
// keeps the input), a quiet Qt message handler, the application object the
// timers and queued connections need, and a reader over the input bytes.

#include <QByteArray>
#include <QCoreApplication>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

// Trace and debug lines would only slow the run down; fatal messages still abort.
inline void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "qFatal: %s\n", qPrintable(text));
        std::abort();
    }
}

// One application object for the whole process, never destroyed.
inline void setUpQt()
{
    qInstallMessageHandler(quietMessages);
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "fuzz";
        static char *argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
    }
}

// Reads the input front to back; past the end every read gives zeros.
class Input
{
public:
    Input(const uint8_t *data, size_t size) : data(data), size(size) { }

    bool atEnd() const { return pos >= size; }
    size_t remaining() const { return size - pos; }

    quint8 byte() { return pos < size ? data[pos++] : 0; }
    quint16 u16()
    {
        const quint8 low = byte();
        return quint16(low | (byte() << 8));
    }
    QByteArray bytes(size_t count)
    {
        if (count > remaining())
            count = remaining();
        const QByteArray taken(reinterpret_cast<const char *>(data + pos), int(count));
        pos += count;
        return taken;
    }
    QByteArray rest() { return bytes(remaining()); }

private:
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
};

} // namespace fuzz
