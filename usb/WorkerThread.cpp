#include "usb/WorkerThread.h"

void WorkerThread::run()
{
    exec();
}
