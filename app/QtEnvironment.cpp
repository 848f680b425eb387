#include "app/QtEnvironment.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QtGlobal>

namespace QtEnvironment {

void useLeanEventLoop()
{
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

void useOffscreenWithoutDisplay()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

void identifyProgram(const char *name, bool desktopEntry)
{
    QCoreApplication::setApplicationName(QString::fromLatin1(name));
    QCoreApplication::setApplicationVersion(QStringLiteral(LINECARD_VERSION));
    if (desktopEntry)
        QGuiApplication::setDesktopFileName(QString::fromLatin1(name));
}

} // namespace QtEnvironment
