#include "emulated/EmulatorOptions.h"
#include "app/QtEnvironment.h"
#include "bench/UpdateBenchmark.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

int main(int argc, char *argv[])
{
    Q_INIT_RESOURCE(firmware);
    QtEnvironment::useLeanEventLoop();
    QtEnvironment::useOffscreenWithoutDisplay();
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Times one whole update against the emulated controller in wire timing."));
    parser.addHelpOption();
    parser.addOption(
        {QStringLiteral("json"), QStringLiteral("Print one JSON object on one line.")});
    parser.addOption({QStringLiteral("idle"),
                      QStringLiteral("Seconds of connected idle to measure (default 10)."),
                      QStringLiteral("SECONDS"), QStringLiteral("10")});
    parser.addOption({QStringLiteral("fault"),
                      QStringLiteral("A fault of the emulated card or link, as "
                                     "linecard-updater-emulated takes it (repeatable)."),
                      QStringLiteral("SPEC")});
    parser.process(app);
    QList<EmulatorFault> faults;
    for (const QString &spec : parser.values(QStringLiteral("fault"))) {
        EmulatorFault fault;
        if (!EmulatorFaults::parse(spec, &fault)) {
            std::fprintf(stderr, "linecard-updater-bench: bad --fault: %s\n", qPrintable(spec));
            return 64;
        }
        faults.append(fault);
    }
    bool ok = false;
    const int idleSeconds = parser.value(QStringLiteral("idle")).toInt(&ok);
    if (!ok || idleSeconds < 1) {
        std::fprintf(stderr, "linecard-updater-bench: --idle wants a whole number of seconds\n");
        return 64;
    }

    const BenchmarkResult result = UpdateBenchmark::run(idleSeconds, [&faults](EmulatedD2xx &emu) {
        for (const EmulatorFault &fault : faults)
            EmulatorFaults::apply(emu, fault);
    });
    const QString text = parser.isSet(QStringLiteral("json")) ? result.toJson() + '\n'
                                                              : result.toTable();
    std::fputs(text.toUtf8().constData(), stdout);
    return result.finished ? 0 : 1;
}
