#pragma once
// A file-open dialog answered by the test: every setting is recorded, and each showing takes
// the next answer of a script, a chosen path or a cancel.

#include "platform/file_dialog.h"

#include <QStringList>
#include <functional>

namespace doubles {

class ScriptedDialog final : public platform::FileDialog {
public:
    QStringList calls;                // every operation in order, e.g. "FilterIndex=1", "ShowOpen"
    QStringList chosen;               // answered in order; a null string (or none left) cancels
    std::function<void()> whileShown; // runs while the dialog is "open"

    void setFilter(const QString& filter) override { calls << "Filter=" + filter; }
    void setFilterIndex(int index) override { calls << "FilterIndex=" + QString::number(index); }
    void setFileName(const QString& fileName) override {
        calls << "FileName=" + fileName;
        m_fileName = fileName;
    }
    QString fileName() const override { return m_fileName; }
    void ShowOpen() override {
        calls << QStringLiteral("ShowOpen");
        if (whileShown)
            whileShown();
        const QString answer = chosen.isEmpty() ? QString() : chosen.takeFirst();
        if (!answer.isNull())
            m_fileName = answer;
    }

private:
    QString m_fileName;
};

} // namespace doubles
