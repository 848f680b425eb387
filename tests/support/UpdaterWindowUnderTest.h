#pragma once

#include "app/LineCardUpdaterWindow.h"
#include "usb/D2xxApi.h"

#include <QStringList>

#include <memory>

class QPlainTextEdit;
class QPushButton;

// The updater window in front of a backend, with the controls a technician
// uses found by their names, and the panes read line by line.
class UpdaterWindowUnderTest
{
public:
    explicit UpdaterWindowUnderTest(std::shared_ptr<D2xxApi> api);
    ~UpdaterWindowUnderTest();

    // Every control was found.
    bool complete() const;
    QStringList summary() const;
    QStringList results() const;

    std::unique_ptr<LineCardUpdaterWindow> window;
    QPushButton *connectButton = nullptr;
    QPushButton *updateButton = nullptr;
    QPlainTextEdit *summaryPane = nullptr;
    QPlainTextEdit *resultsPane = nullptr;
};
