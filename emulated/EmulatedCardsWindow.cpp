#include "emulated/EmulatedCardsWindow.h"

#include "emulator/EmulatedD2xx.h"

#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

enum Column { Slot, Board, Serial, Led, State, Columns };

QTableWidgetItem *readOnly(const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled);
    return item;
}

} // namespace

EmulatedCardsWindow::EmulatedCardsWindow(std::shared_ptr<EmulatedD2xx> emulator, QWidget *parent)
    : QWidget(parent), emulator(std::move(emulator))
{
    setWindowTitle(QStringLiteral("Emulated VX420"));
    table = new QTableWidget(0, Columns, this);
    table->setObjectName(QStringLiteral("cardsTable"));
    table->setHorizontalHeaderLabels(
        {QStringLiteral("Slot"), QStringLiteral("Board"), QStringLiteral("Serial number"),
         QStringLiteral("LED"), QStringLiteral("State")});
    table->verticalHeader()->setVisible(false);
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);
    table->setSelectionMode(QAbstractItemView::NoSelection);
    table->setFocusPolicy(Qt::NoFocus);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(table);
    resize(720, 160);

    timer.setInterval(refreshMs);
    connect(&timer, &QTimer::timeout, this, &EmulatedCardsWindow::refresh);
    timer.start();
    refresh();
}

QString EmulatedCardsWindow::boardName(int blockManufacturer, int blockType)
{
    static const struct
    {
        int manufacturer;
        int type;
        const char *name;
    } boards[] = {
        {0, 0, "Krone LSA-PLUS, 10 pairs"},
        {5, 0, "Quante SID-C, 10 pairs"},
        {5, 1, "Quante SID-C, 20 pairs"},
        {6, 0, "R&M VS Compact, 10 pairs"},
        {6, 1, "R&M VS Compact, 20 pairs"},
        {6, 11, "R&M VS Compact with splitters, 16 pairs"},
        {8, 0, "Krone HD, 10 pairs"},
    };
    for (const auto &board : boards) {
        if (board.manufacturer == blockManufacturer && board.type == blockType)
            return QString::fromUtf8(board.name);
    }
    return QStringLiteral("unknown board %1:%2").arg(blockManufacturer).arg(blockType);
}

QString EmulatedCardsWindow::ledColour(int ledOpcode)
{
    switch (ledOpcode) {
    case 0x21: return QStringLiteral("#d62728");
    case 0x22: return QStringLiteral("#2ca02c");
    case 0x23: return QStringLiteral("#e6c200");
    case 0x29: return QStringLiteral("#f0f0f0");
    case 0x2A: return QStringLiteral("#8fd18f");
    default: return QStringLiteral("#5a5a5a"); // off, or never set
    }
}

QString EmulatedCardsWindow::ledName(int ledOpcode)
{
    switch (ledOpcode) {
    case 0x21: return QStringLiteral("red");
    case 0x22: return QStringLiteral("green");
    case 0x23: return QStringLiteral("yellow");
    case 0x28: return QStringLiteral("off");
    case 0x29: return QStringLiteral("on");
    case 0x2A: return QStringLiteral("flashing");
    default: return QStringLiteral("not set");
    }
}

void EmulatedCardsWindow::refresh()
{
    const int cards = emulator->cardCount();
    table->setRowCount(cards);
    for (int card = 0; card < cards; ++card) {
        const EmulatedCardIdentity identity = emulator->cardIdentity(card);
        const int led = emulator->ledState(card);
        table->setItem(card, Slot, readOnly(QString::number(card)));
        table->setItem(card, Board,
                       readOnly(boardName(identity.blockManufacturer, identity.blockType)));
        table->setItem(card, Serial, readOnly(QString::number(identity.serialNumber)));
        table->setItem(card, State, readOnly(emulator->applicationRunning(card)
                                                 ? QStringLiteral("application running")
                                                 : QStringLiteral("bootloader")));

        auto *lamp = qobject_cast<QLabel *>(table->cellWidget(card, Led));
        if (!lamp) {
            lamp = new QLabel;
            lamp->setObjectName(QStringLiteral("lamp%1").arg(card));
            table->setCellWidget(card, Led, lamp);
        }
        // A round lamp in the LED's colour, its name beside it.
        lamp->setText(QStringLiteral("<span style=\"color:%1; font-size:16pt\">&#9679;</span> %2")
                          .arg(ledColour(led), ledName(led)));
        lamp->setProperty("led", led);
    }
}
