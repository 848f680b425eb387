#include "emulated/EmulatedCardsWindow.h"
#include "emulator/EmulatedD2xx.h"
#include "emulator/EmulatorCodec.h"

#include <QLabel>
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
    QByteArray bytes = '\x55' + EmulatorCodec::encodePacket(char(opcode) + QByteArray("\xFF\xFF", 2)
                                                              + payload);
    uint32_t written = 0;
    QCOMPARE(emu->FT_Write(handle, bytes.data(), uint32_t(bytes.size()), &written), FT_STATUS(FT_OK));
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

QTEST_MAIN(tst_EmulatedCardsWindow)
#include "tst_emulatedcardswindow.moc"
