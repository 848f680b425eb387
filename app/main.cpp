#include "app/CommandLine.h"
#include "app/LineCardUpdaterWindow.h"
#include "app/QtEnvironment.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    // --help and --version need no display: answered before Qt starts.
    const int answered = CommandLine::answerBeforeStart(argc, argv, stdout);
    if (answered != CommandLine::GoOn)
        return answered;

    // The firmware images live in the core library; register them here.
    Q_INIT_RESOURCE(firmware);
    QtEnvironment::useLeanEventLoop();
    QtEnvironment::identifyProgram();
    QApplication app(argc, argv);
    // QApplication has taken its own options out of argv.
    if (const char *option = CommandLine::leftOver(argc, argv)) {
        std::fprintf(stderr, "linecard-updater: unknown option %s (see --help)\n", option);
        return CommandLine::BadOption;
    }
    LineCardUpdaterWindow window;
    window.show();
    return app.exec();
}
