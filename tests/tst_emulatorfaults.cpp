#include "emulator/EmulatedD2xx.h"
#include "emulator/EmulatorFaults.h"

#include <QFile>
#include <QtTest>

// The table of fault kinds: what --fault reads, what each kind does to the
// emulator, and the README's table made from it.
class tst_EmulatorFaults : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void badSpecs_data();
    void badSpecs();
    void chipFaults();
    void helpNamesEveryKind();
    void readmeTableIsTheTable();
};

void tst_EmulatorFaults::parse_data()
{
    QTest::addColumn<QString>("spec");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("amount");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("no-device") << "no-device"
                               << "no-device" << 0 << -1 << QByteArray();
    QTest::newRow("drop:1") << "drop:1"
                            << "drop" << 1 << -1 << QByteArray();
    QTest::newRow("slow:60:2500") << "slow:60:2500"
                                  << "slow" << 60 << 2500 << QByteArray();
    QTest::newRow("slow-from:3:0") << "slow-from:3:0"
                                   << "slow-from" << 3 << 0 << QByteArray();
    QTest::newRow("refuse-page:0 (always)") << "refuse-page:0"
                                            << "refuse-page" << 0 << -1 << QByteArray();
    QTest::newRow("refuse-page:7:2") << "refuse-page:7:2"
                                     << "refuse-page" << 7 << 2 << QByteArray();
    QTest::newRow("stray:7:02FFFF3B01") << "stray:7:02FFFF3B01"
                                        << "stray" << 7 << -1 << QByteArray::fromHex("02FFFF3B01");
    QTest::newRow("device-id:2553") << "device-id:2553"
                                    << "device-id" << 0 << -1 << QByteArray::fromHex("2553");
}

void tst_EmulatorFaults::parse()
{
    QFETCH(QString, spec);
    QFETCH(QString, kind);
    QFETCH(int, number);
    QFETCH(int, amount);
    QFETCH(QByteArray, bytes);

    EmulatorFault fault;
    QVERIFY(EmulatorFaults::parse(spec, &fault));
    QCOMPARE(fault.kind, kind);
    QCOMPARE(fault.number, number);
    QCOMPARE(fault.amount, amount);
    QCOMPARE(fault.bytes, bytes);
}

void tst_EmulatorFaults::badSpecs_data()
{
    QTest::addColumn<QString>("spec");
    QTest::newRow("unknown kind") << "unplug";
    QTest::newRow("drop:0, commands count from 1") << "drop:0";
    QTest::newRow("drop without K") << "drop";
    QTest::newRow("drop:3:4, one argument too many") << "drop:3:4";
    QTest::newRow("no-device:1") << "no-device:1";
    QTest::newRow("slow:3 without the time") << "slow:3";
    QTest::newRow("slow-from:3:-5") << "slow-from:3:-5";
    QTest::newRow("slow:3:600001") << "slow:3:600001";
    QTest::newRow("refuse-page:65536") << "refuse-page:65536";
    QTest::newRow("refuse-page:1:0") << "refuse-page:1:0";
    QTest::newRow("stray:5 without the body") << "stray:5";
    QTest::newRow("stray:5:0, half a byte") << "stray:5:0";
    QTest::newRow("stray-after:5:ZZ") << "stray-after:5:ZZ";
    QTest::newRow("device-id:2G") << "device-id:2G";
    QTest::newRow("dup:x") << "dup:x";
    QTest::newRow("empty") << "";
}

void tst_EmulatorFaults::badSpecs()
{
    QFETCH(QString, spec);
    EmulatorFault fault;
    fault.kind = QStringLiteral("untouched");
    QVERIFY(!EmulatorFaults::parse(spec, &fault));
    QCOMPARE(fault.kind, QString("untouched"));
}

// The kinds that act on the chip rather than on the cards, seen through the
// chip's own interface.
void tst_EmulatorFaults::chipFaults()
{
    const auto applied = [](const char *spec) {
        auto emu = std::make_shared<EmulatedD2xx>(EmulatedD2xx::Timing::Instant);
        emu->addCard();
        EmulatorFault fault;
        if (EmulatorFaults::parse(QString::fromLatin1(spec), &fault))
            EmulatorFaults::apply(*emu, fault);
        return emu;
    };
    uint32_t count = 99;
    QCOMPARE(applied("no-device")->FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(count, 0u);

    auto opening = applied("open-fails");
    QCOMPARE(opening->FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(count, 1u);
    FT_HANDLE handle = nullptr;
    QVERIFY(opening->FT_Open(0, &handle) != FT_OK);

    auto pulled = applied("cable-pull:1");
    QCOMPARE(pulled->FT_Open(0, &handle), FT_STATUS(FT_OK));
    char byte = 0x55;
    uint32_t written = 0;
    QCOMPARE(pulled->FT_Write(handle, &byte, 1, &written), FT_STATUS(FT_IO_ERROR));
}

void tst_EmulatorFaults::helpNamesEveryKind()
{
    const QString help = EmulatorFaults::help();
    for (const EmulatorFaultKind &kind : EmulatorFaults::kinds())
        QVERIFY2(help.contains(QLatin1String(kind.name)), kind.name);
}

void tst_EmulatorFaults::readmeTableIsTheTable()
{
    QFile readme(QStringLiteral(LINECARD_SOURCE_DIR "/README.md"));
    QVERIFY(readme.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(readme.readAll());
    const QString table = EmulatorFaults::markdownTable();
    QVERIFY2(text.contains(table),
             qPrintable("README.md lacks the table of faults as the emulator has it; put this "
                        "table in its place:\n"
                        + table));
}

QTEST_GUILESS_MAIN(tst_EmulatorFaults)
#include "tst_emulatorfaults.moc"
