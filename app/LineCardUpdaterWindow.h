#pragma once

#include "usb/D2xxApi.h"

#include <QLatin1String>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>

class QGroupBox;
class QHBoxLayout;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QVBoxLayout;
class VX420Controller;

// The tool's one window: "Connect to controller", "Update card", a summary
// pane for the user and a "Results" pane with the detailed log.
class LineCardUpdaterWindow : public QWidget
{
    Q_OBJECT

public:
    explicit LineCardUpdaterWindow(QWidget *parent = nullptr,
                                   std::shared_ptr<D2xxApi> api = D2xxApi::platformDefault());
    ~LineCardUpdaterWindow() override;

    VX420Controller *controllerManager() const { return controller; }

    static constexpr int retriesPerClick = 4;
    static constexpr int columnWidth = 500;

    // Summary lines that follow a message: what to do next, and why it
    // failed. The message they follow is the last line that is neither.
    static const QLatin1String nextPrefix;
    static const QLatin1String reasonPrefix;
    // The summary's latest message, hints and reasons left out: the
    // verdict once an update has ended ("Finished." or an error text).
    static QString verdictOf(const QStringList &summaryLines);

signals:
    void reqDefaultStartup();
    void reqCardIdentify(int card);
    void reqLedGreen();
    void reqLedRed();
    void reqSetFrameRate(int interval);
    void reqBootLoaderFirmwareInstall();
    void reqFlashVersion();
    void reqReflashAction();

public slots:
    void onSelectDevice();
    void onLineCardsSelected(bool ok);
    void onCardDiscoverClicked();
    void onLineCardInfo(int card);
    void onBootLoaderResult(int result);
    void onReflashStatus(bool needed);
    void onReflashResult(bool ok);
    void onFrameRate(int card, int value);
    void onDeviceSelected(bool ok);
    void onSeriousError(int code);
    void onLineCardApplicationError(int card);
    void onInstallProgress(int pagesDone, int pagesTotal);
    void onUnexpectedAnswer(const QByteArray &packet);

private:
    void finishUpdate(const QString &summary);
    // Ends the update with the summary line; reports still on their way are
    // only logged.
    void endUpdate(const QString &summary);
    // "Next: " and what to do, or "Reason: " and why, in the summary pane.
    void showNext(const QString &step);
    void showReason(const QString &why);

    VX420Controller *controller = nullptr;
    bool usbLibraryMissing = false; // no controller can be found
    bool identifyPending = true;
    bool tooManyCardsReported = false;
    bool firmwareLoading = false;
    int retriesLeft = retriesPerClick;
    // From the click on "Update card" until "Finished." or an error text.
    bool updateRunning = false;
    // The reports this click has asked for and not yet had; any other
    // report is only logged.
    bool identityAwaited = false; // from the identify request to the installation
    bool flashVersionAwaited = false;
    bool reflashAwaited = false;
    QHBoxLayout *mainLayout = nullptr;
    QVBoxLayout *controlsLayout = nullptr;
    QGroupBox *controlsGroupBox = nullptr;
    QVBoxLayout *resultsLayout = nullptr;
    QGroupBox *resultsGroupBox = nullptr;
    QPushButton *connectButton = nullptr;
    QPushButton *updateButton = nullptr;
    QPlainTextEdit *resultsPane = nullptr;
    QPlainTextEdit *summaryPane = nullptr;
    QProgressBar *progressBar = nullptr;
    QString kroneLsaPlus10Resource;
    QString kroneHd10Resource;
    QString quanteSidc10Resource;
    QString quanteSidc20Resource;
    QString randmVsCompact10Resource;
    QString randmVsCompact16XcResource;
    QString randmVsCompact20Resource;
    QString firmwareResourceName;
};
