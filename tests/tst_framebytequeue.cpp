#include "controller/FrameByteQueue.h"
#include "controller/PacketCodec.h"
#include "tests/support/TestBytes.h"

#include <QtTest>

class tst_FrameByteQueue : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void framesFromChunks_data();
    void framesFromChunks();
    void openRunIsBounded_data();
    void openRunIsBounded();
    void clear();

private:
    FrameByteQueue queue;
};

void tst_FrameByteQueue::init()
{
    queue = FrameByteQueue();
}

void tst_FrameByteQueue::framesFromChunks_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QList<bool>>("appendResults");
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<int>("leftOver");

    QTest::newRow("02 05 00") << QList<QByteArray>{hex("02 05 00")} << QList<bool>{true}
                              << QList<QByteArray>{hex("05 00")} << 0;
    QTest::newRow("02 | 05 00 (split)")
        << QList<QByteArray>{hex("02"), hex("05 00")} << QList<bool>{false, true}
        << QList<QByteArray>{hex("05 00")} << 0;
    QTest::newRow("02 05 00 02 06 00 (two frames)")
        << QList<QByteArray>{hex("02 05 00 02 06 00")} << QList<bool>{true}
        << QList<QByteArray>{hex("05 00"), hex("06 00")} << 0;
    QTest::newRow("02 05 00 02 (partial tail)")
        << QList<QByteArray>{hex("02 05 00 02")} << QList<bool>{true}
        << QList<QByteArray>{hex("05 00")} << 1;
    QTest::newRow("00 02 05 00 (malformed, then resync)")
        << QList<QByteArray>{hex("00 02 05 00")} << QList<bool>{true}
        << QList<QByteArray>{QByteArray(), hex("05 00")} << 0;
    QTest::newRow("04 05 00 02 06 00 (zero too early)")
        << QList<QByteArray>{hex("04 05 00 02 06 00")} << QList<bool>{true}
        << QList<QByteArray>{QByteArray(), hex("06 00")} << 0;
    QTest::newRow("empty chunk") << QList<QByteArray>{QByteArray()} << QList<bool>{false}
                                 << QList<QByteArray>{} << 0;
}

void tst_FrameByteQueue::framesFromChunks()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<bool>, appendResults);
    QFETCH(QList<QByteArray>, frames);
    QFETCH(int, leftOver);

    QList<bool> results;
    for (const QByteArray &chunk : chunks)
        results.append(queue.append(chunk));
    QCOMPARE(results, appendResults);

    QList<QByteArray> taken;
    while (queue.hasFrame())
        taken.append(queue.takeFrame());
    QCOMPARE(taken, frames);
    QCOMPARE(queue.size(), leftOver);
}

void tst_FrameByteQueue::openRunIsBounded_data()
{
    QTest::addColumn<QList<int>>("chunkSizes");

    QTest::newRow("one chunk of 10000") << QList<int>{10000};
    QTest::newRow("4096 then 1") << QList<int>{4096, 1};
    QTest::newRow("100 chunks of 100") << QList<int>{QVector<int>(100, 100).toList()};
    QTest::newRow("3000 then 3000") << QList<int>{3000, 3000};
}

void tst_FrameByteQueue::openRunIsBounded()
{
    QFETCH(QList<int>, chunkSizes);

    // A well-formed frame, then junk without a delimiter, then a frame.
    QVERIFY(queue.append(hex("02 11 00")));
    for (int size : chunkSizes)
        queue.append(QByteArray(size, '\x07'));
    QVERIFY(queue.size() <= 3 + FrameByteQueue::maxOpenRun);
    QVERIFY(queue.append(hex("00 02 22 00")));

    QCOMPARE(queue.takeFrame(), hex("11 00"));
    QCOMPARE(queue.takeFrame(), QByteArray()); // the truncated junk frame
    QCOMPARE(queue.takeFrame(), hex("22 00"));
    QVERIFY(!queue.hasFrame());
}

void tst_FrameByteQueue::clear()
{
    queue.append(hex("02 05 00 02"));
    queue.clear();
    QVERIFY(!queue.hasFrame());
    QCOMPARE(queue.size(), 0);
    QVERIFY(queue.append(hex("02 06 00")));
    QCOMPARE(queue.takeFrame(), hex("06 00"));
}

QTEST_APPLESS_MAIN(tst_FrameByteQueue)
#include "tst_framebytequeue.moc"
