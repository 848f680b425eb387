#include "app/QtEnvironment.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QFile>
#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace QtEnvironment {

namespace {

bool hasDisplay()
{
#ifdef Q_OS_WIN
    // A service, or a program started where no one is logged on, runs in a
    // window station without a visible desktop.
    USEROBJECTFLAGS flags{};
    const HWINSTA station = GetProcessWindowStation();
    return station && GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr)
           && (flags.dwFlags & WSF_VISIBLE);
#else
    return !qEnvironmentVariableIsEmpty("DISPLAY")
           || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#endif
}

} // namespace

void useLeanEventLoop()
{
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

void useOffscreenWithoutDisplay(bool showsNoWindow)
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || (hasDisplay() && !showsNoWindow))
        return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
#ifdef Q_OS_WIN
    // The offscreen platform reads its fonts from one folder, by default one
    // beside Qt's libraries that Qt for Windows does not ship.
    if (qEnvironmentVariableIsEmpty("QT_QPA_FONTDIR"))
        qputenv("QT_QPA_FONTDIR",
                QFile::encodeName(qEnvironmentVariable("WINDIR") + QStringLiteral("/Fonts")));
#endif
}

void identifyProgram(const char *name, bool desktopEntry)
{
    QCoreApplication::setApplicationName(QString::fromLatin1(name));
    QCoreApplication::setApplicationVersion(QStringLiteral(LINECARD_VERSION));
    if (desktopEntry)
        QGuiApplication::setDesktopFileName(QString::fromLatin1(name));
}

} // namespace QtEnvironment
