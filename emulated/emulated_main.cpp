#include "app/LineCardUpdaterWindow.h"
#include "app/QtEnvironment.h"
#include "emulated/AutoUpdateRunner.h"
#include "emulated/EmulatedCardsWindow.h"
#include "emulated/EmulatorOptions.h"

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

QtMessageHandler defaultHandler = nullptr;

// What the offscreen platform says about itself is no news to the user.
void quietPlatform(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))
        || message == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    defaultHandler(type, context, message);
}

} // namespace

int main(int argc, char *argv[])
{
    Q_INIT_RESOURCE(firmware);
    QtEnvironment::useLeanEventLoop();
    // The automatic run shows no window, also where there is a display.
    const bool autoRun = std::any_of(argv + 1, argv + argc,
                                     [](const char *arg) { return qstrcmp(arg, "--auto") == 0; });
    QtEnvironment::useOffscreenWithoutDisplay(autoRun);
    QtEnvironment::identifyProgram("linecard-updater-emulated", false);
    defaultHandler = qInstallMessageHandler(quietPlatform);
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
    if (options.showVersion) {
        std::printf("linecard-updater-emulated %s\n", LINECARD_VERSION);
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
    EmulatedCardsWindow cards(emulator);
    cards.showBeside(window);
    if (!options.autoRun)
        return app.exec();

    AutoUpdateRunner runner(&window, options.timeoutSeconds);
    runner.setProgressOutput(stderr, isatty(fileno(stderr)) == 1);
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
