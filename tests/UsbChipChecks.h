#pragma once

// Checks of what an emulated FT232R was told, shared by the tests that
// drive it through a real USB library.

#include "emulator/EmulatedFt232r.h"

#include <QList>
#include <QString>

namespace UsbChipChecks {

using Request = EmulatedFt232r::ControlRequest;

inline int count(const QList<Request> &requests, quint8 request)
{
    int n = 0;
    for (const Request &r : requests)
        n += r.request == request;
    return n;
}

// Every break from index `from` on: RTS raised before it, dropped and
// raised again within it, and dropped once the transmission after it is
// out. Judge only a record taken after the last transmission ended (RTS
// dropped), or its last break lacks its final drop. Empty when all hold,
// else what broke the rule; `breaks` gets their number.
inline QString rtsAroundBreaks(const QList<Request> &requests, int from, int &breaks)
{
    using Chip = EmulatedFt232r;
    breaks = 0;
    for (int i = from; i < requests.size(); ++i) {
        const Request &r = requests.at(i);
        if (r.request != Chip::requestData || !(r.value & 0x4000))
            continue;
        ++breaks;
        QList<quint16> rts;
        for (int j = i - 1; j >= 0 && requests.at(j).request != Chip::requestData; --j)
            if (requests.at(j).request == Chip::requestModemControl) {
                rts.prepend(requests.at(j).value);
                break;
            }
        int off = i + 1;
        while (off < requests.size() && requests.at(off).request != Chip::requestData)
            ++off;
        if (off == requests.size())
            return QStringLiteral("break %1 (request %2) never ends").arg(breaks).arg(i);
        for (int j = i + 1; j < off; ++j)
            if (requests.at(j).request == Chip::requestModemControl)
                rts.append(requests.at(j).value);
        for (int j = off + 1; j < requests.size(); ++j)
            if (requests.at(j).request == Chip::requestModemControl) {
                rts.append(requests.at(j).value);
                break;
            }
        if (rts != QList<quint16>{0x0202, 0x0200, 0x0202, 0x0200}) {
            QStringList values;
            for (quint16 v : rts)
                values.append(QString::number(v, 16));
            return QStringLiteral("break %1 (request %2 of %3): RTS %4")
                .arg(breaks)
                .arg(i)
                .arg(requests.size())
                .arg(values.join(QLatin1Char(' ')));
        }
    }
    return {};
}

} // namespace UsbChipChecks
