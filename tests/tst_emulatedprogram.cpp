#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// linecard-updater-emulated run as other tools run it.
class tst_EmulatedProgram : public QObject
{
    Q_OBJECT

private slots:
    void autoRun_data();
    void autoRun();
    void helpListsTheOptions();
    void badOptions_data();
    void badOptions();
    void captureFile();
    void progressWithoutNoise();
    void autoRunShowsNoWindow();

private:
    int run(const QStringList &arguments, QByteArray *out = nullptr, int timeoutMs = 120000,
            QByteArray *err = nullptr, const QByteArray &display = QByteArray());
    static QByteArray textOf(QByteArray output);
};

int tst_EmulatedProgram::run(const QStringList &arguments, QByteArray *out, int timeoutMs,
                             QByteArray *err, const QByteArray &display)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    if (!display.isEmpty())
        env.insert("DISPLAY", display);
    env.remove("QT_QPA_PLATFORM"); // the program must choose offscreen by itself
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(EMULATED_PROGRAM), arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (out)
        *out = textOf(process.readAllStandardOutput());
    if (err)
        *err = textOf(process.readAllStandardError());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
}

// A Windows program's text output ends its lines with CR LF; a lone CR
// stays, as it rewrites a line in place.
QByteArray tst_EmulatedProgram::textOf(QByteArray output)
{
#ifdef Q_OS_WIN
    output.replace("\r\n", "\n");
#endif
    return output;
}

void tst_EmulatedProgram::autoRun_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("summaryLast");

    QTest::newRow("defaults, instant") << QStringList{"--auto", "--timing", "instant"} << 0
                                       << "Finished.";
    QTest::newRow("R&M 16 pair with reflash")
        << QStringList{"--auto", "--timing", "instant", "--card", "6:11:16:42", "--reflash", "ok"}
        << 0 << "Finished.";
    QTest::newRow("reflash fails")
        << QStringList{"--auto", "--timing", "instant", "--reflash", "fail"} << 1
        << "ERROR: Update failed - return card to Quorvane for replacement";
    QTest::newRow("no device") << QStringList{"--auto", "--timing", "instant", "--fault",
                                              "no-device"}
                               << 1
                               << "ERROR: controller not found - check the USB cable and click "
                                  "Connect again";
    QTest::newRow("unknown board")
        << QStringList{"--auto", "--timing", "instant", "--card", "6:2"} << 1
        << "Error: bad line card";
    QTest::newRow("a page answered after the reply time-out")
        << QStringList{"--auto", "--timing", "instant", "--fault", "slow:60:2500"} << 0
        << "Finished.";
    QTest::newRow("page refused once")
        << QStringList{"--auto", "--timing", "instant", "--fault", "refuse-page:7:1"} << 0
        << "Finished.";
    // Command 7 is the toggle that locks: a stray "locked" in front of it,
    // then its answer twice: answers too many, the next attempt installs.
    QTest::newRow("a stray and a duplicated answer at the lock")
        << QStringList{"--auto", "--timing", "instant", "--fault", "stray:7:02FFFF3B01", "--fault",
                       "dup:7"}
        << 0 << "Finished.";
    QTest::newRow("a stray LED report behind the identify's answer")
        << QStringList{"--auto", "--timing", "instant", "--fault", "stray-after:2:22FFFF"} << 0
        << "Finished.";
    QTest::newRow("time limit") << QStringList{"--auto", "--timeout", "1"} << 2 << QString();
}

void tst_EmulatedProgram::autoRun()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, summaryLast);

    QByteArray out;
    QCOMPARE(run(arguments, &out), exitCode);
    const QStringList lines = QString::fromUtf8(out).split('\n');
    // The summary pane comes first, then the "Results" pane.
    const int results = lines.indexOf("onSelectDevice");
    QVERIFY2(results >= 0, out.constData());
    if (!summaryLast.isEmpty())
        QCOMPARE(lines.at(results - 1), summaryLast);
}

void tst_EmulatedProgram::helpListsTheOptions()
{
    QByteArray out;
    QCOMPARE(run({"--help"}, &out), 0);
    for (const char *option : {"--card", "--cards", "--timing", "--capture", "--reflash",
                               "--fault", "--auto", "--timeout"})
        QVERIFY2(out.contains(option), option);
}

void tst_EmulatedProgram::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("--timing fast") << QStringList{"--timing", "fast"};
    QTest::newRow("--card 1") << QStringList{"--card", "1"};
    QTest::newRow("--card 0:256") << QStringList{"--card", "0:256"};
    QTest::newRow("--fault drop:0") << QStringList{"--fault", "drop:0"};
    QTest::newRow("--fault unplug") << QStringList{"--fault", "unplug"};
    QTest::newRow("--fault device-id:2G") << QStringList{"--fault", "device-id:2G"};
    QTest::newRow("--fault slow:3 (no time)") << QStringList{"--fault", "slow:3"};
    QTest::newRow("--fault slow-from:3:-5") << QStringList{"--fault", "slow-from:3:-5"};
    QTest::newRow("--fault dup:x") << QStringList{"--fault", "dup:x"};
    QTest::newRow("--fault stray:5 (no body)") << QStringList{"--fault", "stray:5"};
    QTest::newRow("--fault stray:5:0") << QStringList{"--fault", "stray:5:0"};
    QTest::newRow("--fault stray-after:5:ZZ") << QStringList{"--fault", "stray-after:5:ZZ"};
    QTest::newRow("--cards -1") << QStringList{"--cards", "-1"};
    QTest::newRow("--reflash maybe") << QStringList{"--reflash", "maybe"};
    QTest::newRow("--frobnicate") << QStringList{"--frobnicate"};
}

void tst_EmulatedProgram::badOptions()
{
    QFETCH(QStringList, arguments);
    QCOMPARE(run(arguments << "--auto"), 64);
}

void tst_EmulatedProgram::captureFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("exchange.txt");
    QCOMPARE(run({"--auto", "--timing", "instant", "--capture", path}), 0);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.first(), QByteArray("# vx420 capture v1"));
    int writes = 0;
    for (const QByteArray &line : lines)
        writes += line.contains(" host FT_Write 0 55 ");
    QVERIFY(writes > 128); // every page of the image went out
}

// Standard error shows the stages of the update as plain lines (it is no
// terminal here) and none of the offscreen platform's remarks; the panes go
// to standard output.
void tst_EmulatedProgram::progressWithoutNoise()
{
    QByteArray out;
    QByteArray err;
    QCOMPARE(run({"--auto", "--timing", "instant"}, &out, 120000, &err), 0);
    const QList<QByteArray> lines = err.split('\n');
    QVERIFY2(lines.contains("Installing the firmware: page 64/128"), err.constData());
    QVERIFY2(lines.contains("Installing the firmware: page 128/128"), err.constData());
    QVERIFY2(lines.contains("Finished."), err.constData());
    QVERIFY2(lines.indexOf("Checking the card's bootloader")
                 > lines.indexOf("Installing the firmware: page 128/128"),
             err.constData());
    QVERIFY2(!err.contains("XDG_RUNTIME_DIR") && !err.contains("propagateSizeHints"),
             err.constData());
    QVERIFY(!err.contains('\r')); // no line rewritten in place off a terminal
    QVERIFY(out.startsWith("Detected Krone LSA-PLUS 10 pair\n"));
}

// The automatic run takes the offscreen platform even where there is a
// display: on Linux here one that does not exist, which X11 would fail on.
void tst_EmulatedProgram::autoRunShowsNoWindow()
{
    QByteArray out;
    QByteArray err;
    QCOMPARE(run({"--auto", "--timing", "instant"}, &out, 120000, &err, ":97"), 0);
    QVERIFY2(out.contains("Finished.\n"), err.constData());
}

QTEST_GUILESS_MAIN(tst_EmulatedProgram)
#include "tst_emulatedprogram.moc"
