#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QtGlobal>

// The text record of everything that crosses the emulated chip's interface.
// After the header come comment lines ("# ...") that state the rules, then
// one line per event, "<microseconds> <host|dev> ...", in time order and
// flushed one by one. Device lines may be announced ahead of their time and
// are written once a later call reaches that time.
//
// Line kinds: "host <call> <arguments> <status>" and "host FT_Write <status>
// <bytes>" for the library calls; "dev echo", "dev frame" and "dev drop" for
// what the line carried or the controller refused; and what the emulator
// itself did rather than the host: "dev inject <bytes>", "dev stray <card>
// <body>", "dev cable-pull", "dev cable-plug", and "dev line-flip <index>
// <was> <now>", "dev line-lose <index> <was>", "dev line-extra <index>
// <byte>" for a byte of the frame on the next "dev frame" line.
class EmulatorCapture
{
public:
    static constexpr const char *headerLine = "# vx420 capture v1";
    static const char *const rules[];

    ~EmulatorCapture();

    bool start(const QString &path);
    // Writes the lines whose time has come and closes the file.
    void stop(qint64 nowUs);
    bool active() const { return file.isOpen(); }

    // Writes the due device lines, then this host line.
    void host(qint64 timeUs, const QByteArray &text);
    // Announces a device line for timeUs; lines of equal time keep their order.
    void device(qint64 timeUs, const QByteArray &text);
    // Writes the device lines whose time is at or before nowUs.
    void flushDue(qint64 nowUs);

private:
    struct Line
    {
        qint64 timeUs;
        QByteArray text;
    };

    void write(qint64 timeUs, const QByteArray &text);

    QFile file;
    QList<Line> pending;
    qint64 lastWrittenUs = 0;
};
