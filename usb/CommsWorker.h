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

    // Why the last selectDevice failed.
    enum class OpenFailure {
        None,      // it opened
        NotFound,  // no device of that name is listed
        NotOpened, // the device is listed, but it could not be opened
    };

    QStringList debuggableGetDeviceList();
    bool selectDevice(const QString &name);
    // After a failed selectDevice: whether no such device is listed, or it
    // is and did not open.
    OpenFailure openFailure() const;
    // Why a chip that may be the controller's is there but cannot be
    // opened; NotKnown when none is or nothing tells.
    D2xxApi::OpenRefusal openRefusal() const;
    // What the USB library said when the open failed; empty when it did not say.
    QString openFailureReason() const;
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
    mutable QMutex mutex;
    ftd2xxRaw ftdi;
    std::atomic<bool> txPending{false};
    std::atomic<bool> deviceOpen{false};
    QByteArray rxBytes;
    QByteArray txBytes;
    bool traceEnabled = false;
    // Written and read on the manager's thread, under the mutex.
    OpenFailure failure = OpenFailure::None;
    D2xxApi::OpenRefusal refusal = D2xxApi::OpenRefusal::NotKnown;
    QString failureReason;
};
