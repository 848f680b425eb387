#include "bench/ProcessUsage.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#endif

namespace ProcessUsage {

qint64 cpuTimeUs()
{
#ifdef Q_OS_UNIX
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return 0;
    const auto us = [](const timeval &t) { return qint64(t.tv_sec) * 1000000 + t.tv_usec; };
    return us(usage.ru_utime) + us(usage.ru_stime);
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
#else
    return 0;
#endif
}

} // namespace ProcessUsage
