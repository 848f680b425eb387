#pragma once

#include <QThread>

// The I/O thread: it runs an event loop and nothing else.
class WorkerThread : public QThread
{
    Q_OBJECT

public:
    using QThread::QThread;

    bool traceEnabled = false;

protected:
    void run() override;
};
