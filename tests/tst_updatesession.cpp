#include "bench/UpdateSession.h"

#include <QtTest>

namespace {
// Far above the 2 s reply time-out that ends a failing update.
constexpr int updateTimeoutMs = 30000;
} // namespace

// The driver the benchmark and the soak use: each runUpdate reports the
// result of its own update, whatever the panes hold from earlier ones.
class tst_UpdateSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Q_INIT_RESOURCE(firmware); }
    void outcomeOfEachUpdate_data();
    void outcomeOfEachUpdate();
};

void tst_UpdateSession::outcomeOfEachUpdate_data()
{
    QTest::addColumn<int>("updatesBefore");
    QTest::addColumn<bool>("cardAnswers");
    QTest::addColumn<UpdateSession::Outcome>("expected");

    QTest::newRow("first update finishes") << 0 << true << UpdateSession::Outcome::Finished;
    QTest::newRow("first update fails with a one-line error")
        << 0 << false << UpdateSession::Outcome::Failed;
    QTest::newRow("second update finishes") << 1 << true << UpdateSession::Outcome::Finished;
    QTest::newRow("update after a finished one fails")
        << 1 << false << UpdateSession::Outcome::Failed;
}

void tst_UpdateSession::outcomeOfEachUpdate()
{
    QFETCH(int, updatesBefore);
    QFETCH(bool, cardAnswers);
    QFETCH(UpdateSession::Outcome, expected);

    UpdateSession session(EmulatedD2xx::Timing::Instant);
    QVERIFY(session.connectController(10000));
    for (int i = 0; i < updatesBefore; ++i) {
        QCOMPARE(session.runUpdate(updateTimeoutMs), UpdateSession::Outcome::Finished);
        QVERIFY(session.waitUntilQuiet(10000));
    }
    if (!cardAnswers)
        session.emulator().card(0)->stopAnsweringAfter(0);

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(session.runUpdate(updateTimeoutMs), expected);
    QVERIFY2(clock.elapsed() < updateTimeoutMs / 2, qPrintable(QString::number(clock.elapsed())));
}

QTEST_MAIN(tst_UpdateSession)
#include "tst_updatesession.moc"
