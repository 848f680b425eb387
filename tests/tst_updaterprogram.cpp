#include "tests/support/TestBytes.h"

#include <QProcess>
#include <QtTest>

// linecard-updater, the program technicians install, run as a user runs it
// from a terminal.
class tst_UpdaterProgram : public QObject
{
    Q_OBJECT

private slots:
    void answersWithoutDisplay_data();
    void answersWithoutDisplay();
    void unknownOption();
    void statesItsUsbLibrary_data();
    void statesItsUsbLibrary();

private:
    // Runs the program; a window that stays open is closed after
    // keepOpenMs. The exit code, or -1 when it had to be killed.
    static int run(const QStringList &arguments, const QProcessEnvironment &env, QByteArray *out,
                   QByteArray *err, int keepOpenMs = 30000);
};

int tst_UpdaterProgram::run(const QStringList &arguments, const QProcessEnvironment &env,
                            QByteArray *out, QByteArray *err, int keepOpenMs)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(UPDATER_PROGRAM), arguments);
    int code = -1;
    if (process.waitForFinished(keepOpenMs)) {
        code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    } else {
        process.kill();
        process.waitForFinished();
    }
    *out = textOfProgram(process.readAllStandardOutput());
    *err = textOfProgram(process.readAllStandardError());
    return code;
}

void tst_UpdaterProgram::answersWithoutDisplay_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QByteArray>("start");
    QTest::newRow("--version") << "--version"
                               << QByteArray("linecard-updater " LINECARD_VERSION "\n");
    QTest::newRow("-v") << "-v" << QByteArray("linecard-updater " LINECARD_VERSION "\n");
    QTest::newRow("--help") << "--help"
                            << QByteArray("Usage: linecard-updater [--help | --version]\n");
    QTest::newRow("-h") << "-h" << QByteArray("Usage: linecard-updater [--help | --version]\n");
}

// No display at all, and the X11 platform asked for, which would abort the
// program had it started Qt's GUI.
void tst_UpdaterProgram::answersWithoutDisplay()
{
    QFETCH(QString, option);
    QFETCH(QByteArray, start);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("QT_QPA_PLATFORM", "xcb");
    QByteArray out, err;
    QCOMPARE(run({option}, env, &out, &err), 0);
    QVERIFY2(out.startsWith(start), out.constData());
    QVERIFY2(err.isEmpty(), err.constData());
    if (option.contains('h')) {
        QVERIFY(out.contains("--version"));
        QVERIFY(out.contains("QT_LOGGING_RULES"));
    } else {
        QCOMPARE(out, start);
    }
}

void tst_UpdaterProgram::unknownOption()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QByteArray out, err;
    QCOMPARE(run({"--frobnicate"}, env, &out, &err), 64);
    QVERIFY2(err.contains("linecard-updater: unknown option --frobnicate (see --help)"),
             err.constData());
}

void tst_UpdaterProgram::statesItsUsbLibrary_data()
{
    QTest::addColumn<bool>("askedWhy");
    QTest::newRow("plain") << false;
    QTest::newRow("with linecard.usb diagnostics") << true;
}

// A plain statement of the USB library on every start; why the chip maker's
// library was not used only when the logging category is switched on.
void tst_UpdaterProgram::statesItsUsbLibrary()
{
    QFETCH(bool, askedWhy);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("QT_LOGGING_RULES");
    if (askedWhy)
        env.insert("QT_LOGGING_RULES", "linecard.usb.debug=true");
    QByteArray out, err;
    QCOMPARE(run({}, env, &out, &err, 1500), -1); // the window stays open until closed
    QByteArrayList stated;
    for (const QByteArray &line : err.split('\n')) {
        if (line.startsWith("USB: "))
            stated << line;
    }
    QCOMPARE(stated.size(), 1);
    QVERIFY2(stated.first() == "USB: libftdi1" || stated.first().startsWith("USB: vendor library ")
                 || stated.first().startsWith("USB: none"),
             err.constData());
    if (stated.first() == "USB: libftdi1")
        QCOMPARE(err.contains("vendor library not used: "), askedWhy);
}

QTEST_GUILESS_MAIN(tst_UpdaterProgram)
#include "tst_updaterprogram.moc"
