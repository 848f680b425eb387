#include "app/LineCardUpdaterWindow.h"
#include "app/QtEnvironment.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // The firmware images live in the core library; register them here.
    Q_INIT_RESOURCE(firmware);
    QtEnvironment::useLeanEventLoop();
    QApplication app(argc, argv);
    LineCardUpdaterWindow window;
    window.show();
    return app.exec();
}
