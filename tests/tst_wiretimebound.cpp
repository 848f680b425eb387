#include "bench/WireTimeBound.h"
#include "controller/Opcodes.h"
#include "controller/VX420Controller.h"

#include <QtTest>

Q_DECLARE_METATYPE(EmulatorCall)
Q_DECLARE_METATYPE(EmulatorFrame)

namespace {
EmulatorCall call(qint64 timeUs, const char *function, const QByteArray &bytes = {},
                  FT_STATUS status = FT_OK)
{
    EmulatorCall c;
    c.timeUs = timeUs;
    c.function = function;
    c.bytes = bytes;
    c.status = status;
    return c;
}

EmulatorFrame frame(qint64 startUs, int characters, quint32 intervalUs = 12500)
{
    return {startUs, startUs + 1146 * characters, QByteArray(characters, '\x02'), intervalUs};
}

// A break of 2100 us, then a write of the given size at 10000 us.
QList<EmulatorCall> transmissionAt(qint64 timeUs, int characters)
{
    return {call(timeUs - 2100, "FT_SetBreakOn"), call(timeUs - 10, "FT_SetBreakOff"),
            call(timeUs, "FT_Write", QByteArray(characters, 'x'))};
}

double us(int characters)
{
    return WireTimeBound::charactersUs(characters);
}
} // namespace

class tst_WireTimeBound : public QObject
{
    Q_OBJECT

private slots:
    void fromRecord_data();
    void fromRecord();
    void boundsARealExchange();
};

void tst_WireTimeBound::fromRecord_data()
{
    QTest::addColumn<QList<EmulatorCall>>("calls");
    QTest::addColumn<QList<EmulatorFrame>>("frames");
    QTest::addColumn<int>("transmissions");
    QTest::addColumn<int>("replyFrames");
    QTest::addColumn<double>("expectedUs");

    const QList<EmulatorCall> one = transmissionAt(10000, 9);
    QTest::newRow("9 characters, no reply")
        << one << QList<EmulatorFrame>() << 1 << 0 << 2090 + us(9);
    QTest::newRow("three 3-character frames: three intervals and the last frame")
        << one << QList<EmulatorFrame>{frame(30000, 3), frame(42500, 3), frame(55000, 3)} << 1 << 3
        << 2090 + us(9) + 3 * 12500 + us(3);
    QTest::newRow("each frame counts the interval it was sent under")
        << one << QList<EmulatorFrame>{frame(30000, 3, 1250), frame(31250, 4, 1250)} << 1 << 2
        << 2090 + us(9) + 2 * 1250 + us(4);
    QTest::newRow("frames before the write belong to no reply")
        << one << QList<EmulatorFrame>{frame(5000, 3), frame(30000, 3)} << 1 << 1
        << 2090 + us(9) + 12500 + us(3);

    QList<EmulatorCall> two = one + transmissionAt(100000, 4);
    QTest::newRow("frames go to the transmission they follow")
        << two << QList<EmulatorFrame>{frame(30000, 3), frame(120000, 5), frame(132500, 3)} << 2
        << 3 << 2 * 2090 + us(9) + us(4) + 12500 + us(3) + 2 * 12500 + us(3);

    QList<EmulatorCall> failed = one;
    failed.append(call(50000, "FT_SetBreakOn"));
    failed.append(call(52000, "FT_SetBreakOff"));
    failed.append(call(52010, "FT_Write", "abc", FT_IO_ERROR));
    QTest::newRow("a failed write sends nothing")
        << failed << QList<EmulatorFrame>() << 1 << 0 << 2090 + us(9);

    QList<EmulatorCall> noBreak{call(10000, "FT_Write", "ab")};
    QTest::newRow("a write without a break")
        << noBreak << QList<EmulatorFrame>() << 1 << 0 << us(2);

    const QList<EmulatorCall> outside = transmissionAt(500, 2) + one + transmissionAt(900000, 7);
    QTest::newRow("only writes inside the interval")
        << outside << QList<EmulatorFrame>() << 1 << 0 << 2090 + us(9);
}

void tst_WireTimeBound::fromRecord()
{
    QFETCH(QList<EmulatorCall>, calls);
    QFETCH(QList<EmulatorFrame>, frames);
    QFETCH(int, transmissions);
    QFETCH(int, replyFrames);
    QFETCH(double, expectedUs);

    const WireTimeBound bound = WireTimeBound::fromRecord(calls, frames, 5000, 200000);
    QCOMPARE(bound.transmissions, transmissions);
    QCOMPARE(bound.replyFrames, replyFrames);
    QVERIFY2(qAbs(bound.totalUs() - expectedUs) < 0.01,
             qPrintable(QString::number(bound.totalUs()) + " != " + QString::number(expectedUs)));
}

// In wire timing, the bound of one identify exchange is reached within the
// few microseconds the library calls around the break take: it models the
// link the emulator plays, and never exceeds what the link took.
void tst_WireTimeBound::boundsARealExchange()
{
    auto emu = std::make_shared<EmulatedD2xx>(EmulatedD2xx::Timing::Wire);
    emu->addCard();
    VX420Controller controller(nullptr, emu);
    QSignalSpy selected(&controller, &VX420Controller::notifyLineCardsSelected);
    QSignalSpy info(&controller, &VX420Controller::notifyLineCardInfo);
    controller.onReqDefaultStartup();
    QTRY_COMPARE_WITH_TIMEOUT(selected.count(), 1, 5000);

    emu->clearCalls();
    controller.onReqCmdIdentify(1);
    QTRY_COMPARE_WITH_TIMEOUT(info.count(), 1, 5000);

    const QList<EmulatorCall> calls = emu->calls();
    const QList<EmulatorFrame> frames = emu->framesSent();
    QVERIFY(!frames.isEmpty());
    qint64 breakOnUs = -1;
    for (const EmulatorCall &c : calls) {
        if (c.function == "FT_SetBreakOn") {
            breakOnUs = c.timeUs;
            break;
        }
    }
    QVERIFY(breakOnUs >= 0);
    const double linkUs = double(frames.last().endUs - breakOnUs);
    const WireTimeBound bound = WireTimeBound::fromRecord(calls, frames, 0, emu->nowUs());
    QCOMPARE(bound.transmissions, 1);
    QCOMPARE(bound.replyFrames, frames.size());
    QVERIFY2(
        bound.totalUs() <= linkUs && linkUs - bound.totalUs() < 2000,
        qPrintable(QStringLiteral("bound %1 us, link %2 us").arg(bound.totalUs()).arg(linkUs)));
}

QTEST_GUILESS_MAIN(tst_WireTimeBound)
#include "tst_wiretimebound.moc"
