#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QtGlobal>

// The text record of everything that crosses the emulated chip's interface.
// Each line is "<microseconds> <host|dev> ..."; lines are written in time
// order and flushed one by one. Device lines may be announced ahead of their
// time and are written once a later call reaches that time.
class EmulatorCapture
{
public:
    static constexpr const char *headerLine = "# vx420 capture v1";

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
