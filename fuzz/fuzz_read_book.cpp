// Feeds arbitrary bytes to the workbook reader and the record-level editor: once as a
// Workbook stream to our BIFF8 reader (cells as the store and as the viewer reads them, and
// the look) and to the editor directly, once as a whole file through readBook() (our compound
// file, our reader, FreeXL), readForViewing() and the editor. The editor makes the
// store's edits (H1, a cell of row 1, rows below the last, a new sheet). Anything but a
// result, a workbook::Error or a refusal (a crash, a hang, a leak) is a finding, and so is
// an edited stream our reader cannot read when it could read the stream before the edits.
//
//   ASAN_OPTIONS=fast_unwind_on_malloc=0 LSAN_OPTIONS=suppressions=tests/support/lsan.supp \
//       fuzz_read_book -max_len=20000 -timeout=10 -rss_limit_mb=1024 corpus/ seeds/

#include "workbook/biff_reader.h"
#include "workbook/editor.h"
#include "workbook/file_io.h"
#include "workbook/readers.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <unistd.h>

namespace {

// The store's edits, then the edited stream read back.
void edit(workbook::Editor& editor, bool readable) {
    for (int i = 0; i < editor.sheetCount() && i < 4; ++i) {
        if (editor.sheetInfo(i).kind != workbook::Editor::SheetKind::Worksheet)
            continue;
        (void)editor.cell(i, 1, 1);
        (void)editor.cell(i, 1, 8);
        const int last = std::min(editor.lastRow(i), workbook::MaxRows - 3);
        editor.setCell(i, 1, 8, QStringLiteral(" 12"));
        editor.setCell(i, 1, 3, QString());
        for (int r = last + 1; r <= last + 3; ++r) {
            editor.setCell(i, r, 1, workbook::numberText(r));
            editor.setCell(i, r, 2, QStringLiteral("2026-12-7"));
            editor.setCell(i, r, 4, QString(r * 40, QChar(0x4E00 + r % 50)));
            editor.setCell(i, r, 5, QStringLiteral(" 1.5"));
        }
    }
    if (editor.indexOf(u"sheet9") < 0)
        editor.addWorksheet(QStringLiteral("sheet9"));
    editor.setCell(editor.indexOf(u"sheet9"), 1, 1, QStringLiteral("序号"));
    const std::vector<std::uint8_t> edited = editor.editedStream();
    if (readable &&
        workbook::biff::readStream(edited).verdict != workbook::biff::StreamResult::Verdict::Read)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool readable = workbook::biff::readStream({data, size}).verdict ==
                          workbook::biff::StreamResult::Verdict::Read;
    // The viewer's reading accepts exactly what the store's does.
    if ((workbook::biff::readStream({data, size}, workbook::biff::CellReading::Viewer).verdict ==
         workbook::biff::StreamResult::Verdict::Read) != readable)
        __builtin_trap();
    (void)workbook::biff::readLook({data, size});
    try {
        workbook::Editor editor(QStringLiteral("fuzz"),
                                std::vector<std::uint8_t>(data, data + size));
        edit(editor, readable);
    } catch (const workbook::Error&) {
    }

    static const QString path =
        QStringLiteral("/tmp/fuzz_read_book.%1.xls").arg(QString::number(::getpid()));
    FILE* f = std::fopen(path.toLocal8Bit().constData(), "wb");
    if (f == nullptr)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    try {
        const workbook::Book book = workbook::readBook(path);
        (void)book.sheetCount();
    } catch (const workbook::Error&) {
    }
    try {
        const workbook::ViewedBook viewed = workbook::readForViewing(path);
        (void)viewed.look.sheets.size();
    } catch (const workbook::Error&) {
    }
    // The store's save over the file, as it comes (over the copy of it begun at opening, only
    // the changed sectors written): what the editor saved reads back as it was laid out.
    try {
        workbook::Editor editor(path);
        edit(editor, false);
        const std::vector<std::uint8_t> edited = editor.editedStream();
        const bool editedReadable = workbook::biff::readStream(edited).verdict ==
                                    workbook::biff::StreamResult::Verdict::Read;
        editor.save();
        const workbook::detail::CompoundFile saved = workbook::detail::openCompoundFile(path);
        if (saved.state != workbook::detail::CompoundFile::State::Workbook)
            __builtin_trap();
        if (editedReadable && workbook::biff::readStream(saved.stream).verdict !=
                                  workbook::biff::StreamResult::Verdict::Read)
            __builtin_trap();
    } catch (const workbook::Error&) {
    }
    return 0;
}
