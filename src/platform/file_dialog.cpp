#include "platform/file_dialog.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include <algorithm>

namespace platform {

QStringList qtNameFilters(const QString& filter) {
    const QStringList parts = filter.split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString patterns = parts[i + 1].split(u';', Qt::SkipEmptyParts).join(u' ');
        filters << QStringLiteral("%1 (%2)").arg(parts[i], patterns);
    }
    return filters;
}

void QtFileDialog::ShowOpen() {
    const QFileInfo initial(QDir::fromNativeSeparators(m_fileName));
    const QString name = initial.fileName();
    const bool isPattern = name.contains(u'*') || name.contains(u'?');

    QFileDialog dialog(QApplication::activeWindow());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    // The descriptions carry their patterns already ("工作表(*.xls)").
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    if (!m_fileName.isEmpty())
        dialog.setDirectory(initial.absolutePath());

    QStringList filters = qtNameFilters(m_filter);
    QString selected = filters.value(m_filterIndex - 1);
    if (isPattern) {
        // The pattern in the name filters the list: the selected entry when it has just that
        // pattern, else another entry that has, else an entry of its own.
        const QString tail = QStringLiteral("(%1)").arg(name);
        if (!selected.endsWith(tail)) {
            const auto same = std::find_if(filters.cbegin(), filters.cend(),
                                           [&](const QString& f) { return f.endsWith(tail); });
            if (same != filters.cend()) {
                selected = *same;
            } else {
                selected = QStringLiteral("%1 %2").arg(name, tail);
                filters.prepend(selected);
            }
        }
    }
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
        dialog.selectNameFilter(selected.isEmpty() ? filters.first() : selected);
    }
    if (!isPattern && !name.isEmpty())
        dialog.selectFile(name);

    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList chosen = dialog.selectedFiles();
    if (!chosen.isEmpty())
        m_fileName = QDir::toNativeSeparators(QFileInfo(chosen.first()).absoluteFilePath());
}

} // namespace platform
