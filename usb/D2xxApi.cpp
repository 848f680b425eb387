#include "usb/D2xxApi.h"

#include <QThread>
#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

Q_LOGGING_CATEGORY(lcUsb, "linecard.usb", QtInfoMsg)

void D2xxApi::sleepMicroseconds(uint32_t microseconds)
{
#ifdef Q_OS_WIN
    // Windows sleeps whole timer periods, at least a millisecond and often
    // 15.6: sleep to a millisecond short of the end (the vendor backend
    // raises the timer resolution while a device is open), then wait out
    // the rest on the performance counter.
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    const LONGLONG end = now.QuadPart + LONGLONG(microseconds) * frequency.QuadPart / 1000000;
    if (microseconds > 2000)
        Sleep(DWORD(microseconds / 1000 - 1));
    do
        QueryPerformanceCounter(&now);
    while (now.QuadPart < end);
#else
    QThread::usleep(microseconds);
#endif
}
