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

    explicit EmulatedCardsWindow(std::shared_ptr<EmulatedD2xx> emulator,
                                 QWidget *parent = nullptr);

    static QString boardName(quint8 blockManufacturer, quint8 blockType);
    // The lamp's colour for an LED opcode, and its name.
    static QString ledColour(int ledOpcode);
    static QString ledName(int ledOpcode);

private:
    void refresh();

    std::shared_ptr<EmulatedD2xx> emulator;
    QTableWidget *table = nullptr;
    QTimer timer;
};
