#pragma once

#include <QTimer>
#include <QWidget>

#include <memory>

class EmulatedD2xx;
class QTableWidget;

// "Emulated VX420": the cards attached to the emulated controller, one row
// each (slot, board, serial number, the LED as a coloured lamp, whether the
// bootloader or the application runs), kept up to date while the updater
// window works on them.
class EmulatedCardsWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int refreshMs = 100;

    explicit EmulatedCardsWindow(std::shared_ptr<EmulatedD2xx> emulator, QWidget *parent = nullptr);

    // Where a window of frame size `size` goes beside the main window's frame
    // `beside`, inside the screen's available area: right of it, else left,
    // below or above, else wherever it overlaps least while on the screen.
    static QPoint placeBeside(const QRect &beside, const QSize &size, const QRect &available);
    // Moves the window beside `main`, on the screen `main` is on; narrower
    // when that screen is narrower than the window.
    void placeBesideWindow(const QWidget &main);
    // Shows the window beside `main` once `main` is on the screen: a window
    // manager places a window only as it maps it.
    void showBeside(QWidget &main);

    static QString boardName(quint8 blockManufacturer, quint8 blockType);
    // The lamp's colour for an LED opcode, and its name.
    static QString ledColour(int ledOpcode);
    static QString ledName(int ledOpcode);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refresh();

    std::shared_ptr<EmulatedD2xx> emulator;
    QTableWidget *table = nullptr;
    QTimer timer;
    QWidget *besideWindow = nullptr; // until it is exposed
};
