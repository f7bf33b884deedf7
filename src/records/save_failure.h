#pragma once
// A store of the held rows into the day's workbook that did not happen. The rows stay in
// memory; the event that started the store shows the message to the operator.

#include <QString>

#include <stdexcept>

namespace records {

class SaveFailure : public std::runtime_error {
public:
    SaveFailure(const QString& folder, const QString& reason)
        : std::runtime_error(reason.toStdString()), m_folder(folder), m_reason(reason) {}

    // What the operator reads: that nothing was saved, where, and why.
    QString message() const {
        return QStringLiteral("数据保存失败！数据仍保留在内存中，请排除问题后重新保存。\n"
                              "保存文件夹：%1\n原因：%2")
            .arg(m_folder, m_reason);
    }

private:
    QString m_folder;
    QString m_reason;
};

} // namespace records
