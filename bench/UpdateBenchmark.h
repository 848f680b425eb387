#pragma once

#include "bench/WireTimeBound.h"

#include <QString>

#include <functional>

class EmulatedD2xx;

// One whole update in wire timing through the real window, manager, worker
// and thread, measured from the click on "Update card" to "Finished.".
struct BenchmarkResult
{
    bool finished = false;
    QString failure;     // why not, when not finished
    double updateS = 0;  // wall time, click to "Finished."
    WireTimeBound bound; // of the exchange the emulator recorded
    double cpuShare = 0; // process CPU time over the update's wall time
    double peakRssMb = 0;
    double guiMaxGapMs = 0;          // longest gap between two ticks of a 5 ms GUI timer
    double guiRunningInMaxGapMs = 0; // CPU time the GUI thread had in that gap
    double idleCpuShare = 0;         // connected, nothing sent
    double idleSeconds = 0;

    double boundS() const { return bound.totalUs() / 1e6; }
    double efficiency() const { return updateS > 0 ? boundS() / updateS : 0; }

    QString toTable() const;
    QString toJson() const; // one line
};

class UpdateBenchmark
{
public:
    static constexpr double efficiencyTarget = 0.90;
    static constexpr double cpuShareTarget = 0.03;
    static constexpr double idleCpuShareTarget = 0.01;
    static constexpr double peakRssMbTarget = 80;
    static constexpr double guiGapMsTarget = 50;

    // faults configures the emulated card before the run (no faults: empty).
    static BenchmarkResult run(int idleSeconds,
                               const std::function<void(EmulatedD2xx &)> &faults = {});
};
