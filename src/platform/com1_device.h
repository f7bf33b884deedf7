#pragma once
// Which device the program's port number 1 stands for on this host.

#include <QString>

namespace platform {

// `link` (the stable device link the system may provide for the indicator's line; the
// package's udev rule makes /dev/weighbridge-com1 for the first USB serial adapter) when it is
// there, else `builtDevice` (the device fixed when the program was built). A link counts as there
// even when its target is gone (the adapter unplugged, a link left pointing at a device that no
// longer exists): the system has named the device, and the program then reports that port 1 cannot
// be opened instead of quietly using another port. An empty `link` is never used.
QString com1Device(const QString& link, const QString& builtDevice);

} // namespace platform
