#include "emulated/AutoUpdateRunner.h"
#include "tests/support/TestBytes.h"

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
    void version();
    void badOptions_data();
    void badOptions();
    void captureFile();
    void progressWithoutNoise();
    void installLine_data();
    void installLine();
    void autoRunShowsNoWindow();

private:
    // The lines under a heading of the --auto output, up to the blank line
    // that ends them.
    static QStringList section(const QStringList &lines, const QString &heading);
    int run(const QStringList &arguments, QByteArray *out = nullptr, int timeoutMs = 120000,
            QByteArray *err = nullptr, const QByteArray &display = QByteArray());
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
        *out = textOfProgram(process.readAllStandardOutput());
    if (err)
        *err = textOfProgram(process.readAllStandardError());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
}

QStringList tst_EmulatedProgram::section(const QStringList &lines, const QString &heading)
{
    const int start = lines.indexOf(heading);
    if (start < 0)
        return {};
    QStringList found;
    for (int i = start + 1; i < lines.size() && !lines.at(i).isEmpty(); ++i)
        found << lines.at(i);
    return found;
}

void tst_EmulatedProgram::autoRun_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("verdict");

    QTest::newRow("defaults, instant")
        << QStringList{"--auto", "--timing", "instant"} << 0 << "Finished.";
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
    QTest::newRow("unknown board") << QStringList{"--auto", "--timing", "instant", "--card", "6:2"}
                                   << 1 << "Error: bad line card";
    QTest::newRow("a page answered after the reply time-out")
        << QStringList{"--auto", "--timing", "instant", "--fault", "slow:60:2500"} << 0
        << "Finished.";
    QTest::newRow("page refused once")
        << QStringList{"--auto", "--timing", "instant", "--fault", "refuse-page:7:1"} << 0
        << "Finished.";
    // Command 7 is the toggle that locks: a stray "locked" in front of it,
    // then its answer twice: answers too many, the next attempt installs.
    QTest::newRow("a stray and a duplicated answer at the lock")
        << QStringList{"--auto",  "--timing", "instant", "--fault", "stray:7:02FFFF3B01",
                       "--fault", "dup:7"}
        << 0 << "Finished.";
    QTest::newRow("a stray LED report behind the identify's answer")
        << QStringList{"--auto", "--timing", "instant", "--fault", "stray-after:2:22FFFF"} << 0
        << "Finished.";
    QTest::newRow("no card") << QStringList{"--auto", "--timing", "instant", "--cards", "0"} << 1
                             << "ERROR: no line card answered - plug in one line card and click "
                                "Update card again";
    QTest::newRow("controller does not open")
        << QStringList{"--auto", "--timing", "instant", "--fault", "open-fails"} << 1
        << "ERROR: controller found but could not be opened - is another program using it?";
    QTest::newRow("time limit") << QStringList{"--auto", "--timeout", "1"} << 2 << QString();
}

void tst_EmulatedProgram::autoRun()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, verdict);

    QByteArray out;
    QCOMPARE(run(arguments, &out), exitCode);
    const QStringList lines = QString::fromUtf8(out).split('\n');
    // The "Results" pane first, then the summary pane, each under its heading.
    QCOMPARE(lines.first(), QString("== Results =="));
    QCOMPARE(section(lines, "== Results ==").value(0), QString("onSelectDevice"));
    const QStringList summary = section(lines, "== Summary ==");
    if (verdict.isEmpty()) {
        QCOMPARE(lines.at(lines.size() - 2), QString("No result within 1.0 s"));
        return;
    }
    QVERIFY2(!summary.isEmpty(), out.constData());
    // The verdict, once, with the time it took; only hints follow it.
    const QRegularExpression timed(QRegularExpression::escape(verdict)
                                   + "  \\((\\d+\\.\\d s|\\d+ min \\d\\d s)\\)");
    const QStringList verdicts = summary.filter(QRegularExpression("^" + timed.pattern() + "$"));
    QVERIFY2(verdicts.size() == 1, out.constData());
    for (const QString &line : summary.mid(summary.indexOf(verdicts.first()) + 1))
        QVERIFY2(line.startsWith("Next: ") || line.startsWith("Reason: "), qPrintable(line));
    QCOMPARE(out.count(verdict.toUtf8()), 1);
}

void tst_EmulatedProgram::helpListsTheOptions()
{
    QByteArray out;
    QCOMPARE(run({"--help"}, &out), 0);
    for (const char *option : {"--card", "--cards", "--timing", "--capture", "--reflash", "--fault",
                               "--auto", "--timeout"})
        QVERIFY2(out.contains(option), option);
}

void tst_EmulatedProgram::version()
{
    QByteArray out;
    QCOMPARE(run({"--version"}, &out), 0);
    QCOMPARE(out, QByteArray("linecard-updater-emulated " LINECARD_VERSION "\n"));
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
// terminal here), the percentage of the pages sent, and none of the
// offscreen platform's remarks; the panes and the verdict go to standard
// output, "Finished." once.
void tst_EmulatedProgram::progressWithoutNoise()
{
    QByteArray out;
    QByteArray err;
    QCOMPARE(run({"--auto", "--timing", "instant"}, &out, 120000, &err), 0);
    const QList<QByteArray> lines = err.split('\n');
    const auto lineStarting = [&lines](const QByteArray &start) {
        for (int i = 0; i < lines.size(); ++i) {
            if (lines.at(i).startsWith(start))
                return i;
        }
        return -1;
    };
    QVERIFY2(lineStarting("Installing the firmware: 50% (page 64/128)") >= 0, err.constData());
    const int lastPage = lineStarting("Installing the firmware: 100% (page 128/128)");
    QVERIFY2(lastPage >= 0, err.constData());
    QVERIFY2(lines.indexOf("Checking the card's bootloader") > lastPage, err.constData());
    QVERIFY2(!err.contains("Finished."), err.constData());
    QVERIFY2(!err.contains("XDG_RUNTIME_DIR") && !err.contains("propagateSizeHints"),
             err.constData());
    QVERIFY(!err.contains('\r')); // no line rewritten in place off a terminal
    QVERIFY(out.startsWith("== Results ==\nonSelectDevice\n"));
    QCOMPARE(out.count("Finished."), 1);
}

void tst_EmulatedProgram::installLine_data()
{
    QTest::addColumn<int>("done");
    QTest::addColumn<int>("paced");
    QTest::addColumn<int>("spentMs");
    QTest::addColumn<QString>("line");

    QTest::newRow("no page yet") << 0 << 0 << 0 << "";
    QTest::newRow("one page: no pace yet")
        << 1 << 1 << 230 << "Installing the firmware: 0% (page 1/128)";
    QTest::newRow("half, on the wire")
        << 64 << 63 << 14500 << "Installing the firmware: 50% (page 64/128), about 15 s left";
    QTest::newRow("a retry's pace: pages 60 to 64 in 1 s")
        << 64 << 4 << 1000 << "Installing the firmware: 50% (page 64/128), about 16 s left";
    QTest::newRow("slow: minutes left")
        << 16 << 15 << 30000 << "Installing the firmware: 12% (page 16/128), about 3 min 44 s left";
    QTest::newRow("instant: under a second left")
        << 112 << 111 << 300 << "Installing the firmware: 87% (page 112/128)";
    QTest::newRow("the last page")
        << 128 << 127 << 29000 << "Installing the firmware: 100% (page 128/128)";
}

// The stage line while the pages go in: the percentage, the page, and the
// time left at the pace of the attempt's pages so far.
void tst_EmulatedProgram::installLine()
{
    QFETCH(int, done);
    QFETCH(int, paced);
    QFETCH(int, spentMs);
    QFETCH(QString, line);
    QCOMPARE(AutoUpdateRunner::installLine(done, 128, paced, spentMs), line);
}

// The automatic run takes the offscreen platform even where there is a
// display: on Linux here one that does not exist, which X11 would fail on.
void tst_EmulatedProgram::autoRunShowsNoWindow()
{
    QByteArray out;
    QByteArray err;
    QCOMPARE(run({"--auto", "--timing", "instant"}, &out, 120000, &err, ":97"), 0);
    QVERIFY2(out.count("\nFinished.  (") == 1, err.constData());
}

QTEST_GUILESS_MAIN(tst_EmulatedProgram)
#include "tst_emulatedprogram.moc"
