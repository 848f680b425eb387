#include "usb/UsbNodeProbe.h"

#ifdef Q_OS_LINUX

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

using OpenRefusal = D2xxApi::OpenRefusal;

// A short sysfs attribute, without its line end; empty when unreadable.
QByteArray attribute(const QString &device, const char *name)
{
    QFile file(device + QLatin1Char('/') + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // A USB string has at most 126 characters; more is not an attribute of ours.
    return file.read(256).trimmed();
}

OpenRefusal probeNode(const QByteArray &node)
{
    const int fd = ::open(node.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        qCDebug(lcUsb) << node << "does not open:" << std::strerror(error);
        return error == EACCES || error == EPERM ? OpenRefusal::NoPermission
                                                 : OpenRefusal::NotKnown;
    }
    usbdevfs_getdriver driver{};
    driver.interface = 0;
    OpenRefusal refusal = OpenRefusal::NotKnown;
    if (::ioctl(fd, USBDEVFS_GETDRIVER, &driver) == 0) {
        driver.driver[sizeof driver.driver - 1] = '\0';
        qCDebug(lcUsb) << node << "interface 0 is held by" << driver.driver;
        refusal = std::strcmp(driver.driver, "usbfs") == 0 ? OpenRefusal::OtherProgram
                                                           : OpenRefusal::KernelDriver;
    }
    ::close(fd);
    return refusal;
}

} // namespace

D2xxApi::OpenRefusal UsbNodeProbe::refusal(quint16 vendorId, const QByteArray &product)
{
    const QString root = QStringLiteral("/sys/bus/usb/devices");
    const QStringList devices = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : devices) {
        const QString device = root + QLatin1Char('/') + name;
        bool ok = false;
        if (attribute(device, "idVendor").toUInt(&ok, 16) != vendorId || !ok
            || attribute(device, "product") != product)
            continue;
        bool busOk = false, devOk = false;
        const uint bus = attribute(device, "busnum").toUInt(&busOk);
        const uint address = attribute(device, "devnum").toUInt(&devOk);
        if (!busOk || !devOk || bus > 999 || address > 999)
            continue;
        const QByteArray node = QByteArray("/dev/bus/usb/")
                                + QByteArray::number(bus).rightJustified(3, '0') + '/'
                                + QByteArray::number(address).rightJustified(3, '0');
        const OpenRefusal found = probeNode(node);
        if (found != OpenRefusal::NotKnown)
            return found;
    }
    return OpenRefusal::NotKnown;
}

#else

D2xxApi::OpenRefusal UsbNodeProbe::refusal(quint16, const QByteArray &)
{
    return D2xxApi::OpenRefusal::NotKnown;
}

#endif
