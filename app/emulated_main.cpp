#include "app/AutoUpdateRunner.h"
#include "app/EmulatorOptions.h"
#include "app/LineCardUpdaterWindow.h"
#include "app/QtEnvironment.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    Q_INIT_RESOURCE(firmware);
    QtEnvironment::useLeanEventLoop();
    QtEnvironment::useOffscreenWithoutDisplay();
    QApplication app(argc, argv);

    EmulatorOptions options;
    QString error;
    QString help;
    if (!options.parse(app.arguments(), &error, &help)) {
        std::fprintf(stderr, "linecard-updater-emulated: %s (see --help)\n", qPrintable(error));
        return 64;
    }
    if (!help.isEmpty()) {
        std::fputs(qPrintable(help), stdout);
        return 0;
    }
    const std::shared_ptr<EmulatedD2xx> emulator = options.makeEmulator(&error);
    if (!emulator) {
        std::fprintf(stderr, "linecard-updater-emulated: %s\n", qPrintable(error));
        return 64;
    }

    LineCardUpdaterWindow window(nullptr, emulator);
    window.setWindowTitle(window.windowTitle() + QStringLiteral(" (emulated controller)"));
    window.show();
    if (!options.autoRun)
        return app.exec();

    AutoUpdateRunner runner(&window, options.timeoutSeconds);
    int exitCode = AutoUpdateRunner::TimedOut;
    QObject::connect(&runner, &AutoUpdateRunner::finished, &app, [&](int code) {
        exitCode = code;
        app.quit();
    });
    QTimer::singleShot(0, &runner, &AutoUpdateRunner::start);
    app.exec();
    std::fputs(runner.report().toUtf8().constData(), stdout);
    std::fflush(stdout);
    return exitCode;
}
