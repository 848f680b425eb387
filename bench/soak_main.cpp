#include "app/QtEnvironment.h"
#include "bench/UpdateSoak.h"

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
    parser.setApplicationDescription(QStringLiteral(
        "Runs many updates in a row against the emulated controller in instant timing."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("updates"), QStringLiteral("How many (default 100)."),
                      QStringLiteral("N"), QStringLiteral("100")});
    parser.process(app);
    bool ok = false;
    const int updates = parser.value(QStringLiteral("updates")).toInt(&ok);
    if (!ok || updates < 1) {
        std::fprintf(stderr, "linecard-updater-soak: --updates wants a positive number\n");
        return 64;
    }

    const SoakResult result = UpdateSoak::run(updates);
    std::fputs(result.toText().toUtf8().constData(), stdout);
    return result.passed() ? 0 : 1;
}
