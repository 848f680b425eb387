#pragma once

#include <QtGlobal>

// What the running process has used so far, from the operating system.
// Zero where the platform does not tell (neither Unix nor Windows).
namespace ProcessUsage {
qint64 cpuTimeUs();       // user and system time of all threads
qint64 threadCpuTimeNs(); // of the calling thread
qint64 peakResidentKb();
qint64 residentKb(); // now
} // namespace ProcessUsage
