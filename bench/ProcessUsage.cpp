#include "bench/ProcessUsage.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#include <psapi.h>
#endif

namespace ProcessUsage {

#ifdef Q_OS_WIN
namespace {
// A FILETIME duration counts 100 ns units.
qint64 hundredNs(const FILETIME &t)
{
    return qint64((quint64(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

bool memoryCounters(PROCESS_MEMORY_COUNTERS &counters)
{
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) != 0;
}
} // namespace
#endif

qint64 cpuTimeUs()
{
#ifdef Q_OS_UNIX
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return 0;
    const auto us = [](const timeval &t) { return qint64(t.tv_sec) * 1000000 + t.tv_usec; };
    return us(usage.ru_utime) + us(usage.ru_stime);
#elif defined(Q_OS_WIN)
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    return (hundredNs(kernel) + hundredNs(user)) / 10;
#else
    return 0;
#endif
}

qint64 threadCpuTimeNs()
{
#ifdef Q_OS_UNIX
    timespec t{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0)
        return 0;
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
#elif defined(Q_OS_WIN)
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    return (hundredNs(kernel) + hundredNs(user)) * 100;
#else
    return 0;
#endif
}

qint64 peakResidentKb()
{
#ifdef Q_OS_UNIX
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return 0;
    return qint64(usage.ru_maxrss); // kilobytes on Linux
#elif defined(Q_OS_WIN)
    PROCESS_MEMORY_COUNTERS counters{};
    return memoryCounters(counters) ? qint64(counters.PeakWorkingSetSize / 1024) : 0;
#else
    return 0;
#endif
}

qint64 residentKb()
{
#ifdef Q_OS_LINUX
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().simplified().split(' ');
    if (fields.size() < 2)
        return 0;
    return fields.at(1).toLongLong() * (sysconf(_SC_PAGESIZE) / 1024);
#elif defined(Q_OS_WIN)
    PROCESS_MEMORY_COUNTERS counters{};
    return memoryCounters(counters) ? qint64(counters.WorkingSetSize / 1024) : 0;
#else
    return 0;
#endif
}

} // namespace ProcessUsage
