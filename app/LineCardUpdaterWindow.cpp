#include "app/LineCardUpdaterWindow.h"

#include "controller/VX420Controller.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// Which image and board name belong to a card's connection block.
struct BoardKind
{
    int blockManufacturer;
    int blockType;
    const char *name;
    QString LineCardUpdaterWindow::*resource;
};

} // namespace

// Outside any namespace, as Q_INIT_RESOURCE requires.
static void registerIcon()
{
    Q_INIT_RESOURCE(icons);
}

const QLatin1String LineCardUpdaterWindow::nextPrefix("Next: ");
const QLatin1String LineCardUpdaterWindow::reasonPrefix("Reason: ");

QString LineCardUpdaterWindow::verdictOf(const QStringList &summaryLines)
{
    for (auto line = summaryLines.crbegin(); line != summaryLines.crend(); ++line) {
        if (!line->startsWith(nextPrefix) && !line->startsWith(reasonPrefix))
            return *line;
    }
    return QString();
}

LineCardUpdaterWindow::LineCardUpdaterWindow(QWidget *parent, std::shared_ptr<D2xxApi> api)
    : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Line Card Update Tool V" LINECARD_VERSION));
    registerIcon();
    QIcon icon(QStringLiteral(":/icons/linecard-updater.svg"));
    // The same drawing at fixed sizes, for a Qt without SVG support (the
    // Windows build has none).
    for (int size : {32, 48, 256})
        icon.addFile(QStringLiteral(":/icons/linecard-updater-%1.png").arg(size),
                     QSize(size, size));
    setWindowIcon(icon);
    mainLayout = new QHBoxLayout(this);
    controlsLayout = new QVBoxLayout;
    controlsGroupBox = new QGroupBox(QString());
    controlsGroupBox->setObjectName(QStringLiteral("controlsGroupBox"));
    resultsLayout = new QVBoxLayout;
    resultsGroupBox = new QGroupBox(QStringLiteral("Results"));
    resultsGroupBox->setObjectName(QStringLiteral("resultsGroupBox"));
    resultsGroupBox->setMinimumWidth(columnWidth);
    resultsGroupBox->setLayout(resultsLayout);
    mainLayout->addWidget(controlsGroupBox);
    mainLayout->addWidget(resultsGroupBox);
    controlsGroupBox->setMinimumWidth(columnWidth);
    controlsGroupBox->setMaximumWidth(columnWidth);
    controlsGroupBox->setLayout(controlsLayout);

    usbLibraryMissing = api && api->libraryMissing();
    controller = new VX420Controller(mainLayout, std::move(api));

    kroneLsaPlus10Resource = QStringLiteral(":/firmware/LQ770_KRONE_LSAPLUS_S2_10PAIR.txt");
    kroneHd10Resource = QStringLiteral(":/firmware/LQ770_KRONE_LSAPLUS_HD180_10PAIR.txt");
    quanteSidc10Resource = QStringLiteral(":/firmware/LQ770_QUANTE_SIDC_10PAIR.txt");
    quanteSidc20Resource = QStringLiteral(":/firmware/LQ770_QUANTE_SIDC_20PAIR.txt");
    randmVsCompact10Resource = QStringLiteral(":/firmware/LQ770_RANDM_VS_COMPACT_10PAIR.txt");
    randmVsCompact16XcResource = QStringLiteral(":/firmware/LQ770_RANDM_VS_COMPACT_16PAIR_XC.txt");
    randmVsCompact20Resource = QStringLiteral(":/firmware/LQ770_RANDM_VS_COMPACT_20PAIR.txt");
    firmwareResourceName = QString();

    connectButton = new QPushButton(QStringLiteral("Connect to controller"));
    connectButton->setObjectName(QStringLiteral("connectButton"));
    connectButton->setMaximumWidth(200);
    connectButton->setEnabled(true);
    controlsLayout->addWidget(connectButton);
    updateButton = new QPushButton(QStringLiteral("Update card"));
    updateButton->setObjectName(QStringLiteral("updateButton"));
    updateButton->setMaximumWidth(200);
    updateButton->setEnabled(false);
    controlsLayout->addWidget(updateButton);
    summaryPane = new QPlainTextEdit;
    summaryPane->setObjectName(QStringLiteral("summaryPane"));
    summaryPane->setReadOnly(true);
    // The panes only ever grow: an undo history of them would be memory for nothing.
    summaryPane->setUndoRedoEnabled(false);
    controlsLayout->addWidget(summaryPane);
    progressBar = new QProgressBar;
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setVisible(false);
    controlsLayout->addWidget(progressBar);

    resultsPane = new QPlainTextEdit;
    resultsPane->setObjectName(QStringLiteral("resultsPane"));
    resultsPane->setReadOnly(true);
    resultsPane->setUndoRedoEnabled(false);
    resultsLayout->addWidget(resultsPane);

    connect(this, &LineCardUpdaterWindow::reqDefaultStartup, controller,
            &VX420Controller::onReqDefaultStartup);
    connect(this, &LineCardUpdaterWindow::reqCardIdentify, controller,
            &VX420Controller::onReqCmdIdentify, Qt::QueuedConnection);
    connect(this, &LineCardUpdaterWindow::reqSetFrameRate, controller,
            &VX420Controller::onReqCmdFrameInterval);
    connect(this, &LineCardUpdaterWindow::reqBootLoaderFirmwareInstall, controller,
            &VX420Controller::onReqBootLoaderFirmwareInstall, Qt::QueuedConnection);
    connect(this, &LineCardUpdaterWindow::reqFlashVersion, controller,
            &VX420Controller::onReqFlashVersion);
    connect(this, &LineCardUpdaterWindow::reqReflashAction, controller,
            &VX420Controller::onReqReflashAction);
    connect(controller, &VX420Controller::notifyLineCardInfo, this,
            &LineCardUpdaterWindow::onLineCardInfo);
    connect(controller, &VX420Controller::notifyLineCardsSelected, this,
            &LineCardUpdaterWindow::onLineCardsSelected);
    connect(controller, &VX420Controller::notifyReflashStatus, this,
            &LineCardUpdaterWindow::onReflashStatus);
    connect(controller, &VX420Controller::notifyReflashResult, this,
            &LineCardUpdaterWindow::onReflashResult);
    connect(controller, &VX420Controller::notifyFrameRate, this,
            &LineCardUpdaterWindow::onFrameRate);
    connect(
        controller, &VX420Controller::notifyBootLoaderResult, this,
        [this](bool ok) { onBootLoaderResult(ok ? 1 : 0); }, Qt::QueuedConnection);
    connect(connectButton, &QPushButton::clicked, this, &LineCardUpdaterWindow::onSelectDevice);
    connect(updateButton, &QPushButton::clicked, this,
            &LineCardUpdaterWindow::onCardDiscoverClicked);
    connect(this, &LineCardUpdaterWindow::reqLedGreen, controller,
            &VX420Controller::onReqCmdLedGreen, Qt::QueuedConnection);
    connect(this, &LineCardUpdaterWindow::reqLedRed, controller, &VX420Controller::onReqCmdLedRed,
            Qt::QueuedConnection);
    // Without these the user is never told that the controller is missing,
    // silent, or unplugged.
    connect(controller, &VX420Controller::notifyDeviceSelected, this,
            &LineCardUpdaterWindow::onDeviceSelected);
    connect(controller, &VX420Controller::notifySeriousError, this,
            &LineCardUpdaterWindow::onSeriousError);
    connect(controller, &VX420Controller::notifyInstallProgress, this,
            &LineCardUpdaterWindow::onInstallProgress);
    connect(controller, &VX420Controller::notifyLineCardApplicationError, this,
            &LineCardUpdaterWindow::onLineCardApplicationError);
    connect(controller, &VX420Controller::notifyUnexpectedAnswer, this,
            &LineCardUpdaterWindow::onUnexpectedAnswer);
}

LineCardUpdaterWindow::~LineCardUpdaterWindow() = default;

void LineCardUpdaterWindow::onSelectDevice()
{
    connectButton->setEnabled(false);
    resultsPane->appendPlainText(QStringLiteral("onSelectDevice"));
    emit reqDefaultStartup();
}

void LineCardUpdaterWindow::onDeviceSelected(bool ok)
{
    if (ok)
        return;
    resultsPane->appendPlainText(QStringLiteral("onDeviceSelected(false)"));
    if (usbLibraryMissing) {
        summaryPane->appendPlainText(QStringLiteral(
            "ERROR: USB driver missing - install the FTDI D2XX driver for the controller's USB "
            "chip and start the tool again"));
        connectButton->setEnabled(true);
        return;
    }
    switch (controller->controllerOpenRefusal()) {
    case D2xxApi::OpenRefusal::NoPermission:
        // The package's udev rule gives access once the controller is
        // plugged in after installing; where no seat manager runs, only to
        // the group plugdev.
        summaryPane->appendPlainText(
            QStringLiteral("ERROR: no permission to open the controller's USB chip - unplug the "
                           "controller, plug it in again and click Connect again"));
        showNext(QStringLiteral(
            "if it is refused again, have your user added to the group plugdev and log in again"));
        break;
    case D2xxApi::OpenRefusal::KernelDriver:
        summaryPane->appendPlainText(QStringLiteral(
            "ERROR: the kernel's serial driver holds the controller's USB chip - unload it with "
            "\"sudo rmmod ftdi_sio\" and click Connect again"));
        break;
    case D2xxApi::OpenRefusal::OtherProgram:
        summaryPane->appendPlainText(QStringLiteral(
            "ERROR: another program has the controller's USB chip open - close it and click "
            "Connect again"));
        break;
    case D2xxApi::OpenRefusal::NotKnown:
        if (controller->controllerNotOpened()) {
            summaryPane->appendPlainText(QStringLiteral(
                "ERROR: controller found but could not be opened - is another program using it?"));
            const QString why = controller->controllerOpenFailureReason();
            if (!why.isEmpty())
                showReason(why);
            showNext(QStringLiteral("close other programs, unplug the controller, plug it in "
                                    "again and click Connect again"));
        } else {
            summaryPane->appendPlainText(QStringLiteral(
                "ERROR: controller not found - check the USB cable and click Connect again"));
        }
        break;
    }
    connectButton->setEnabled(true);
}

void LineCardUpdaterWindow::onLineCardsSelected(bool ok)
{
    if (ok) {
        resultsPane->appendPlainText(QStringLiteral("onLineCardsSelected(true)"));
        updateButton->setEnabled(true);
        summaryPane->appendPlainText(QStringLiteral("Controller connected"));
        showNext(QStringLiteral("plug in one line card and click Update card"));
    } else {
        resultsPane->appendPlainText(QStringLiteral("onLineCardsSelected(false)"));
    }
}

void LineCardUpdaterWindow::onCardDiscoverClicked()
{
    identifyPending = true;
    tooManyCardsReported = false;
    retriesLeft = retriesPerClick;
    updateRunning = true;
    identityAwaited = false;
    flashVersionAwaited = false;
    reflashAwaited = false;
    updateButton->setEnabled(false);
    emit reqSetFrameRate(12500);
}

void LineCardUpdaterWindow::onFrameRate(int card, int value)
{
    resultsPane->appendPlainText(QString::asprintf("onFrameRate(%d,%d)", card, value));
    if (identifyPending) {
        identifyPending = false;
        identityAwaited = true;
        emit reqCardIdentify(1);
    }
}

void LineCardUpdaterWindow::onLineCardInfo(int card)
{
    if (!identityAwaited) {
        resultsPane->appendPlainText(
            QString::asprintf("LineCardUpdaterWindow::onLineCardInfo(%d)", card));
        return;
    }
    const int cards = controller->cardCount();
    if (cards != 1) {
        if (!tooManyCardsReported) {
            resultsPane->appendPlainText(
                QString::asprintf("TOO MANY CARDS! Saw %d cards, expected 1", cards));
            tooManyCardsReported = true;
            endUpdate(QString::asprintf(
                "ERROR: %d line cards attached - please update your line cards one at a time",
                cards));
            showNext(cards == 0
                         ? QStringLiteral("plug in one line card and click Update card")
                         : QStringLiteral("leave one card plugged in and click Update card"));
            // The other cards' reports to this click still ask for the red LED.
            identityAwaited = true;
            updateButton->setEnabled(true);
        }
        emit reqLedRed();
        return;
    }

    static const BoardKind boards[] = {
        {0, 0, "Krone LSA-PLUS 10 pair", &LineCardUpdaterWindow::kroneLsaPlus10Resource},
        {5, 0, "Quante SID-C  10 pair", &LineCardUpdaterWindow::quanteSidc10Resource},
        {5, 1, "Quante SID-C  20 pair", &LineCardUpdaterWindow::quanteSidc20Resource},
        {6, 0, "R&M VS Compact  10 pair", &LineCardUpdaterWindow::randmVsCompact10Resource},
        {6, 1, "R&M VS Compact  20 pair", &LineCardUpdaterWindow::randmVsCompact20Resource},
        {6, 11, "R&M VS Compact (Splitters)  16 pair",
         &LineCardUpdaterWindow::randmVsCompact16XcResource},
        {8, 0, "Krone HD  10 pair", &LineCardUpdaterWindow::kroneHd10Resource},
    };

    const CardInfo *info = controller->lineCardInfo(card);
    resultsPane->appendPlainText(
        QString::asprintf("LineCardUpdaterWindow::onLineCardInfo(%d)", card));
    bool matched = false;
    if (info) {
        resultsPane->appendPlainText(
            QString::asprintf("serialNumber %u", unsigned(info->serialNumber)));
        resultsPane->appendPlainText(
            QString::asprintf("blockManufacturer %d", info->blockManufacturer));
        resultsPane->appendPlainText(QString::asprintf("blockType %d", info->blockType));
        resultsPane->appendPlainText(QString::asprintf("blockPairCount %d", info->blockPairCount));
        resultsPane->appendPlainText(QString::asprintf("wiresPerPair %d", info->wiresPerPair));
        resultsPane->appendPlainText(QString::asprintf("productId %d", info->productId));
        resultsPane->appendPlainText(QString::asprintf("platformId %d", info->platformId));

        QString boardName = QStringLiteral("Unknown");
        for (const BoardKind &board : boards) {
            if (board.blockManufacturer == info->blockManufacturer
                && board.blockType == info->blockType) {
                firmwareResourceName = this->*board.resource;
                boardName = QString::fromUtf8(board.name);
                matched = true;
                break;
            }
        }
        resultsPane->appendPlainText(QStringLiteral("firmwareResourceName=(") + firmwareResourceName
                                     + QStringLiteral(")"));
        resultsPane->appendPlainText(QStringLiteral("Detected ") + boardName);
        summaryPane->appendPlainText(QStringLiteral("Detected ") + boardName);
        summaryPane->appendPlainText(
            QString::asprintf("serialNumber %u", unsigned(info->serialNumber)));
    }

    if (matched && controller->loadFirmware(firmwareResourceName)) {
        identityAwaited = false;
        firmwareLoading = true;
        summaryPane->appendPlainText(QStringLiteral("Loading firmware - please wait"));
        summaryPane->appendPlainText(QStringLiteral("Do not remove the card during the update"));
        progressBar->setValue(0);
        progressBar->setVisible(true);
        emit reqBootLoaderFirmwareInstall();
        return;
    }
    endUpdate(QStringLiteral("Error: bad line card"));
    if (!info) {
        showReason(QStringLiteral("the card's identity could not be read"));
        showNext(QStringLiteral("reseat the card and click Update card again"));
    } else if (!matched) {
        showReason(QString::asprintf("no firmware for this board (manufacturer %d, type %d)",
                                     info->blockManufacturer, info->blockType));
        showNext(QStringLiteral("set this card aside and click Update card for the next one"));
    } else {
        showReason(QStringLiteral("the tool's firmware image for this board does not load"));
        showNext(QStringLiteral("reinstall the tool, then click Update card again"));
    }
    updateButton->setEnabled(true);
    emit reqLedRed();
}

void LineCardUpdaterWindow::onInstallProgress(int pagesDone, int pagesTotal)
{
    if (!firmwareLoading)
        return;
    progressBar->setRange(0, pagesTotal);
    progressBar->setValue(pagesDone);
}

void LineCardUpdaterWindow::onBootLoaderResult(int result)
{
    resultsPane->appendPlainText(
        QString::asprintf("LineCardUpdaterWindow::onBootLoaderResult(%d)", result));
    if (!firmwareLoading)
        return;
    if (result == 1) {
        firmwareLoading = false;
        progressBar->setVisible(false);
        resultsPane->appendPlainText(QStringLiteral("Firmware load ok"));
        summaryPane->appendPlainText(QStringLiteral("New firmware installed OK"));
        flashVersionAwaited = true;
        emit reqFlashVersion();
        return;
    }
    if (retriesLeft > 0) {
        --retriesLeft;
        progressBar->setValue(0);
        resultsPane->appendPlainText(QStringLiteral("Firmware load failed - trying again"));
        emit reqBootLoaderFirmwareInstall();
    } else {
        // The card may be replaced or reseated and tried again; the red LED
        // marks it at the bench. Should the card be gone, the LED command's
        // missing reply is only logged.
        firmwareLoading = false;
        progressBar->setVisible(false);
        resultsPane->appendPlainText(QStringLiteral("Firmware load failed - give up"));
        endUpdate(QStringLiteral("ERROR: firmware load failed"));
        showNext(QStringLiteral("reseat the card and click Update card again"));
        updateButton->setEnabled(true);
        emit reqLedRed();
    }
}

void LineCardUpdaterWindow::onUnexpectedAnswer(const QByteArray &packet)
{
    resultsPane->appendPlainText(
        QStringLiteral("Unexpected answer from the line card, attempt abandoned: ")
        + QString::fromLatin1(packet.toHex(' ')));
}

void LineCardUpdaterWindow::onReflashStatus(bool needed)
{
    resultsPane->appendPlainText(
        needed ? QStringLiteral("LineCardUpdaterWindow::onReflashStatus  True")
               : QStringLiteral("LineCardUpdaterWindow::onReflashStatus  False"));
    if (!flashVersionAwaited)
        return;
    flashVersionAwaited = false;
    if (needed) {
        summaryPane->appendPlainText(QStringLiteral("Updating bootloader"));
        reflashAwaited = true;
        emit reqReflashAction();
    } else {
        finishUpdate(QStringLiteral("Finished."));
    }
}

void LineCardUpdaterWindow::onReflashResult(bool ok)
{
    resultsPane->appendPlainText(
        ok ? QStringLiteral("LineCardUpdaterWindow::onReflashResult  True")
           : QStringLiteral("LineCardUpdaterWindow::onReflashResult  False"));
    if (!reflashAwaited)
        return;
    reflashAwaited = false;
    if (ok) {
        finishUpdate(QStringLiteral("Finished."));
    } else {
        endUpdate(QStringLiteral("ERROR: Update failed - return card to Quorvane for replacement"));
        emit reqLedRed();
    }
}

void LineCardUpdaterWindow::onSeriousError(int code)
{
    resultsPane->appendPlainText(QString::asprintf("onSeriousError(%d)", code));
    // A lost link is shown whether or not an update runs: only a new
    // connection brings the controller back.
    if (code == VX420Controller::SeriousErrorIO) {
        firmwareLoading = false;
        progressBar->setVisible(false);
        endUpdate(QStringLiteral(
            "ERROR: USB link lost - check the cable and click Connect to controller"));
        updateButton->setEnabled(false);
        connectButton->setEnabled(true);
        return;
    }
    if (!updateRunning)
        return;
    if (code == VX420Controller::SeriousErrorNoReply) {
        firmwareLoading = false;
        progressBar->setVisible(false);
        // The click's first command is answered by the card alone: without
        // its answer no card took part at all.
        if (identifyPending)
            endUpdate(QStringLiteral("ERROR: no line card answered - plug in one line card and "
                                     "click Update card again"));
        else
            endUpdate(QStringLiteral("ERROR: no reply from the controller - check the line card "
                                     "and click Update card again"));
        updateButton->setEnabled(true);
        emit reqLedRed();
    }
}

void LineCardUpdaterWindow::onLineCardApplicationError(int card)
{
    resultsPane->appendPlainText(
        QString::asprintf("LineCardUpdaterWindow::onLineCardApplicationError(%d)", card));
    // Only the answer to this click's frame-interval command ends the update.
    if (!identifyPending || !updateRunning)
        return;
    endUpdate(QStringLiteral("ERROR: line card reported an application error - reseat the card and "
                             "click Update card again"));
    updateButton->setEnabled(true);
    emit reqLedRed();
}

void LineCardUpdaterWindow::finishUpdate(const QString &summary)
{
    updateButton->setEnabled(true);
    endUpdate(summary);
    showNext(QStringLiteral("plug in the next card and click Update card"));
    emit reqLedGreen();
}

void LineCardUpdaterWindow::endUpdate(const QString &summary)
{
    updateRunning = false;
    identifyPending = false;
    identityAwaited = false;
    flashVersionAwaited = false;
    reflashAwaited = false;
    summaryPane->appendPlainText(summary);
}

void LineCardUpdaterWindow::showNext(const QString &step)
{
    summaryPane->appendPlainText(QString(nextPrefix) + step);
}

void LineCardUpdaterWindow::showReason(const QString &why)
{
    summaryPane->appendPlainText(QString(reasonPrefix) + why);
}
