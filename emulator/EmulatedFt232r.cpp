#include "emulator/EmulatedFt232r.h"

#include "emulator/EmulatedController.h"
#include "emulator/EmulatedRxQueue.h"
#include "emulator/EmulatedSerialLine.h"

#include <QMutexLocker>

// glib names a member "signals", which Qt defines as a keyword.
#undef signals
#include <umockdev.h>

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <linux/types.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr quint8 endpointIn = 0x81;
constexpr quint8 endpointOut = 0x02;
constexpr int maxPacket = 64;
// Modem status (CTS, DSR) and line status (transmitter empty) of every
// bulk-in packet.
constexpr quint8 modemStatus = 0x31;
constexpr quint8 lineStatus = 0x60;

QByteArray deviceDescriptor(bool serialString)
{
    // USB 2.0, vendor 0403, product 6001, bcdDevice 0600 (an FT232R),
    // strings 1, 2 and (when the EEPROM has one) 3, one configuration.
    QByteArray d = QByteArray::fromHex("120100020000000803040160000601020301");
    if (!serialString)
        d[16] = 0;
    return d;
}

QByteArray configurationDescriptor()
{
    // One interface of vendor class with a bulk-in (81) and a bulk-out (02)
    // endpoint of 64 bytes.
    return QByteArray::fromHex("09022000010100a02d"
                               "09040000"
                               "02ffffff02"
                               "07058102400000"
                               "07050202400000");
}

using Link = std::shared_ptr<EmulatedFt232r::Link>;

gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    const Link &link = *static_cast<Link *>(data);
    QMutexLocker lock(&link->mutex);
    return link->chip && link->chip->handleIoctl(client) ? TRUE : FALSE;
}

void onClientConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    const Link &link = *static_cast<Link *>(data);
    QMutexLocker lock(&link->mutex);
    if (link->chip)
        link->chip->clientConnected(client);
}

void onClientVanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    const Link &link = *static_cast<Link *>(data);
    QMutexLocker lock(&link->mutex);
    if (link->chip)
        link->chip->clientVanished(client);
}

void connectLink(UMockdevIoctlBase *handler, const char *signal, GCallback callback,
                 const Link &link)
{
    g_signal_connect_data(
        handler, signal, callback, new Link(link),
        [](gpointer data, GClosure *) { delete static_cast<Link *>(data); }, GConnectFlags(0));
}

} // namespace

struct EmulatedFt232r::Urb
{
    UMockdevIoctlData *data = nullptr; // the client's usbdevfs_urb
    usbdevfs_urb *urb = nullptr;
    UMockdevIoctlClient *client = nullptr; // the open file it was submitted on
    qint64 submittedUs = 0;
    bool done = false; // ready to be reaped

    ~Urb()
    {
        if (data)
            umockdev_ioctl_data_unref(data);
    }
};

bool EmulatedFt232r::available()
{
    // umockdev_in_mock_environment() only answers once a testbed exists.
    return qEnvironmentVariable("LD_PRELOAD").contains(QLatin1String("libumockdev-preload"));
}

double EmulatedFt232r::baudRateOf(quint16 value, quint16 index)
{
    // The divisor of 3 MHz in eighths: 14 integer bits, then a 3-bit code
    // for the fraction that continues into bit 0 of wIndex.
    const quint32 encoded = quint32(value) | (quint32(index & 0x0001) << 16);
    const quint32 integer = encoded & 0x3FFF;
    static const int eighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    const int fraction = eighths[(encoded >> 14) & 0x7];
    if (integer == 0)
        return 3000000.0;
    if (integer == 1 && fraction == 0)
        return 2000000.0;
    return 3000000.0 * 8 / (integer * 8 + fraction);
}

EmulatedFt232r::EmulatedFt232r() : EmulatedFt232r(Options())
{ }

EmulatedFt232r::EmulatedFt232r(const Options &options)
    : options(options), controller(std::make_unique<EmulatedController>(true)),
      line(std::make_unique<EmulatedSerialLine>(*controller, true))
{
    clock.start();
    testbed = umockdev_testbed_new();
    handler = umockdev_ioctl_base_new();
    link = std::make_shared<Link>();
    link->chip = this;
    connectLink(handler, "handle-ioctl", G_CALLBACK(onIoctl), link);
    connectLink(handler, "client-connected", G_CALLBACK(onClientConnected), link);
    connectLink(handler, "client-vanished", G_CALLBACK(onClientVanished), link);
    QMutexLocker lock(&mutex);
    addDevice();
}

EmulatedFt232r::~EmulatedFt232r()
{
    {
        QMutexLocker lock(&link->mutex);
        link->chip = nullptr;
    }
    {
        QMutexLocker lock(&mutex);
        urbs.clear();
    }
    g_object_unref(testbed);
    g_object_unref(handler);
}

void EmulatedFt232r::addDevice()
{
    ++deviceNumber;
    const QByteArray number = QByteArray::number(deviceNumber).rightJustified(3, '0');
    node = QStringLiteral("/dev/bus/usb/001/") + QString::fromLatin1(number);
    sysfsPath = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%1").arg(deviceNumber);
    // A node taken again keeps its handler; the files opened on it before
    // the pull stay dead by their plug.
    if (deviceNumber > attachedUpTo) {
        umockdev_testbed_attach_ioctl(testbed, node.toUtf8().constData(), handler, nullptr);
        attachedUpTo = deviceNumber;
    }
    QByteArray description = "P: " + sysfsPath.mid(4).toUtf8()
                             + "\n"
                               "N: bus/usb/001/"
                             + number
                             + "\n"
                               "E: SUBSYSTEM=usb\n"
                               "E: DEVTYPE=usb_device\n"
                               "E: DRIVER=usb\n"
                               "E: BUSNUM=001\n"
                               "E: DEVNUM="
                             + number
                             + "\n"
                               "E: DEVNAME="
                             + node.toUtf8()
                             + "\n"
                               "E: PRODUCT=403/6001/600\n"
                               "A: busnum=1\\n\n"
                               "A: devnum="
                             + QByteArray::number(deviceNumber)
                             + "\\n\n"
                               "A: bConfigurationValue=1\\n\n"
                               "A: speed=12\\n\n"
                               "A: idVendor=0403\\n\n"
                               "A: idProduct=6001\\n\n"
                               "A: bcdDevice=0600\\n\n"
                               "A: manufacturer=FTDI\\n\n"
                               "A: product="
                             + options.product + "\\n\n";
    if (!options.serialNumber.isEmpty())
        description += "A: serial=" + options.serialNumber + "\\n\n";
    description +=
        "H: descriptors="
        + (deviceDescriptor(!options.serialNumber.isEmpty()) + configurationDescriptor()).toHex()
        + "\n";
    umockdev_testbed_add_from_string(testbed, description.constData(), nullptr);
    detached = options.kernelDriver.isEmpty();
    claimedBy = nullptr;
    ++plug;
}

qint64 EmulatedFt232r::now() const
{
    return clock.nsecsElapsed() / 1000;
}

int EmulatedFt232r::addCard(const EmulatedCardIdentity &identity)
{
    QMutexLocker lock(&mutex);
    return controller->addCard(identity);
}

EmulatedCardAccess EmulatedFt232r::card(int card)
{
    QMutexLocker lock(&mutex);
    const bool valid = card >= 0 && card < controller->cardCount();
    return EmulatedCardAccess(&mutex, valid ? &controller->card(card) : nullptr, card);
}

QList<EmulatedFt232r::ControlRequest> EmulatedFt232r::controlRequests() const
{
    QMutexLocker lock(&mutex);
    return requests;
}

QList<QByteArray> EmulatedFt232r::writes() const
{
    QMutexLocker lock(&mutex);
    return written;
}

bool EmulatedFt232r::kernelDriverDetached() const
{
    QMutexLocker lock(&mutex);
    return detached;
}

EmulatedLineState EmulatedFt232r::lineState() const
{
    QMutexLocker lock(&mutex);
    return line->state();
}

QString EmulatedFt232r::deviceNode() const
{
    QMutexLocker lock(&mutex);
    return node;
}

void EmulatedFt232r::pullCable()
{
    QMutexLocker lock(&mutex);
    if (node.isEmpty())
        return;
    umockdev_testbed_uevent(testbed, sysfsPath.toUtf8().constData(), "remove");
    umockdev_testbed_remove_device(testbed, sysfsPath.toUtf8().constData());
    // What is on its way ends as on a disconnect.
    for (const std::shared_ptr<Urb> &urb : urbs) {
        if (!urb->done) {
            urb->urb->status = -ESHUTDOWN;
            urb->urb->actual_length = 0;
            urb->done = true;
        }
    }
    node.clear();
}

void EmulatedFt232r::plugBackIn(bool newAddress)
{
    QMutexLocker lock(&mutex);
    if (!node.isEmpty())
        return;
    line->reset();
    if (!newAddress)
        --deviceNumber;
    addDevice();
    // As the kernel does, so that a USB library that keeps its device list
    // from hot-plug events sees the new device.
    umockdev_testbed_uevent(testbed, sysfsPath.toUtf8().constData(), "add");
}

void EmulatedFt232r::failNextReads(int count, int error)
{
    QMutexLocker lock(&mutex);
    failingReads = count;
    failingError = error;
}

void EmulatedFt232r::setNodeMode(int mode)
{
    QMutexLocker lock(&mutex);
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    const QByteArray path = QByteArray(root) + node.toUtf8();
    g_free(root);
    ::chmod(path.constData(), mode_t(mode));
}

void EmulatedFt232r::vendorOut(quint8 request, quint16 value, quint16 index, qint64 nowUs)
{
    switch (request) {
    case requestReset:
        // 0 resets the port; 2 (tciflush) drops what came from the line, 1
        // (tcoflush) what waits to go out, which the model never holds.
        if (value == 0 || value == 2)
            line->received().purgeArrived(nowUs);
        break;
    case requestModemControl:
        if (value & 0x0200)
            line->setRts((value & 0x0002) != 0);
        break;
    case requestFlowControl:
        line->setFlowControl(quint16(index & 0xFF00), line->state().xonChar,
                             line->state().xoffChar);
        break;
    case requestBaudRate:
        line->setBaudRate(quint32(baudRateOf(value, index) + 0.5));
        break;
    case requestData: {
        const int stop = (value >> 11) & 0x3; // 0: 1, 1: 1.5, 2: 2 stop bits
        line->setDataCharacteristics(quint8(value & 0xFF),
                                     stop == 2 ? FT_STOP_BITS_2 : quint8(stop),
                                     quint8((value >> 8) & 0x7));
        line->setBreak((value & 0x4000) != 0, nowUs);
        break;
    }
    case requestEventChar:
        line->setEventChar(quint8(value & 0xFF), (value & 0x100) ? 1 : 0);
        break;
    case requestErrorChar:
        line->setErrorChar(quint8(value & 0xFF), (value & 0x100) ? 1 : 0);
        break;
    case requestSetLatency:
        line->received().setLatency(qint64(std::max<quint16>(value & 0xFF, 1)) * 1000);
        break;
    case requestBitMode:
        line->setBitMode(quint8(value & 0xFF), quint8(value >> 8));
        break;
    default:
        break;
    }
}

QByteArray EmulatedFt232r::stringDescriptor(int index) const
{
    QByteArray text;
    switch (index) {
    case 0:
        return QByteArray::fromHex("04030904"); // English (US)
    case 1:
        text = "FTDI";
        break;
    case 2:
        text = options.product;
        break;
    case 3:
        // Assumed: the chip answers each of its three string slots from the
        // EEPROM, and an EEPROM without a serial number holds an empty one
        // (the device descriptor names no serial string all the same).
        text = options.serialNumber;
        break;
    default:
        return {};
    }
    QByteArray d;
    d.append(char(2 + 2 * text.size())); // an empty text gives bLength 2
    d.append(char(0x03));
    for (char c : text) {
        d.append(c);
        d.append('\0');
    }
    return d;
}

// A control transfer: the setup packet, then data; false stalls it.
bool EmulatedFt232r::control(Urb &urb, qint64 nowUs)
{
    auto *buffer = static_cast<unsigned char *>(urb.urb->buffer);
    if (urb.urb->buffer_length < 8)
        return false;
    ControlRequest r;
    r.timeUs = nowUs;
    r.requestType = buffer[0];
    r.request = buffer[1];
    r.value = quint16(buffer[2] | buffer[3] << 8);
    r.index = quint16(buffer[4] | buffer[5] << 8);
    r.length = quint16(buffer[6] | buffer[7] << 8);
    QByteArray reply;
    if (r.requestType == 0x80 && r.request == 0x06) { // GET_DESCRIPTOR
        const int type = r.value >> 8;
        if (type == 1)
            reply = deviceDescriptor(!options.serialNumber.isEmpty());
        else if (type == 2)
            reply = configurationDescriptor();
        else if (type == 3)
            reply = stringDescriptor(r.value & 0xFF);
        if (reply.isEmpty())
            return false;
    } else if (r.requestType == 0x40) {
        requests.append(r);
        vendorOut(r.request, r.value, r.index, nowUs);
    } else if (r.requestType == 0xC0) {
        requests.append(r);
        if (r.request == requestReadPins)
            reply = QByteArray(1, char(line->state().cbusLevels & line->state().cbusOutputs));
        else if (r.request == requestGetLatency)
            reply = QByteArray(1, char(line->received().latency() / 1000));
        else if (r.request == requestModemStatus)
            reply = QByteArray::fromHex("3160");
        else
            return false;
    } else {
        return false;
    }
    const int n = std::min({int(reply.size()), int(r.length), urb.urb->buffer_length - 8});
    std::memcpy(buffer + 8, reply.constData(), size_t(std::max(n, 0)));
    urb.urb->actual_length = std::max(n, 0);
    urb.urb->status = 0;
    return true;
}

bool EmulatedFt232r::readyToReap(Urb &urb, qint64 nowUs)
{
    if (urb.done)
        return true;
    // A bulk in: a packet when bytes have been handed over, a status-only
    // one when the latency timer ran out with nothing.
    if (failingReads > 0) {
        --failingReads;
        urb.urb->status = failingError;
        urb.urb->actual_length = 0;
        return urb.done = true;
    }
    line->advance(nowUs);
    EmulatedRxQueue &rx = line->received();
    const int ready = rx.readable(nowUs);
    if (ready == 0 && nowUs - std::max(urb.submittedUs, lastInUs) < rx.latency())
        return false;
    auto *buffer = static_cast<unsigned char *>(urb.urb->buffer);
    const int room = std::min(urb.urb->buffer_length, maxPacket) - 2;
    const QByteArray data = rx.take(nowUs, std::max(room, 0));
    buffer[0] = modemStatus;
    buffer[1] = lineStatus;
    std::memcpy(buffer + 2, data.constData(), size_t(data.size()));
    urb.urb->actual_length = 2 + data.size();
    urb.urb->status = 0;
    lastInUs = nowUs;
    return urb.done = true;
}

int EmulatedFt232r::claim(UMockdevIoctlClient *client)
{
    if (claimedBy == client)
        return 0;
    // The kernel refuses the claim of an interface that its serial driver
    // or another open file holds; a USB library has to detach the driver.
    if (!detached || claimedBy)
        return EBUSY;
    claimedBy = client;
    return 0;
}

void EmulatedFt232r::clientConnected(UMockdevIoctlClient *client)
{
    QMutexLocker lock(&mutex);
    clientPlug.insert(client, node.isEmpty() ? 0 : plug);
}

void EmulatedFt232r::clientVanished(UMockdevIoctlClient *client)
{
    QMutexLocker lock(&mutex);
    clientPlug.remove(client);
    if (claimedBy == client)
        claimedBy = nullptr;
    for (int i = urbs.size() - 1; i >= 0; --i)
        if (urbs.at(i)->client == client)
            urbs.removeAt(i);
}

bool EmulatedFt232r::handleIoctl(UMockdevIoctlClient *client)
{
    QMutexLocker lock(&mutex);
    const qint64 t = now();
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    // A file opened before the cable was pulled stays dead, whatever is
    // plugged in since.
    const bool vanished = node.isEmpty() || clientPlug.value(client, plug) != plug;

    switch (request) {
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        for (int i = 0; i < urbs.size(); ++i) {
            const std::shared_ptr<Urb> urb = urbs.at(i);
            if (urb->client != client || !readyToReap(*urb, t))
                continue;
            UMockdevIoctlData *pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer),
                                                                     nullptr);
            umockdev_ioctl_data_set_ptr(pointer, 0, urb->data);
            umockdev_ioctl_data_unref(pointer);
            urbs.removeAt(i);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        umockdev_ioctl_client_complete(client, -1, vanished ? ENODEV : EAGAIN);
        return true;
    }
    case USBDEVFS_DISCARDURB: {
        const gulong address = *reinterpret_cast<gulong *>(arg->data);
        for (const std::shared_ptr<Urb> &urb : urbs) {
            if (urb->client == client && urb->data->client_addr == address && !urb->done) {
                urb->urb->status = -ENOENT;
                urb->urb->actual_length = 0;
                urb->done = true;
                umockdev_ioctl_client_complete(client, 0, 0);
                return true;
            }
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
    }
    default:
        break;
    }

    if (vanished) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        *reinterpret_cast<guint32 *>(d->data) = USBDEVFS_CAP_BULK_CONTINUATION
                                                | USBDEVFS_CAP_NO_PACKET_SIZE_LIM
                                                | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        umockdev_ioctl_data_unref(d);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_GETDRIVER: {
        // The kernel's serial driver holds the interface until it is
        // detached; a file that claimed it shows as usbfs.
        if (detached && !claimedBy) {
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            return true;
        }
        UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver),
                                                           nullptr);
        auto *driver = reinterpret_cast<usbdevfs_getdriver *>(d->data);
        const QByteArray name = claimedBy ? QByteArray("usbfs") : options.kernelDriver;
        std::strncpy(driver->driver, name.constData(), sizeof driver->driver - 1);
        umockdev_ioctl_data_unref(d);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_IOCTL: {
        UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
        const int code = reinterpret_cast<usbdevfs_ioctl *>(d->data)->ioctl_code;
        umockdev_ioctl_data_unref(d);
        if (code == int(USBDEVFS_DISCONNECT))
            detached = true;
        else if (code == int(USBDEVFS_CONNECT))
            detached = options.kernelDriver.isEmpty() || claimedBy;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_DISCONNECT_CLAIM:
        detached = true;
        claimedBy = client;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_CLAIMINTERFACE: {
        const int error = claim(client);
        umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
        return true;
    }
    case USBDEVFS_RELEASEINTERFACE:
        if (claimedBy != client) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return true;
        }
        claimedBy = nullptr;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_SUBMITURB: {
        auto urb = std::make_shared<Urb>();
        urb->data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        urb->urb = reinterpret_cast<usbdevfs_urb *>(urb->data->data);
        urb->client = client;
        urb->submittedUs = t;
        // The transfer buffer is the client's, in this same process.
        if (urb->urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            if (!control(*urb, t)) {
                urb->urb->status = -EPIPE;
                urb->urb->actual_length = 0;
            }
            urb->done = true;
        } else if (urb->urb->type == USBDEVFS_URB_TYPE_BULK && claim(client) != 0) {
            // The kernel claims the interface for a transfer on its endpoints.
            umockdev_ioctl_client_complete(client, -1, EBUSY);
            return true;
        } else if (urb->urb->type == USBDEVFS_URB_TYPE_BULK && urb->urb->endpoint == endpointOut) {
            const QByteArray bytes(static_cast<const char *>(urb->urb->buffer),
                                   urb->urb->buffer_length);
            written.append(bytes);
            line->transmit(bytes, t);
            urb->urb->actual_length = urb->urb->buffer_length;
            urb->urb->status = 0;
            urb->done = true;
        } else if (urb->urb->type != USBDEVFS_URB_TYPE_BULK || urb->urb->endpoint != endpointIn) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return true;
        }
        urbs.append(urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return true;
    }
}
