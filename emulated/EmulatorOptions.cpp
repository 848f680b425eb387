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

// One to maxBytes bytes as hexadecimal digits, two per byte.
bool isHexBytes(const QString &text, int maxBytes)
{
    if (text.isEmpty() || text.size() % 2 != 0 || text.size() > 2 * maxBytes)
        return false;
    for (const QChar c : text) {
        if (!isxdigit(c.toLatin1()))
            return false;
    }
    return true;
}

} // namespace

bool EmulatorOptions::parseFault(const QString &spec, Fault *fault)
{
    const QStringList parts = spec.split(QLatin1Char(':'));
    fault->kind = parts.value(0);
    qint64 n = 0;
    if (fault->kind == QLatin1String("no-device") || fault->kind == QLatin1String("open-fails"))
        return parts.size() == 1;
    if (fault->kind == QLatin1String("drop") || fault->kind == QLatin1String("corrupt")
        || fault->kind == QLatin1String("confused") || fault->kind == QLatin1String("card-pull")
        || fault->kind == QLatin1String("cable-pull") || fault->kind == QLatin1String("short")
        || fault->kind == QLatin1String("line-flip") || fault->kind == QLatin1String("line-lose")
        || fault->kind == QLatin1String("line-extra")) {
        if (parts.size() != 2 || !toNumber(parts[1], 1, 1000000, &n))
            return false;
        fault->number = int(n);
        return true;
    }
    if (fault->kind == QLatin1String("slow") || fault->kind == QLatin1String("slow-from")) {
        if (parts.size() != 3 || !toNumber(parts[1], 1, 1000000, &n))
            return false;
        fault->number = int(n);
        if (!toNumber(parts[2], 0, 600000, &n))
            return false;
        fault->ms = int(n);
        return true;
    }
    if (fault->kind == QLatin1String("refuse-page")) {
        if (parts.size() < 2 || parts.size() > 3 || !toNumber(parts[1], 0, 65535, &n))
            return false;
        fault->number = int(n);
        if (parts.size() == 3) {
            if (!toNumber(parts[2], 1, 1000000, &n))
                return false;
            fault->times = int(n);
        }
        return true;
    }
    if (fault->kind == QLatin1String("dup")) {
        if (parts.size() != 2 || !toNumber(parts[1], 1, 1000000, &n))
            return false;
        fault->number = int(n);
        return true;
    }
    if (fault->kind == QLatin1String("stray") || fault->kind == QLatin1String("stray-after")) {
        if (parts.size() != 3 || !toNumber(parts[1], 1, 1000000, &n) || !isHexBytes(parts[2], 250))
            return false;
        fault->number = int(n);
        fault->bytes = QByteArray::fromHex(parts[2].toLatin1());
        return true;
    }
    if (fault->kind == QLatin1String("device-id")) {
        if (parts.size() != 2 || !isHexBytes(parts[1], 32))
            return false;
        fault->bytes = QByteArray::fromHex(parts[1].toLatin1());
        return true;
    }
    return false;
}

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
    const QCommandLineOption capture("capture", "Write everything that crosses the USB "
                                                "interface to FILE.",
                                     "FILE");
    const QCommandLineOption reflash(
        "reflash",
        "none: the card's bootloader is current (default); ok: it needs an update that "
        "succeeds; fail: one that fails.",
        "none|ok|fail");
    const QCommandLineOption fault(
        "fault",
        "Inject a fault (repeatable): no-device, open-fails, drop:K, corrupt:K, confused:K "
        "(the card's K-th command, from 1), slow:K:MS (the card takes MS milliseconds to "
        "answer its K-th command), slow-from:K:MS (every answer from the K-th on), short:K "
        "(the reply body cut to two bytes), line-flip:K, line-lose:K, line-extra:K (a byte of the "
        "frames that carry the answer to command K changed, lost or added on the line), "
        "refuse-page:P[:M] (page P from 0, M times or always), card-pull:K, cable-pull:K "
        "(K-th transmission), device-id:HEX, dup:K (command K answered twice), stray:K:HEX, "
        "stray-after:K:HEX (a packet of body HEX, such as 02FFFF3B01 or 00FFFF, right before or "
        "after the answer to command K).",
        "SPEC");
    const QCommandLineOption autoOption(
        "auto",
        "Click \"Connect to controller\" and \"Update card\", print the summary and results "
        "panes, exit 0 after \"Finished.\", 1 on an error, 2 on a time-out.");
    const QCommandLineOption timeout("timeout", "Time limit of --auto (default 600).",
                                     "SECONDS");
    parser.addOptions({help, card, cardsOption, timing, capture, reflash, fault, autoOption,
                       timeout});

    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (parser.isSet(help)) {
        if (helpText)
            *helpText = parser.helpText();
        return true;
    }
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
        Fault f;
        if (!parseFault(spec, &f)) {
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
            emulator->setFlashVersions(card, newerBootloader, installedBootloader);
            emulator->setReflashSucceeds(card, reflash == Reflash::Ok);
        }
    }
    for (const Fault &f : faults)
        applyFault(*emulator, f);
    return emulator;
}

void EmulatorOptions::applyFault(EmulatedD2xx &emulator, const Fault &f)
{
    if (f.kind == QLatin1String("no-device")) {
        emulator.setDevices({});
    } else if (f.kind == QLatin1String("open-fails")) {
        emulator.setOpenFails(true);
    } else if (f.kind == QLatin1String("cable-pull")) {
        emulator.pullCableAtTransmission(f.number);
    } else {
        for (int card = 0; card < emulator.cardCount(); ++card) {
            if (f.kind == QLatin1String("drop"))
                emulator.dropReplyTo(card, f.number);
            else if (f.kind == QLatin1String("corrupt"))
                emulator.corruptReplyTo(card, f.number);
            else if (f.kind == QLatin1String("confused"))
                emulator.confusedReplyTo(card, f.number);
            else if (f.kind == QLatin1String("short"))
                emulator.shortReplyTo(card, f.number);
            else if (f.kind == QLatin1String("line-flip"))
                emulator.setLineFault(card, f.number, LineFault::Flip);
            else if (f.kind == QLatin1String("line-lose"))
                emulator.setLineFault(card, f.number, LineFault::Lose);
            else if (f.kind == QLatin1String("line-extra"))
                emulator.setLineFault(card, f.number, LineFault::Extra);
            else if (f.kind == QLatin1String("slow"))
                emulator.slowReplyTo(card, f.number, f.ms);
            else if (f.kind == QLatin1String("slow-from"))
                emulator.slowRepliesFrom(card, f.number, f.ms);
            else if (f.kind == QLatin1String("card-pull"))
                emulator.stopAnsweringFrom(card, f.number);
            else if (f.kind == QLatin1String("refuse-page"))
                emulator.refusePage(card, f.number, f.times);
            else if (f.kind == QLatin1String("device-id"))
                emulator.setDeviceId(card, f.bytes);
            else if (f.kind == QLatin1String("dup"))
                emulator.duplicateReplyTo(card, f.number);
            else if (f.kind == QLatin1String("stray"))
                emulator.strayBefore(card, f.number, f.bytes);
            else if (f.kind == QLatin1String("stray-after"))
                emulator.strayAfter(card, f.number, f.bytes);
        }
    }
}
