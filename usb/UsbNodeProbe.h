#pragma once

#include "usb/D2xxApi.h"

#include <QByteArray>
#include <QtGlobal>

// Why a USB chip that the kernel lists cannot be opened, as the kernel
// itself tells it: the permission on the chip's device node, and the driver
// that holds its first interface (usbfs when a program has claimed it).
// For a backend whose library says no more than that the open failed.
// Linux only (sysfs and usbfs); elsewhere nothing is known.
namespace UsbNodeProbe {

// The first reason found among the chips with this vendor ID and this
// product string (which sysfs shows to every user), in sysfs order;
// NotKnown when there is none, or each of them opens and nothing holds it.
D2xxApi::OpenRefusal refusal(quint16 vendorId, const QByteArray &product);

} // namespace UsbNodeProbe
