#pragma once

#include "usb/ftd2xxRaw.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QStringList>

#include <atomic>
#include <memory>

// Owns the USB device and the byte buffers between it and the controller
// manager. Lives on the I/O thread; its slots arrive queued, and the plain
// operations are called from the manager's thread under the same mutex.
class CommsWorker : public QObject
{
    Q_OBJECT

public:
    explicit CommsWorker(std::shared_ptr<D2xxApi> api = D2xxApi::platformDefault());

    QStringList debuggableGetDeviceList();
    bool selectDevice(const QString &name);
    // After a failed selectDevice: why a chip that may be the controller's
    // is there but cannot be opened; NotKnown when none is or nothing tells.
    D2xxApi::OpenRefusal openRefusal() const { return refusal; }
    QByteArray takeRxBytes();

    static constexpr quint32 lineCardSwitchUs = 1000 * 1000;

signals:
    void notifyLineCardsSelected(bool ok);
    void notifyRxData();
    void notifyTxData(bool ok);
    void notifyIOError();

public slots:
    void serviceComms();
    void onReqPauseWork();
    void onReqWrite(QByteArray data);
    void onReqSelectLineCards();

private:
    bool writeIfAny();
    bool readIfAny();

    QStringList deviceNames;
    // Read outside the mutex by service passes; a stale value delays work by
    // one pass at most.
    std::atomic<bool> workEnabled{false};
    QMutex mutex;
    ftd2xxRaw ftdi;
    std::atomic<bool> txPending{false};
    std::atomic<bool> deviceOpen{false};
    QByteArray rxBytes;
    QByteArray txBytes;
    bool traceEnabled = false;
    std::atomic<D2xxApi::OpenRefusal> refusal{D2xxApi::OpenRefusal::NotKnown};
};
