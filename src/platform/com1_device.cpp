#include "platform/com1_device.h"

#include <QFileInfo>

namespace platform {

QString com1Device(const QString& link, const QString& builtDevice) {
    if (link.isEmpty())
        return builtDevice;
    const QFileInfo info(link);
    return info.exists() || info.isSymLink() ? link : builtDevice;
}

} // namespace platform
