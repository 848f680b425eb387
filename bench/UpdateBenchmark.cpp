#include "bench/UpdateBenchmark.h"

#include "bench/ProcessUsage.h"
#include "bench/UpdateSession.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace {

constexpr int connectTimeoutMs = 10000;
constexpr int updateTimeoutMs = 300000;
constexpr int guiTickMs = 5;

// The longest time the GUI thread went without serving a 5 ms timer, and
// how much of it the thread itself spent running: a long gap with little
// running is the thread waiting, or the machine not running it.
class GuiGapMonitor
{
public:
    GuiGapMonitor()
    {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(guiTickMs);
        QObject::connect(&timer, &QTimer::timeout, [this] { tick(); });
    }
    void start()
    {
        clock.start();
        lastCpuNs = ProcessUsage::threadCpuTimeNs();
        timer.start();
    }
    void stop()
    {
        tick();
        timer.stop();
    }
    double maxGapMs() const { return maxGapNs / 1e6; }
    double runningInMaxGapMs() const { return runningInMaxGapNs / 1e6; }

private:
    void tick()
    {
        const qint64 gapNs = clock.nsecsElapsed();
        const qint64 cpuNs = ProcessUsage::threadCpuTimeNs();
        if (gapNs > maxGapNs) {
            maxGapNs = gapNs;
            runningInMaxGapNs = cpuNs - lastCpuNs;
        }
        clock.restart();
        lastCpuNs = cpuNs;
    }

    QTimer timer;
    QElapsedTimer clock;
    qint64 lastCpuNs = 0;
    qint64 maxGapNs = 0;
    qint64 runningInMaxGapNs = 0;
};

QString row(const char *what, const QString &value, const QString &target, bool met)
{
    return QString::asprintf("%-38s %14s  %-10s %s\n", what, qPrintable(value), qPrintable(target),
                             target.isEmpty() ? ""
                             : met            ? "met"
                                              : "MISSED");
}

} // namespace

BenchmarkResult UpdateBenchmark::run(int idleSeconds,
                                     const std::function<void(EmulatedD2xx &)> &faults)
{
    BenchmarkResult result;
    UpdateSession session(EmulatedD2xx::Timing::Wire, faults);
    if (!session.connectController(connectTimeoutMs)) {
        result.failure = QStringLiteral("could not connect to the emulated controller");
        return result;
    }

    QElapsedTimer idleClock;
    const qint64 idleCpuBefore = ProcessUsage::cpuTimeUs();
    idleClock.start();
    UpdateSession::runEventsFor(idleSeconds * 1000);
    result.idleSeconds = idleClock.nsecsElapsed() / 1e9;
    result.idleCpuShare = (ProcessUsage::cpuTimeUs() - idleCpuBefore) / 1e6
                          / std::max(result.idleSeconds, 1e-9);

    session.emulator().clearCalls();
    GuiGapMonitor gaps;
    gaps.start();
    const qint64 cpuBefore = ProcessUsage::cpuTimeUs();
    const UpdateSession::Outcome outcome = session.runUpdate(updateTimeoutMs);
    const qint64 cpuUs = ProcessUsage::cpuTimeUs() - cpuBefore;
    gaps.stop();
    result.guiMaxGapMs = gaps.maxGapMs();
    result.guiRunningInMaxGapMs = gaps.runningInMaxGapMs();
    result.updateS = session.updateElapsedNs() / 1e9;
    result.cpuShare = cpuUs / 1e6 / std::max(result.updateS, 1e-9);
    result.bound = WireTimeBound::fromRecord(session.emulator().calls(),
                                             session.emulator().framesSent(),
                                             session.updateStartUs(), session.updateEndUs());
    session.waitUntilQuiet(connectTimeoutMs);
    result.peakRssMb = ProcessUsage::peakResidentKb() / 1024.0;

    result.finished = outcome == UpdateSession::Outcome::Finished;
    if (outcome == UpdateSession::Outcome::Failed)
        result.failure = QStringLiteral("the update failed");
    else if (outcome == UpdateSession::Outcome::TimedOut)
        result.failure =
            QStringLiteral("the update did not end within %1 s").arg(updateTimeoutMs / 1000);
    return result;
}

QString BenchmarkResult::toTable() const
{
    using B = UpdateBenchmark;
    QString text;
    text += row("Update, click to \"Finished.\"", QString::asprintf("%.2f s", updateS), {}, true);
    text += row("Wire-time bound of its exchange", QString::asprintf("%.2f s", boundS()), {}, true);
    text += QString::asprintf("  %d transmissions, %d characters sent, %d reply frames\n",
                              bound.transmissions, bound.transmittedCharacters, bound.replyFrames);
    text += QString::asprintf("  breaks %.2f s, characters sent %.2f s, replies %.2f s\n",
                              bound.breakUs / 1e6, bound.transmitUs / 1e6, bound.replyUs / 1e6);
    text += row("Link efficiency (bound / update)", QString::asprintf("%.3f", efficiency()),
                QString::asprintf(">= %.2f", B::efficiencyTarget),
                efficiency() >= B::efficiencyTarget);
    text += row("CPU during the update (one core)", QString::asprintf("%.2f %%", cpuShare * 100),
                QString::asprintf("< %.0f %%", B::cpuShareTarget * 100),
                cpuShare < B::cpuShareTarget);
    text += row("Peak resident memory", QString::asprintf("%.1f MB", peakRssMb),
                QString::asprintf("< %.0f MB", B::peakRssMbTarget), peakRssMb < B::peakRssMbTarget);
    text += row("Longest GUI gap (5 ms timer)", QString::asprintf("%.1f ms", guiMaxGapMs),
                QString::asprintf("< %.0f ms", B::guiGapMsTarget), guiMaxGapMs < B::guiGapMsTarget);
    text += QString::asprintf("  the GUI thread ran %.1f ms of it\n", guiRunningInMaxGapMs);
    text += row(qPrintable(QString::asprintf("CPU connected and idle, %.0f s", idleSeconds)),
                QString::asprintf("%.2f %%", idleCpuShare * 100),
                QString::asprintf("< %.0f %%", B::idleCpuShareTarget * 100),
                idleCpuShare < B::idleCpuShareTarget);
    if (!finished)
        text += QStringLiteral("NOT FINISHED: %1\n").arg(failure);
    return text;
}

QString BenchmarkResult::toJson() const
{
    QJsonObject object{
        {QStringLiteral("update_s"), updateS},
        {QStringLiteral("bound_s"), boundS()},
        {QStringLiteral("efficiency"), efficiency()},
        {QStringLiteral("cpu_share"), cpuShare},
        {QStringLiteral("peak_rss_mb"), peakRssMb},
        {QStringLiteral("gui_max_gap_ms"), guiMaxGapMs},
        {QStringLiteral("idle_cpu_share"), idleCpuShare},
    };
    if (!finished)
        object.insert(QStringLiteral("failure"), failure);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
