#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

class EmulatedD2xx;

// One fault given to the emulated controller, as `--fault` of the emulated
// program writes it: a kind, then its arguments.
struct EmulatorFault
{
    QString kind;
    int number = 0;   // K (a card's command, from 1), P (a page, from 0) or a transmission
    int amount = -1;  // MS for the slow kinds; M for refuse-page, -1: always
    QByteArray bytes; // HEX
};

// The kinds of fault, one row each: what `--fault` accepts, how the
// emulator gets it, and what it does. The option parser, --help and the
// README's table of faults are made from this table. Adding a kind: the
// card's (or chip's) new behaviour, and a row here.
struct EmulatorFaultKind
{
    const char *name;
    // After the name, separated by colons: K (1 to 1000000), P (0 to
    // 65535), MS (0 to 600000), HEX (1 to 250 bytes); [:M] an optional
    // count (1 to 1000000). Empty: no arguments.
    const char *arguments;
    const char *help;
    void (*apply)(EmulatedD2xx &emulator, const EmulatorFault &fault);
};

namespace EmulatorFaults {

const QVector<EmulatorFaultKind> &kinds();
// One SPEC; false when it does not read.
bool parse(const QString &spec, EmulatorFault *fault);
// Gives the emulator, or each of its cards, the fault.
void apply(EmulatedD2xx &emulator, const EmulatorFault &fault);
// "name:ARGUMENTS (help), ..." for --help.
QString help();
// The table of faults in the README, one row a kind.
QString markdownTable();

} // namespace EmulatorFaults
