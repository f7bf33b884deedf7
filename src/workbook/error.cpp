#include "workbook/error.h"

#include <QDir>

namespace workbook {

namespace {
QString compose(const QString& file, const QString& reason) {
    return file.isEmpty() ? reason : QDir::toNativeSeparators(file) + QStringLiteral(": ") + reason;
}
} // namespace

Error::Error(Kind kind, const QString& file, const QString& reason)
    : std::runtime_error(compose(file, reason).toStdString()), m_kind(kind), m_file(file),
      m_reason(reason) {}

QString Error::message() const {
    return QString::fromUtf8(what());
}

} // namespace workbook
