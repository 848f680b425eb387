#include "bench/UpdateSoak.h"

#include "bench/ProcessUsage.h"
#include "bench/UpdateSession.h"

#include <QElapsedTimer>

namespace {
constexpr int connectTimeoutMs = 10000;
constexpr int updateTimeoutMs = 60000;
} // namespace

SoakResult UpdateSoak::run(int updates)
{
    SoakResult result;
    result.updates = updates;
    QElapsedTimer clock;
    clock.start();
    UpdateSession session(EmulatedD2xx::Timing::Instant);
    if (!session.connectController(connectTimeoutMs)) {
        result.failure = QStringLiteral("could not connect to the emulated controller");
        return result;
    }
    for (int i = 0; i < updates; ++i) {
        const UpdateSession::Outcome outcome = session.runUpdate(updateTimeoutMs);
        session.waitUntilQuiet(connectTimeoutMs);
        // The emulator's inspection record is test scaffolding, not the tool.
        session.emulator().clearRecords();
        result.residentKbAfter.append(ProcessUsage::residentKb());
        if (outcome != UpdateSession::Outcome::Finished) {
            result.failure = QStringLiteral("update %1 %2")
                                 .arg(i + 1)
                                 .arg(outcome == UpdateSession::Outcome::Failed
                                          ? QStringLiteral("failed")
                                          : QStringLiteral("timed out"));
            break;
        }
        ++result.finished;
    }
    result.seconds = clock.nsecsElapsed() / 1e9;
    return result;
}

QString SoakResult::toText() const
{
    QString text = QString::asprintf("Updates finished: %d of %d in %.1f s\n", finished, updates,
                                     seconds);
    if (!residentKbAfter.isEmpty()) {
        text += QString::asprintf("Resident memory after the first: %.2f MB, after the last: "
                                  "%.2f MB, growth %.2f MB (limit %.0f MB)\n",
                                  residentKbAfter.first() / 1024.0, residentKbAfter.last() / 1024.0,
                                  growthKb() / 1024.0, maxGrowthKb / 1024.0);
    }
    if (!failure.isEmpty())
        text += QStringLiteral("Failure: %1\n").arg(failure);
    text += passed() ? QStringLiteral("PASSED\n") : QStringLiteral("FAILED\n");
    return text;
}
