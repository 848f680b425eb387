#include "emulator/EmulatorFaults.h"

#include "emulator/EmulatedD2xx.h"

#include <QStringList>

namespace {

template<typename Change> void onEveryCard(EmulatedD2xx &emulator, Change change)
{
    for (int card = 0; card < emulator.cardCount(); ++card)
        change(*emulator.card(card));
}

const QVector<EmulatorFaultKind> table = {
    {"no-device", "", "the controller's chip is not listed",
     [](EmulatedD2xx &e, const EmulatorFault &) { e.setDevices({}); }},
    {"open-fails", "", "the chip is listed, but opening it fails",
     [](EmulatedD2xx &e, const EmulatorFault &) { e.setOpenFails(true); }},
    {"drop", "K",
     "the answer to the card's K-th command (every command it receives, from 1) is lost",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         onEveryCard(e, [&](EmulatedLineCard &c) { c.dropReplyTo(f.number); });
     }},
    {"corrupt", "K", "the answer to command K fails its check",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         onEveryCard(e, [&](EmulatedLineCard &c) { c.corruptReplyTo(f.number); });
     }},
    {"confused", "K", "command K is answered CONFUSED",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         onEveryCard(e, [&](EmulatedLineCard &c) { c.confusedReplyTo(f.number); });
     }},
    {"slow", "K:MS",
     "the card takes MS milliseconds to answer command K; what reaches it meanwhile is answered "
     "afterwards, in order",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         onEveryCard(e, [&](EmulatedLineCard &c) { c.slowReplyTo(f.number, f.amount); });
     }},
    {"slow-from", "K:MS", "every answer from command K on takes MS milliseconds",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         onEveryCard(e, [&](EmulatedLineCard &c) { c.slowRepliesFrom(f.number, f.amount); });
     }},
    {"short", "K", "the body of the reply to command K is cut to two bytes",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         onEveryCard(e, [&](EmulatedLineCard &c) { c.shortReplyTo(f.number); });
     }},
    {"dup", "K", "command K is answered twice",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         onEveryCard(e, [&](EmulatedLineCard &c) { c.duplicateReplyTo(f.number); });
     }},
    {"stray", "K:HEX",
     "a packet of body HEX (such as 02FFFF3B01 for \"locked\", 00FFFF for CONFUSED, 22FFFF for an "
     "LED report) right before the answer to command K, or where it would be",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         onEveryCard(e, [&](EmulatedLineCard &c) { c.strayBefore(f.number, f.bytes); });
     }},
    {"stray-after", "K:HEX", "the same packet right after the answer to command K",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         onEveryCard(e, [&](EmulatedLineCard &c) { c.strayAfter(f.number, f.bytes); });
     }},
    {"line-flip", "K",
     "a byte of the frames that carry the answer to command K is changed on the line",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         for (int card = 0; card < e.cardCount(); ++card)
             e.setLineFault(card, f.number, LineFault::Flip);
     }},
    {"line-lose", "K", "... is lost on the line",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         for (int card = 0; card < e.cardCount(); ++card)
             e.setLineFault(card, f.number, LineFault::Lose);
     }},
    {"line-extra", "K", "... is joined by a spurious one",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         for (int card = 0; card < e.cardCount(); ++card)
             e.setLineFault(card, f.number, LineFault::Extra);
     }},
    {"refuse-page", "P[:M]", "code page P (from 0) is refused M times, or always",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         onEveryCard(e,
                     [&](EmulatedLineCard &c) { c.bootloader().refusePage(f.number, f.amount); });
     }},
    {"card-pull", "K", "the card is pulled out as its K-th command reaches it",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         onEveryCard(e, [&](EmulatedLineCard &c) { c.stopAnsweringFrom(f.number); });
     }},
    {"cable-pull", "K",
     "the cable is pulled as the K-th transmission starts: every call on the chip fails from then "
     "on, and it is no longer listed",
     [](EmulatedD2xx &e, const EmulatorFault &f) { e.pullCableAtTransmission(f.number); }},
    {"device-id", "HEX", "the card's bootloader reports this device identity",
     [](EmulatedD2xx &e, const EmulatorFault &f) {
         onEveryCard(e, [&](EmulatedLineCard &c) { c.bootloader().setDeviceId(f.bytes); });
     }},
};

bool readNumber(const QString &text, qint64 min, qint64 max, int *value)
{
    bool ok = false;
    const qint64 n = text.toLongLong(&ok, 10);
    if (!ok || n < min || n > max)
        return false;
    *value = int(n);
    return true;
}

bool readHex(const QString &text, QByteArray *bytes)
{
    if (text.isEmpty() || text.size() % 2 != 0 || text.size() > 2 * 250)
        return false;
    for (const QChar c : text) {
        if (!isxdigit(c.toLatin1()))
            return false;
    }
    *bytes = QByteArray::fromHex(text.toLatin1());
    return true;
}

// Reads the arguments after the name as the row's shape says.
bool readArguments(QString shape, const QStringList &arguments, EmulatorFault *fault)
{
    // "[:M]" at the end: a last argument that may be left out.
    const bool optionalLast = shape.endsWith(QLatin1String("[:M]"));
    if (optionalLast)
        shape.chop(4);
    QStringList tokens = shape.isEmpty() ? QStringList() : shape.split(QLatin1Char(':'));
    const int required = tokens.size();
    if (optionalLast)
        tokens << QStringLiteral("M");
    if (arguments.size() < required || arguments.size() > tokens.size())
        return false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &token = tokens.at(i);
        const QString &text = arguments.at(i);
        bool ok = false;
        if (token == QLatin1String("K"))
            ok = readNumber(text, 1, 1000000, &fault->number);
        else if (token == QLatin1String("P"))
            ok = readNumber(text, 0, 65535, &fault->number);
        else if (token == QLatin1String("MS"))
            ok = readNumber(text, 0, 600000, &fault->amount);
        else if (token == QLatin1String("M"))
            ok = readNumber(text, 1, 1000000, &fault->amount);
        else if (token == QLatin1String("HEX"))
            ok = readHex(text, &fault->bytes);
        if (!ok)
            return false;
    }
    return true;
}

const EmulatorFaultKind *kindNamed(const QString &name)
{
    for (const EmulatorFaultKind &kind : table) {
        if (name == QLatin1String(kind.name))
            return &kind;
    }
    return nullptr;
}

QString usage(const EmulatorFaultKind &kind)
{
    QString text = QString::fromLatin1(kind.name);
    if (*kind.arguments) {
        const QString arguments = QString::fromLatin1(kind.arguments);
        text += arguments.startsWith(QLatin1Char('[')) ? arguments : QLatin1Char(':') + arguments;
    }
    return text;
}

} // namespace

namespace EmulatorFaults {

const QVector<EmulatorFaultKind> &kinds()
{
    return table;
}

bool parse(const QString &spec, EmulatorFault *fault)
{
    QStringList parts = spec.split(QLatin1Char(':'));
    const EmulatorFaultKind *kind = kindNamed(parts.takeFirst());
    if (!kind)
        return false;
    EmulatorFault parsed;
    parsed.kind = QString::fromLatin1(kind->name);
    if (!readArguments(QString::fromLatin1(kind->arguments), parts, &parsed))
        return false;
    *fault = parsed;
    return true;
}

void apply(EmulatedD2xx &emulator, const EmulatorFault &fault)
{
    if (const EmulatorFaultKind *kind = kindNamed(fault.kind))
        kind->apply(emulator, fault);
}

QString help()
{
    QStringList entries;
    for (const EmulatorFaultKind &kind : table)
        entries << usage(kind) + QStringLiteral(" (") + QString::fromUtf8(kind.help)
                       + QLatin1Char(')');
    return entries.join(QStringLiteral(", "));
}

QString markdownTable()
{
    QString text = QStringLiteral("| fault | what happens |\n|---|---|\n");
    for (const EmulatorFaultKind &kind : table)
        text += QStringLiteral("| `%1` | %2 |\n").arg(usage(kind), QString::fromUtf8(kind.help));
    return text;
}

} // namespace EmulatorFaults
