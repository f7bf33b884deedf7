#pragma once
// Helpers of the workbook tests: a book as xlrd reads it, and the first difference between
// two books.

#include "workbook/book.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

namespace wbtest {

inline QString sourceDir() {
    return QStringLiteral(WB_TEST_SOURCE_DIR);
}

// Runs a script of this folder with /usr/bin/python3 (xlrd and xlwt come from Debian there,
// whatever python3 is first on PATH). Empty `error` on success.
inline QByteArray runPython(const QString& script, const QStringList& args, QString* error) {
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), QStringList{sourceDir() + u'/' + script} + args);
    if (!p.waitForFinished(300000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        *error = QStringLiteral("%1 failed: %2")
                     .arg(script, QString::fromUtf8(p.readAllStandardError()));
    return p.readAllStandardOutput();
}

// The workbook at `path` as xlrd reads it (empty when it cannot).
inline workbook::Book xlrdBook(const QString& path, QString* error) {
    using workbook::Value;
    const QByteArray json = runPython(QStringLiteral("xls_dump.py"), {path}, error);
    workbook::Book book;
    for (const QJsonValue& s : QJsonDocument::fromJson(json)[QLatin1String("sheets")].toArray()) {
        workbook::Sheet& sheet = book.appendSheet(s[QLatin1String("name")].toString());
        for (const QJsonValue& cell : s[QLatin1String("cells")].toArray()) {
            const QJsonValue v = cell[2];
            sheet.setValue(cell[0].toInt(), cell[1].toInt(),
                           v.isString() ? Value::text(v.toString())
                           : v.isBool() ? Value::boolean(v.toBool())
                                        : Value::number(v.toDouble()));
        }
    }
    return book;
}

// A readable account of where `actual` first differs from `expected`; empty when the sheets,
// their names and every cell (kind and value) agree.
inline QString firstDifference(const workbook::Book& expected, const workbook::Book& actual) {
    if (expected.sheetCount() != actual.sheetCount())
        return QStringLiteral("%1 sheets instead of %2")
            .arg(actual.sheetCount())
            .arg(expected.sheetCount());
    const auto describe = [](const workbook::Value& v) {
        static const char* const kinds[] = {"empty", "text", "number", "boolean"};
        return QStringLiteral("%1 \"%2\"").arg(QLatin1String(kinds[int(v.kind())]), v.toString());
    };
    for (int i = 0; i < expected.sheetCount(); ++i) {
        const workbook::Sheet& e = expected.sheet(i);
        const workbook::Sheet& a = actual.sheet(i);
        if (e.name() != a.name())
            return QStringLiteral("sheet %1 is named \"%2\" instead of \"%3\"")
                .arg(i + 1)
                .arg(a.name(), e.name());
        const int rows = std::max(e.rowCount(), a.rowCount());
        const int columns = std::max(e.columnCount(), a.columnCount());
        for (int r = 1; r <= rows; ++r)
            for (int c = 1; c <= columns; ++c)
                if (!(e.cell(r, c) == a.cell(r, c)))
                    return QStringLiteral("sheet \"%1\" row %2 column %3: %4 instead of %5")
                        .arg(e.name())
                        .arg(r)
                        .arg(c)
                        .arg(describe(a.cell(r, c)), describe(e.cell(r, c)));
    }
    return {};
}

} // namespace wbtest
