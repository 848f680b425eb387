#include "usb/CommsWorker.h"

#include <QMutexLocker>

CommsWorker::CommsWorker(std::shared_ptr<D2xxApi> api) : ftdi(std::move(api))
{ }

QStringList CommsWorker::debuggableGetDeviceList()
{
    QMutexLocker lock(&mutex);
    deviceNames.clear();
    if (ftdi.getDeviceList()) {
        for (int i = 0; i < ftdi.listedDevices(); ++i)
            deviceNames.append(QString::fromUtf8(ftdi.listedDescription(i)));
    }
    return deviceNames;
}

bool CommsWorker::selectDevice(const QString &name)
{
    QMutexLocker lock(&mutex);
    refusal = D2xxApi::OpenRefusal::NotKnown;
    failure = OpenFailure::None;
    failureReason.clear();
    const int index = deviceNames.indexOf(name);
    if (index < 0) {
        failure = OpenFailure::NotFound;
        // A chip whose strings could not be read may be the controller's,
        // there but not to be opened. The chip maker's library lists such a
        // chip with ID 0.
        for (int i = 0; i < deviceNames.size() && refusal == D2xxApi::OpenRefusal::NotKnown; ++i) {
            const quint32 id = ftdi.listedId(i);
            if (deviceNames.at(i).isEmpty() && (id == 0x04036001 || id == 0x04036015 || id == 0))
                refusal = ftdi.openRefusal(i, name.toUtf8());
        }
        return false;
    }
    const bool opened = ftdi.openDevice(index);
    if (!opened) {
        failure = OpenFailure::NotOpened;
        refusal = ftdi.lastOpenRefusal(name.toUtf8());
        failureReason = QString::fromStdString(ftdi.openFailureReason());
    }
    deviceOpen = ftdi.deviceOpen();
    ftdi.configureLine();
    return opened;
}

CommsWorker::OpenFailure CommsWorker::openFailure() const
{
    QMutexLocker lock(&mutex);
    return failure;
}

D2xxApi::OpenRefusal CommsWorker::openRefusal() const
{
    QMutexLocker lock(&mutex);
    return refusal;
}

QString CommsWorker::openFailureReason() const
{
    QMutexLocker lock(&mutex);
    return failureReason;
}

QByteArray CommsWorker::takeRxBytes()
{
    QMutexLocker lock(&mutex);
    QByteArray taken;
    taken.swap(rxBytes);
    return taken;
}

void CommsWorker::onReqPauseWork()
{
    workEnabled = false;
}

void CommsWorker::onReqWrite(QByteArray data)
{
    QMutexLocker lock(&mutex);
    rxBytes.clear();
    ftdi.clearRxQueue();
    txPending = true;
    txBytes.append(data);
}

void CommsWorker::onReqSelectLineCards()
{
    {
        QMutexLocker lock(&mutex);
        workEnabled = false;
        ftdi.selectLineCards();
        ftdi.configureLine();
        ftdi.clearRxQueue();
        // Give the controller time to switch over before traffic starts.
        ftdi.sleepMicroseconds(lineCardSwitchUs);
        workEnabled = true;
    }
    emit notifyLineCardsSelected(true);
}

void CommsWorker::serviceComms()
{
    if (!deviceOpen || !workEnabled)
        return;
    for (int cycle = 0; cycle < 2; ++cycle) {
        const bool wrote = writeIfAny();
        const bool received = readIfAny();
        if (!wrote && !received)
            break;
    }
}

bool CommsWorker::writeIfAny()
{
    if (!txPending)
        return false;
    bool ok;
    {
        QMutexLocker lock(&mutex);
        rxBytes.clear();
        ftdi.clearRxQueue();
        ok = ftdi.write(txBytes);
        txPending = false;
    }
    emit notifyTxData(ok);
    return ok;
}

bool CommsWorker::readIfAny()
{
    int count;
    bool appended = false;
    {
        QMutexLocker lock(&mutex);
        count = ftdi.rxQueueCount();
        if (count < 0) {
            count = ftdi.rxQueueCount();
            // The link is lost: the device is closed now, so that nothing a
            // library runs for it outlives it; connecting opens it anew.
            qCDebug(lcUsb) << "receive queue query failed with status" << ftdi.status()
                           << "- closing the device";
            ftdi.closeDevice();
            deviceOpen = false;
            emit notifyIOError();
        } else if (count > 0) {
            QByteArray received;
            ftdi.read(received);
            rxBytes.append(received);
            appended = true;
        }
    }
    if (count > 0)
        emit notifyRxData();
    return appended;
}
