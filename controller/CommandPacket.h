#pragma once

#include <QByteArray>
#include <QtGlobal>

// One command from the host to the controller.
class CommandPacket
{
public:
    CommandPacket() = default;
    explicit CommandPacket(quint8 opcode, quint16 argument = 0, quint8 flags = 0);

    void setPayload(const QByteArray &bytes);

    // The complete wire packet: zero-eliminated body and code byte, the
    // 0x00 marker, then the two Fletcher check bytes.
    QByteArray build() const;

    // Body bytes 1 and 2: the argument as two base-255 digits, low first,
    // a digit of 0 written as 0xFF.
    static quint8 lowDigit(quint16 argument);
    static quint8 highDigit(quint16 argument);

    quint8 opcode = 0;
    quint8 flags = 0;
    quint16 argument = 0;
    QByteArray payload;
};
