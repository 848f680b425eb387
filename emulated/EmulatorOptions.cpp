#include "emulated/EmulatorOptions.h"

#include <QCommandLineParser>

namespace {

bool toNumber(const QString &text, qint64 min, qint64 max, qint64 *value)
{
    bool ok = false;
    const qint64 n = text.toLongLong(&ok, 10);
    if (!ok || n < min || n > max)
        return false;
    *value = n;
    return true;
}

bool parseCard(const QString &spec, EmulatedCardIdentity *card)
{
    const QStringList parts = spec.split(QLatin1Char(':'));
    if (parts.size() < 2 || parts.size() > 4)
        return false;
    qint64 manufacturer, type, pairByte = card->pairByte, serial = card->serialNumber;
    if (!toNumber(parts[0], 0, 255, &manufacturer) || !toNumber(parts[1], 0, 255, &type))
        return false;
    if (parts.size() > 2 && !toNumber(parts[2], 0, 255, &pairByte))
        return false;
    if (parts.size() > 3 && !toNumber(parts[3], 0, 0xFFFFFFFFLL, &serial))
        return false;
    card->blockManufacturer = quint8(manufacturer);
    card->blockType = quint8(type);
    card->pairByte = quint8(pairByte);
    card->serialNumber = quint32(serial);
    return true;
}

} // namespace

EmulatedCardIdentity EmulatorOptions::defaultCard()
{
    EmulatedCardIdentity card; // Krone LSA-PLUS, 10 pairs
    card.blockManufacturer = 0;
    card.blockType = 0;
    card.pairByte = 10;
    card.serialNumber = 770001;
    return card;
}

bool EmulatorOptions::parse(const QStringList &arguments, QString *error, QString *helpText)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The line card update tool, driving an emulated VX420 controller with LQ770 cards."));
    const QCommandLineOption help(QStringList{"h", "help"}, "Show this help.");
    const QCommandLineOption version(QStringList{"v", "version"}, "Show the version.");
    const QCommandLineOption card(
        "card",
        "Attach a card (repeatable): block manufacturer and type, optionally the pair byte and "
        "serial number, decimal. Default: one card 0:0:10:770001.",
        "MANUFACTURER:TYPE[:PAIRBYTE[:SERIAL]]");
    const QCommandLineOption cardsOption("cards", "Attach N default cards (0 for none).", "N");
    const QCommandLineOption timing("timing",
                                    "instant, or wire: bytes at 9600 baud as on the real link "
                                    "(default).",
                                    "instant|wire");
    const QCommandLineOption capture("capture",
                                     "Write everything that crosses the USB "
                                     "interface to FILE.",
                                     "FILE");
    const QCommandLineOption reflash(
        "reflash",
        "none: the card's bootloader is current (default); ok: it needs an update that "
        "succeeds; fail: one that fails.",
        "none|ok|fail");
    const QCommandLineOption fault(
        "fault", QStringLiteral("Inject a fault (repeatable): ") + EmulatorFaults::help() + '.',
        "SPEC");
    const QCommandLineOption autoOption(
        "auto",
        "Click \"Connect to controller\" and \"Update card\", show the progress on standard "
        "error, print the results and summary panes, exit 0 after \"Finished.\", 1 on an "
        "error, 2 on a time-out.");
    const QCommandLineOption timeout("timeout", "Time limit of --auto (default 600).", "SECONDS");
    parser.addOptions(
        {help, version, card, cardsOption, timing, capture, reflash, fault, autoOption, timeout});

    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (parser.isSet(help)) {
        if (helpText)
            *helpText = parser.helpText();
        return true;
    }
    showVersion = parser.isSet(version);
    if (showVersion)
        return true;
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument: ") + parser.positionalArguments().first();
        return false;
    }

    cards.clear();
    for (const QString &spec : parser.values(card)) {
        EmulatedCardIdentity identity = defaultCard();
        if (!parseCard(spec, &identity)) {
            *error = QStringLiteral("bad --card: ") + spec;
            return false;
        }
        cards.append(identity);
    }
    if (parser.isSet(cardsOption)) {
        qint64 n = 0;
        if (!toNumber(parser.value(cardsOption), 0, 32, &n)) {
            *error = QStringLiteral("bad --cards: ") + parser.value(cardsOption);
            return false;
        }
        for (int i = 0; i < n; ++i)
            cards.append(defaultCard());
    } else if (cards.isEmpty()) {
        cards.append(defaultCard());
    }

    const QString timingText = parser.value(timing);
    if (timingText.isEmpty() || timingText == QLatin1String("wire")) {
        this->timing = EmulatedD2xx::Timing::Wire;
    } else if (timingText == QLatin1String("instant")) {
        this->timing = EmulatedD2xx::Timing::Instant;
    } else {
        *error = QStringLiteral("bad --timing: ") + timingText;
        return false;
    }

    captureFile = parser.value(capture);

    const QString reflashText = parser.value(reflash);
    if (reflashText.isEmpty() || reflashText == QLatin1String("none")) {
        this->reflash = Reflash::None;
    } else if (reflashText == QLatin1String("ok")) {
        this->reflash = Reflash::Ok;
    } else if (reflashText == QLatin1String("fail")) {
        this->reflash = Reflash::Fail;
    } else {
        *error = QStringLiteral("bad --reflash: ") + reflashText;
        return false;
    }

    faults.clear();
    for (const QString &spec : parser.values(fault)) {
        EmulatorFault f;
        if (!EmulatorFaults::parse(spec, &f)) {
            *error = QStringLiteral("bad --fault: ") + spec;
            return false;
        }
        faults.append(f);
    }

    autoRun = parser.isSet(autoOption);
    if (parser.isSet(timeout)) {
        qint64 seconds = 0;
        if (!toNumber(parser.value(timeout), 1, 24 * 3600, &seconds)) {
            *error = QStringLiteral("bad --timeout: ") + parser.value(timeout);
            return false;
        }
        timeoutSeconds = int(seconds);
    }
    return true;
}

std::shared_ptr<EmulatedD2xx> EmulatorOptions::makeEmulator(QString *error) const
{
    auto emulator = std::make_shared<EmulatedD2xx>(timing);
    if (!captureFile.isEmpty() && !emulator->startCapture(captureFile)) {
        *error = QStringLiteral("cannot write the capture file ") + captureFile;
        return nullptr;
    }
    // The bootloader the installed application carries: newer than the
    // card's own when a reflash is asked for.
    constexpr quint32 installedBootloader = 0x00010002;
    constexpr quint32 newerBootloader = 0x00010003;
    for (const EmulatedCardIdentity &identity : cards) {
        const int card = emulator->addCard(identity);
        if (reflash != Reflash::None) {
            emulator->card(card)->setFlashVersions(newerBootloader, installedBootloader);
            emulator->card(card)->setReflashSucceeds(reflash == Reflash::Ok);
        }
    }
    for (const EmulatorFault &f : faults)
        EmulatorFaults::apply(*emulator, f);
    return emulator;
}
