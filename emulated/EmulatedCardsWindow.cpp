#include "emulated/EmulatedCardsWindow.h"

#include "emulator/CardFirmware.h"
#include "emulator/EmulatedD2xx.h"
#include "emulator/EmulatorCodec.h"

#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QWindow>
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
    table->setHorizontalHeaderLabels({QStringLiteral("Slot"), QStringLiteral("Board"),
                                      QStringLiteral("Serial number"), QStringLiteral("LED"),
                                      QStringLiteral("State")});
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

QPoint EmulatedCardsWindow::placeBeside(const QRect &beside, const QSize &size,
                                        const QRect &available)
{
    constexpr int gap = 16;
    const QPoint candidates[] = {
        {beside.right() + 1 + gap, beside.top()},
        {beside.left() - gap - size.width(), beside.top()},
        {beside.left(), beside.bottom() + 1 + gap},
        {beside.left(), beside.top() - gap - size.height()},
    };
    QPoint best;
    qint64 bestOverlap = -1;
    for (const QPoint &candidate : candidates) {
        // Kept on the screen; the first that then leaves the main window
        // free is taken.
        const QPoint onScreen(
            qMax(available.left(), qMin(candidate.x(), available.right() + 1 - size.width())),
            qMax(available.top(), qMin(candidate.y(), available.bottom() + 1 - size.height())));
        const QRect overlap = QRect(onScreen, size).intersected(beside);
        const qint64 area = overlap.isEmpty() ? 0 : qint64(overlap.width()) * overlap.height();
        if (bestOverlap < 0 || area < bestOverlap) {
            best = onScreen;
            bestOverlap = area;
        }
        if (area == 0)
            break;
    }
    return best;
}

void EmulatedCardsWindow::placeBesideWindow(const QWidget &main)
{
    const QScreen *screen = main.screen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    const QSize frameExtra = frameGeometry().size() - size();
    if (frameGeometry().width() > available.width())
        resize(available.width() - frameExtra.width(), height());
    move(placeBeside(main.frameGeometry(), frameGeometry().size(), available));
}

void EmulatedCardsWindow::showBeside(QWidget &main)
{
    QWindow *handle = main.windowHandle();
    if (!handle || handle->isExposed()) {
        placeBesideWindow(main);
        show();
        return;
    }
    besideWindow = &main;
    handle->installEventFilter(this);
}

bool EmulatedCardsWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (besideWindow && event->type() == QEvent::Expose && watched == besideWindow->windowHandle()
        && besideWindow->windowHandle()->isExposed()) {
        watched->removeEventFilter(this);
        const QPointer<QWidget> main = besideWindow;
        besideWindow = nullptr;
        // After the expose event has been handled: the frame is known then.
        QTimer::singleShot(0, this, [this, main] {
            if (main)
                placeBesideWindow(*main);
            show();
        });
    }
    return QWidget::eventFilter(watched, event);
}

QString EmulatedCardsWindow::boardName(quint8 blockManufacturer, quint8 blockType)
{
    const QString name = CardFirmware::boardName(blockManufacturer, blockType);
    return name.isEmpty()
               ? QStringLiteral("unknown board %1:%2").arg(blockManufacturer).arg(blockType)
               : name;
}

QString EmulatedCardsWindow::ledColour(int ledOpcode)
{
    switch (ledOpcode) {
    case EmulatorCodec::ledRed:
        return QStringLiteral("#d62728");
    case EmulatorCodec::ledGreen:
        return QStringLiteral("#2ca02c");
    case EmulatorCodec::ledYellow:
        return QStringLiteral("#e6c200");
    case EmulatorCodec::ledOn:
        return QStringLiteral("#f0f0f0");
    case EmulatorCodec::ledFlashSlow:
        return QStringLiteral("#8fd18f");
    default:
        return QStringLiteral("#5a5a5a"); // off, or never set
    }
}

QString EmulatedCardsWindow::ledName(int ledOpcode)
{
    switch (ledOpcode) {
    case EmulatorCodec::ledRed:
        return QStringLiteral("red");
    case EmulatorCodec::ledGreen:
        return QStringLiteral("green");
    case EmulatorCodec::ledYellow:
        return QStringLiteral("yellow");
    case EmulatorCodec::ledOff:
        return QStringLiteral("off");
    case EmulatorCodec::ledOn:
        return QStringLiteral("on");
    case EmulatorCodec::ledFlashSlow:
        return QStringLiteral("flashing");
    default:
        return QStringLiteral("not set");
    }
}

void EmulatedCardsWindow::refresh()
{
    const int cards = emulator->cardCount();
    table->setRowCount(cards);
    for (int card = 0; card < cards; ++card) {
        const EmulatedCardIdentity identity = emulator->card(card)->cardIdentity();
        const int led = emulator->card(card)->ledState();
        table->setItem(card, Slot, readOnly(QString::number(card)));
        table->setItem(card, Board,
                       readOnly(boardName(identity.blockManufacturer, identity.blockType)));
        table->setItem(card, Serial, readOnly(QString::number(identity.serialNumber)));
        table->setItem(card, State,
                       readOnly(emulator->card(card)->bootloader().applicationRunning()
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
