// The store's edits applied to a workbook file by the record-level editor, for the office
// proof: ROWS rows below the last row of sheet1 in the store's layout, and H1.
//   store_into FILE ROWS

#include "workbook/editor.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: store_into FILE ROWS\n");
        return 2;
    }
    try {
        workbook::Editor editor(QString::fromLocal8Bit(argv[1]));
        const int sheet = editor.indexOf(u"sheet1");
        if (sheet < 0) {
            std::fprintf(stderr, "no sheet1\n");
            return 1;
        }
        int last = editor.lastRow(sheet);
        for (int k = 0; k < std::atoi(argv[2]); ++k) {
            ++last;
            editor.setCell(sheet, last, 1, workbook::numberText(last - 1));
            editor.setCell(sheet, last, 2, QStringLiteral("2026-12-8"));
            editor.setCell(sheet, last, 3, QStringLiteral("9:%1:%2").arg(k / 60 % 60).arg(k % 60));
            editor.setCell(sheet, last, 4, QString::fromUtf8("京A%1").arg(k));
            editor.setCell(sheet, last, 5, workbook::numberText(30000 + k * 0.5));
            editor.setCell(sheet, last, 6, workbook::numberText(8000));
            editor.setCell(sheet, last, 7, workbook::numberText(22000 + k * 0.5));
        }
        editor.setCell(sheet, 1, 8, workbook::numberText(last));
        editor.save();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
