#include "bench/ProcessUsage.h"

#include <QElapsedTimer>
#include <QtTest>

// The benchmark's CPU and memory figures, read from the operating system,
// against what the test itself spends.
class tst_ProcessUsage : public QObject
{
    Q_OBJECT

private slots:
    void cpuTimeFollowsASpin();
    void residentMemoryFollowsAnAllocation();
};

void tst_ProcessUsage::cpuTimeFollowsASpin()
{
    // Windows counts thread times in clock ticks of about 15.6 ms.
    const qint64 tickUs = 20000;
    const qint64 spinUs = 200000;
    const qint64 processBefore = ProcessUsage::cpuTimeUs();
    const qint64 threadBefore = ProcessUsage::threadCpuTimeNs() / 1000;
    QElapsedTimer wall;
    wall.start();
    // Spin until the thread has used spinUs of processor time, however busy
    // the machine; a figure that never moves runs into the wall-time limit.
    volatile quint64 sink = 0;
    qint64 threadUs = 0;
    while (threadUs < spinUs && wall.elapsed() < 30000) {
        for (int i = 0; i < 100000; ++i)
            sink = sink + quint64(i) * 7;
        threadUs = ProcessUsage::threadCpuTimeNs() / 1000 - threadBefore;
    }
    const qint64 wallUs = wall.nsecsElapsed() / 1000;
    const qint64 processUs = ProcessUsage::cpuTimeUs() - processBefore;

    QVERIFY2(threadUs >= spinUs, qPrintable(QString::number(threadUs)));
    // One thread cannot use more processor time than passed on the clock.
    QVERIFY2(threadUs <= wallUs + tickUs,
             qPrintable(QStringLiteral("thread %1 us, wall %2 us").arg(threadUs).arg(wallUs)));
    // The process's time holds this thread's.
    QVERIFY2(
        processUs + tickUs >= threadUs,
        qPrintable(QStringLiteral("process %1 us, thread %2 us").arg(processUs).arg(threadUs)));
}

void tst_ProcessUsage::residentMemoryFollowsAnAllocation()
{
    const qint64 sizeKb = 64 * 1024;
    const qint64 before = ProcessUsage::residentKb();
    qint64 during = 0;
    {
        // Filled, so that every page is in memory.
        QByteArray block(int(sizeKb * 1024), 'x');
        during = ProcessUsage::residentKb();
        QCOMPARE(block.count('x'), int(sizeKb * 1024));
    }
    const qint64 peak = ProcessUsage::peakResidentKb();

    QVERIFY2(
        during - before >= sizeKb * 3 / 4,
        qPrintable(QStringLiteral("%1 KB before, %2 KB with the block").arg(before).arg(during)));
    // On Linux the peak (getrusage) and the resident size (/proc/self/statm)
    // come from counters that lag each other by some pages.
    const qint64 slackKb = 1024;
    QVERIFY2(peak + slackKb >= during,
             qPrintable(QStringLiteral("peak %1 KB, %2 KB with the block").arg(peak).arg(during)));
    // The whole process, Qt included, fits in less than a gigabyte here.
    QVERIFY2(peak < 1024 * 1024, qPrintable(QStringLiteral("peak %1 KB").arg(peak)));
}

QTEST_GUILESS_MAIN(tst_ProcessUsage)
#include "tst_processusage.moc"
