#include "tests/support/UpdaterWindowUnderTest.h"

#include <QPlainTextEdit>
#include <QPushButton>

UpdaterWindowUnderTest::UpdaterWindowUnderTest(std::shared_ptr<D2xxApi> api)
    : window(std::make_unique<LineCardUpdaterWindow>(nullptr, std::move(api)))
{
    connectButton = window->findChild<QPushButton *>(QStringLiteral("connectButton"));
    updateButton = window->findChild<QPushButton *>(QStringLiteral("updateButton"));
    summaryPane = window->findChild<QPlainTextEdit *>(QStringLiteral("summaryPane"));
    resultsPane = window->findChild<QPlainTextEdit *>(QStringLiteral("resultsPane"));
    window->show();
}

UpdaterWindowUnderTest::~UpdaterWindowUnderTest() = default;

bool UpdaterWindowUnderTest::complete() const
{
    return connectButton && updateButton && summaryPane && resultsPane;
}

QStringList UpdaterWindowUnderTest::summary() const
{
    return summaryPane->toPlainText().split(QLatin1Char('\n'));
}

QStringList UpdaterWindowUnderTest::results() const
{
    return resultsPane->toPlainText().split(QLatin1Char('\n'));
}
