#include "emulated/EmulatedCardsWindow.h"
#include "emulator/EmulatedD2xx.h"
#include "emulator/EmulatorCodec.h"

#include <QLabel>
#include <QScreen>
#include <QTableWidget>
#include <QtTest>

#include <memory>

// The window beside the emulated program's updater window: one row per
// card, kept up to date from the emulated controller.
class tst_EmulatedCardsWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void listsEachCard();
    void followsTheCards();
    void staysOnTheScreen_data();
    void staysOnTheScreen();
    void placedBesideOnItsScreen();

private:
    // A command to every card, as the host sends it over the emulated chip.
    void send(quint8 opcode, const QByteArray &payload = {});
    QString cell(int row, int column) const { return table->item(row, column)->text(); }
    int lamp(int row) const;

    std::shared_ptr<EmulatedD2xx> emu;
    std::unique_ptr<EmulatedCardsWindow> window;
    QTableWidget *table = nullptr;
    FT_HANDLE handle = nullptr;
};

void tst_EmulatedCardsWindow::init()
{
    emu = std::make_shared<EmulatedD2xx>(EmulatedD2xx::Timing::Instant);
    EmulatedCardIdentity krone;
    krone.serialNumber = 770001;
    EmulatedCardIdentity splitters;
    splitters.blockManufacturer = 6;
    splitters.blockType = 11;
    splitters.serialNumber = 42;
    emu->addCard(krone);
    emu->addCard(splitters);
    window = std::make_unique<EmulatedCardsWindow>(emu);
    window->show();
    table = window->findChild<QTableWidget *>("cardsTable");
    QVERIFY(table);
    handle = nullptr;
}

void tst_EmulatedCardsWindow::cleanup()
{
    window.reset();
    emu.reset();
}

int tst_EmulatedCardsWindow::lamp(int row) const
{
    auto *label = qobject_cast<QLabel *>(table->cellWidget(row, 3));
    return label ? label->property("led").toInt() : -1;
}

void tst_EmulatedCardsWindow::send(quint8 opcode, const QByteArray &payload)
{
    if (!handle) {
        uint32_t count = 0;
        QCOMPARE(emu->FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
        QCOMPARE(emu->FT_Open(0, &handle), FT_STATUS(FT_OK));
        QCOMPARE(emu->FT_SetBaudRate(handle, 9600), FT_STATUS(FT_OK));
        QCOMPARE(emu->FT_SetDataCharacteristics(handle, 8, 2, 0), FT_STATUS(FT_OK));
        QCOMPARE(emu->FT_SetBitMode(handle, 0x30, 0x20), FT_STATUS(FT_OK));
    }
    QCOMPARE(emu->FT_SetBreakOn(handle), FT_STATUS(FT_OK));
    QCOMPARE(emu->FT_SetBreakOff(handle), FT_STATUS(FT_OK));
    QByteArray bytes =
        '\x55' + EmulatorCodec::encodePacket(char(opcode) + QByteArray("\xFF\xFF", 2) + payload);
    uint32_t written = 0;
    QCOMPARE(emu->FT_Write(handle, bytes.data(), uint32_t(bytes.size()), &written),
             FT_STATUS(FT_OK));
}

void tst_EmulatedCardsWindow::listsEachCard()
{
    QCOMPARE(window->windowTitle(), QString("Emulated VX420"));
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(cell(0, 0), QString("0"));
    QCOMPARE(cell(0, 1), QString("Krone LSA-PLUS, 10 pairs"));
    QCOMPARE(cell(0, 2), QString("770001"));
    QCOMPARE(cell(1, 1), QString("R&M VS Compact with splitters, 16 pairs"));
    QCOMPARE(cell(1, 2), QString("42"));
    QCOMPARE(cell(0, 4), QString("application running"));
    QCOMPARE(lamp(0), 0);
    QCOMPARE(EmulatedCardsWindow::boardName(6, 2), QString("unknown board 6:2"));
}

void tst_EmulatedCardsWindow::followsTheCards()
{
    send(0x21); // LED red
    QTRY_COMPARE(lamp(0), 0x21);
    QCOMPARE(lamp(1), 0x21);
    QVERIFY(qobject_cast<QLabel *>(table->cellWidget(0, 3))->text().contains("red"));

    send(0x02, QByteArray(1, '\x15')); // a mass erase through the bootloader tunnel
    QTRY_COMPARE(cell(0, 4), QString("bootloader"));
    QCOMPARE(cell(1, 4), QString("bootloader"));

    EmulatedCardIdentity other;
    other.blockManufacturer = 5;
    other.blockType = 1;
    other.serialNumber = 7;
    emu->card(1)->setIdentity(other);
    QTRY_COMPARE(cell(1, 1), QString("Quante SID-C, 20 pairs"));
    QCOMPARE(cell(1, 2), QString("7"));
}

// Beside the updater window where there is room, always on the screen.
void tst_EmulatedCardsWindow::staysOnTheScreen_data()
{
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QRect>("main");
    QTest::addColumn<QPoint>("placed");

    const QRect wide(0, 0, 2560, 1440);
    const QRect bench(0, 0, 1600, 900);
    QTest::newRow("2560 wide: on the right")
        << wide << QRect(100, 100, 1040, 500) << QPoint(1156, 100);
    QTest::newRow("1600 wide, main window on the right: on the left")
        << bench << QRect(800, 50, 780, 500) << QPoint(64, 50);
    QTest::newRow("1600 wide, main window centred: below it")
        << bench << QRect(280, 100, 1040, 500) << QPoint(280, 616);
    QTest::newRow("1600 wide, main window low: above it")
        << bench << QRect(280, 380, 1040, 500) << QPoint(280, 204);
    QTest::newRow("1600 by 900, main window filling it: inside, at the right edge")
        << bench << QRect(0, 0, 1600, 900) << QPoint(880, 0);
    QTest::newRow("second screen to the right: on that screen")
        << QRect(1920, 0, 1600, 900) << QRect(2200, 100, 1040, 500) << QPoint(2200, 616);
}

void tst_EmulatedCardsWindow::staysOnTheScreen()
{
    QFETCH(QRect, screen);
    QFETCH(QRect, main);
    QFETCH(QPoint, placed);

    const QSize size(720, 160);
    const QPoint at = EmulatedCardsWindow::placeBeside(main, size, screen);
    QCOMPARE(at, placed);
    QVERIFY(screen.contains(QRect(at, size)));
}

// The program's own call: on the screen its updater window is on, narrower
// when that screen is (the offscreen platform's is 800 pixels wide).
void tst_EmulatedCardsWindow::placedBesideOnItsScreen()
{
    QWidget main;
    main.resize(1040, 400);
    main.show();
    window->placeBesideWindow(main);
    const QRect available = main.screen()->availableGeometry();
    QVERIFY2(available.contains(window->frameGeometry()), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                                         .arg(window->x())
                                                                         .arg(window->y())
                                                                         .arg(window->width())
                                                                         .arg(window->height())));
}

QTEST_MAIN(tst_EmulatedCardsWindow)
#include "tst_emulatedcardswindow.moc"
