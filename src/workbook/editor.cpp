// The editor's own functions; the edited stream's pieces in stream order.

#include "workbook/editor_internal.h"
#include "workbook/readers.h"

#include <QFileInfo>

#include <system_error>

namespace workbook {

namespace {
// Runs `work`; a refusal or damage found on the way (they name no file) names the editor's.
template <typename Work> auto naming(const QString& path, Work work) {
    try {
        return work();
    } catch (const Error& e) {
        if (!e.file().isEmpty())
            throw;
        throw Error(e.kind(), path, e.reason());
    }
}
} // namespace

std::vector<std::span<const std::uint8_t>> Editor::Impl::pieces(const Layout& layout) const {
    std::vector<std::span<const std::uint8_t>> out;
    std::uint32_t copied = 0;
    for (const EditId k : layout.order) {
        const Edit& e = layout.edits[+k];
        if (e.from > copied)
            out.emplace_back(stream.data() + copied, e.from - copied);
        if (!e.bytes.empty())
            out.emplace_back(e.bytes.data(), e.bytes.size());
        copied = std::max(copied, e.to);
    }
    if (copied < stream.size())
        out.emplace_back(stream.data() + copied, stream.size() - copied);
    return out;
}

const CellEdits& Editor::Impl::sortedEdits(int sheet) const {
    static const CellEdits none;
    const auto found = cellEdits.find(sheet);
    if (found == cellEdits.end())
        return none;
    CellEdits& edits = found->second;
    const auto before = [](const CellEdit& a, const CellEdit& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    };
    // A store's edits come in order, each cell once, but for a few made last (H1): the longest
    // run in strict order is kept where it is, the rest sorted apart (stable, so that the last
    // of a cell's edits stays last) and merged in from the back.
    std::size_t ordered = 1;
    while (ordered < edits.size() && before(edits[ordered - 1], edits[ordered]))
        ++ordered;
    if (ordered >= edits.size())
        return edits;
    std::vector<CellEdit> rest(edits.begin() + static_cast<std::ptrdiff_t>(ordered), edits.end());
    std::stable_sort(rest.begin(), rest.end(), before);
    const auto sameCell = [](const CellEdit& a, const CellEdit& b) {
        return a.row == b.row && a.column == b.column;
    };
    bool twice = std::adjacent_find(rest.begin(), rest.end(), sameCell) != rest.end();
    // From the back: each of the rest after the ordered edits of the same cell or before it,
    // the ordered ones after it moved up in one piece.
    auto end = edits.begin() + static_cast<std::ptrdiff_t>(ordered);
    for (std::size_t j = rest.size(); j > 0; --j) {
        const auto at = std::upper_bound(edits.begin(), end, rest[j - 1], before);
        std::move_backward(at, end, end + static_cast<std::ptrdiff_t>(j));
        *(at + static_cast<std::ptrdiff_t>(j) - 1) = rest[j - 1];
        twice = twice || (at != edits.begin() && sameCell(*(at - 1), rest[j - 1]));
        end = at;
    }
    if (!twice)
        return edits;
    // Of several edits of one cell the last counts.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < edits.size(); ++i) {
        if (kept > 0 && sameCell(edits[kept - 1], edits[i]))
            edits[kept - 1] = std::move(edits[i]);
        else if (kept != i)
            edits[kept++] = std::move(edits[i]);
        else
            ++kept;
    }
    edits.resize(kept);
    return edits;
}

Editor::Editor(const QString& path) : d(std::make_unique<Impl>()) {
    d->path = path;
    const QFileInfo info(path);
    if (!info.exists())
        throw Error(Error::Kind::Missing, path, reasonText(Reason::NoSuchFile));
    if (info.isDir())
        throw Error(Error::Kind::NotWorkbook, path, reasonText(Reason::IsFolder));
    naming(path, [&] { d->read(); });
}

Editor::Editor(const QString& name, std::vector<std::uint8_t> workbookStream)
    : d(std::make_unique<Impl>()) {
    d->path = name;
    d->ownStream = std::move(workbookStream);
    d->stream = d->ownStream;
    naming(name, [&] { d->parse(); });
}

Editor::~Editor() = default;

const QString& Editor::path() const {
    return d->path;
}

int Editor::sheetCount() const {
    return static_cast<int>(d->sheets.size() + d->newSheets.size());
}

const Editor::SheetInfo& Editor::sheetInfo(int sheet) const {
    static thread_local SheetInfo added;
    if (sheet < 0 || sheet >= sheetCount())
        throw Error(Error::Kind::NoSuchSheet, d->path,
                    reasonText(Reason::NoSheetNumber).arg(sheet + 1));
    const auto index = static_cast<std::size_t>(sheet);
    if (index < d->sheets.size())
        return d->sheets[index].info;
    added = {d->newSheets[index - d->sheets.size()], SheetKind::Worksheet, false};
    return added;
}

int Editor::indexOf(QStringView name) const {
    for (int i = 0; i < sheetCount(); ++i)
        if (sheetInfo(i).name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

Value Editor::cell(int sheet, int row, int column) const {
    if (sheetInfo(sheet).kind != SheetKind::Worksheet || row < 1 || row > MaxRows || column < 1 ||
        column > MaxColumns)
        return {};
    d->waitForSeeking();
    if (const auto s = d->cellEdits.find(sheet); s != d->cellEdits.end())
        for (auto e = s->second.rbegin(); e != s->second.rend(); ++e)
            if (e->row == row - 1 && e->column == column - 1) {
                const std::optional<CellValue> v = e->value();
                if (!v)
                    return {};
                if (v->boolean)
                    return Value::boolean(v->value != 0);
                return v->number ? Value::number(v->value) : Value::text(d->texts[v->text]);
            }
    const auto index = static_cast<std::size_t>(sheet);
    if (index >= d->sheets.size())
        return {};
    return d->existingCell(d->substreams[static_cast<std::size_t>(d->sheets[index].substream)],
                           row - 1, column - 1);
}

int Editor::lastRow(int sheet) const {
    if (sheetInfo(sheet).kind != SheetKind::Worksheet)
        return 0;
    int last = -1;
    const auto index = static_cast<std::size_t>(sheet);
    if (index < d->sheets.size())
        last = d->substreams[static_cast<std::size_t>(d->sheets[index].substream)].lastRow;
    for (const CellEdit& e : d->sortedEdits(sheet))
        if (e.hasValue())
            last = std::max(last, e.row);
    return last + 1;
}

void Editor::setCell(int sheet, int row, int column, const QString& text) {
    setValue(sheet, row, column, storedValue(text));
}

void Editor::Impl::checkCell(const Editor& editor, int sheet, int row, int column) {
    // A sheet once found a worksheet stays one: a store sets thousands of cells on one sheet.
    if (sheet != worksheetChecked) {
        if (editor.sheetInfo(sheet).kind != SheetKind::Worksheet)
            throw Error(Error::Kind::InvalidUse, path,
                        aboutSheet(Reason::NotPlainWorksheet, Reason::NotPlainWorksheetNumbered,
                                   editor.sheetInfo(sheet).name, static_cast<std::size_t>(sheet)));
        worksheetChecked = sheet;
    }
    if (row < 1 || row > MaxRows || column < 1 || column > MaxColumns)
        throw Error(Error::Kind::InvalidUse, path,
                    reasonText(Reason::NoSuchCell).arg(row).arg(column));
}

void Editor::setValue(int sheet, int row, int column, const Value& value) {
    d->checkCell(*this, sheet, row, column);
    std::optional<CellValue> v;
    if (value.kind() == Value::Kind::Number || value.kind() == Value::Kind::Boolean)
        v = CellValue{value.numberValue(), 0, true, value.kind() == Value::Kind::Boolean};
    else if (value.kind() == Value::Kind::Text)
        v = CellValue{0, textNumber(value.textValue()), false, false};
    d->editsOf(sheet).push_back({row - 1, column - 1, v});
}

std::uint32_t Editor::Impl::textNumber(const QString& text) {
    waitForSeeking();
    if (text.size() > MaxTextLength)
        throw Error(Error::Kind::FormatLimit, path, reasonText(Reason::TextTooLong));
    return texts.intern(text);
}

std::uint32_t Editor::textNumber(const QString& text) {
    return d->textNumber(text);
}

void Editor::setRow(int sheet, int row, int column, std::span<const RowCell> cells) {
    if (cells.empty())
        return;
    d->checkCell(*this, sheet, row, column);
    d->checkCell(*this, sheet, row, column + static_cast<int>(cells.size()) - 1);
    for (const RowCell& cell : cells)
        if (cell.kind == RowCell::Kind::Text && cell.text >= d->texts.size())
            throw Error(Error::Kind::InvalidUse, d->path,
                        reasonText(Reason::NoSuchTextNumber).arg(cell.text));
    CellEdits& edits = d->editsOf(sheet);
    for (const RowCell& cell : cells) {
        std::optional<CellValue> v;
        if (cell.kind == RowCell::Kind::Number)
            v = CellValue{cell.number, 0, true, false};
        else if (cell.kind == RowCell::Kind::Text)
            v = CellValue{0, cell.text, false, false};
        edits.emplace_back(row - 1, column++ - 1, v);
    }
}

std::vector<std::uint32_t> Editor::textNumbers(const std::vector<QString>& distinct) {
    return textNumbers(std::vector<QString>(distinct));
}

std::vector<std::uint32_t> Editor::textNumbers(std::vector<QString>&& distinct) {
    d->waitForSeeking();
    std::vector<std::uint32_t> numbers;
    numbers.reserve(distinct.size());
    // Many texts here already (a sheet's strings): each text is sought among them.
    constexpr std::size_t FewTexts = 64;
    const std::size_t here = d->texts.size();
    if (here > FewTexts) {
        for (const QString& text : distinct)
            numbers.push_back(d->textNumber(text));
        return numbers;
    }
    for (const QString& text : distinct)
        if (text.size() > MaxTextLength)
            throw Error(Error::Kind::FormatLimit, d->path, reasonText(Reason::TextTooLong));
    d->texts.reserve(distinct.size());
    // None or a few (a new sheet's captions): each text is compared with those only, and
    // appended unless it is one of them, without hashing.
    for (QString& text : distinct) {
        std::size_t known = 0;
        while (known < here && d->texts[known] != text)
            ++known;
        numbers.push_back(known < here ? static_cast<std::uint32_t>(known)
                                       : d->texts.append(std::move(text)));
    }
    d->seekStrings(numbers);
    return numbers;
}

void Editor::Impl::seekStrings(const std::vector<std::uint32_t>& numbers) {
    // Fewer are sought at once when laid out: a thread would cost more than it saves.
    constexpr std::size_t Many = 1024;
    if (numbers.size() < Many || strings.size() == 0)
        return;
    strings.prepareFinding();
    sought.resize(texts.size(), NotSought);
    auto seek = [this, numbers] {
        for (const std::uint32_t text : numbers)
            sought[text] = strings.find(texts[text]).value_or(NotFound);
    };
    try {
        seeking = std::async(std::launch::async, seek);
    } catch (const std::system_error&) {
        seek(); // no thread to be had
    }
}

std::optional<std::uint32_t> Editor::Impl::stringOf(std::uint32_t text) const {
    waitForSeeking();
    if (text < sought.size() && sought[text] != NotSought)
        return sought[text] == NotFound ? std::nullopt : std::optional(sought[text]);
    return strings.size() > 0 ? strings.find(texts[text]) : std::nullopt;
}

void Editor::reserveCells(int sheet, std::size_t cells) {
    d->waitForSeeking();
    CellEdits& edits = d->editsOf(sheet);
    edits.reserve(edits.size() + cells);
}

int Editor::addWorksheet(const QString& name) {
    const QString problem = sheetNameProblem(name);
    if (!problem.isEmpty())
        throw Error(Error::Kind::InvalidUse, d->path, problem);
    if (indexOf(name) >= 0)
        throw Error(Error::Kind::InvalidUse, d->path, reasonText(Reason::SheetNameTaken).arg(name));
    if (sheetCount() >= MaxSheets)
        throw Error(Error::Kind::FormatLimit, d->path, reasonText(Reason::SheetLimitReached));
    d->newSheets.push_back(name);
    return sheetCount() - 1;
}

std::vector<std::uint8_t> Editor::editedStream() const {
    const Layout layout = naming(d->path, [&] { return d->build(); });
    std::vector<std::uint8_t> out;
    out.reserve(layout.size);
    for (const std::span<const std::uint8_t> piece : d->pieces(layout))
        out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

void Editor::saveStreamAs(const QString& path) const {
    const Layout layout = naming(d->path, [&] { return d->build(); });
    detail::CompoundImage::create().save(path, d->pieces(layout));
}

void Editor::save() {
    if (!d->image)
        throw Error(Error::Kind::InvalidUse, d->path, reasonText(Reason::NeverSaved));
    // The edited stream goes to the file piece by piece, never whole in memory; the rows
    // kept as they were while the new ones are laid out.
    Layout layout;
    d->image->save(d->path, [&](const detail::CompoundImage::WriteAhead& ahead) {
        layout = naming(d->path, [&] { return d->build(ahead, d->image->keptSectorSize()); });
        return d->pieces(layout);
    });
}

Editor::Opening Editor::open(const QString& path) {
    try {
        return {std::make_unique<Editor>(path), {}};
    } catch (const Error& e) {
        if (e.kind() != Error::Kind::Unkeepable)
            throw;
        return {nullptr, e.reason()};
    }
}

Editor::Opening Editor::open(const QString& name, std::vector<std::uint8_t> workbookStream) {
    try {
        return {std::make_unique<Editor>(name, std::move(workbookStream)), {}};
    } catch (const Error& e) {
        if (e.kind() != Error::Kind::Unkeepable)
            throw;
        return {nullptr, e.reason()};
    }
}

std::optional<QString> Editor::trySave() {
    try {
        save();
    } catch (const Error& e) {
        if (e.kind() != Error::Kind::Unkeepable)
            throw;
        return e.reason();
    }
    return std::nullopt;
}

} // namespace workbook