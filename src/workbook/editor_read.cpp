// Reading a workbook stream for the editor: the globals' records (the sheets, the cell
// formats, the shared-string table), then each sheet (editor_cell_table.cpp).

#include "workbook/editor_internal.h"
#include "workbook/readers.h"

#include <QFileInfo>

#include <future>
#include <system_error>

namespace workbook {

void Editor::Impl::read() {
    // The workbook stream comes in behind its records' reading.
    image.emplace(detail::CompoundImage::read(path, detail::CompoundImage::Reading::ForSaving));
    detail::throwUnlessWorkbook(image->state(), path);
    if (image->state() == detail::CompoundFile::State::OldWorkbook)
        refuse(Reason::OlderVersion);
    stream = image->workbook();
    streamReady = image->waitFor(0);
    parse();
}

void Editor::Impl::awaitStream(std::size_t end) {
    if (streamReady == SIZE_MAX)
        return;
    streamReady = image->waitFor(std::min(end, stream.size()));
    if (streamReady >= stream.size())
        streamReady = SIZE_MAX;
}

void Editor::Impl::parse() {
    if (stream.size() >= 0xFFFFFFF0u)
        refuse(Reason::StreamTooLarge);

    try {
        readGlobals();
        readSheets();
        awaitStream(stream.size()); // what follows the last sheet too, before any edit
    } catch (...) {
        // A fault of the shared strings is told first, as it comes first in the stream.
        if (stringsRead.valid())
            stringsRead.get();
        throw;
    }
    if (stringsRead.valid())
        stringsRead.get();
}

void Editor::Impl::readSheets() {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> spans{{0, globalsEnd}};
    for (SheetEntry& sheet : sheets) {
        const Rec& b = globals[sheet.boundSheet];
        const std::uint8_t type = stream[b.pos + 4 + 5];
        if (type == 6) { // a Visual Basic module: its code lives in another stream
            sheet.info.kind = SheetKind::Module;
            continue;
        }
        std::size_t until = stream.size();
        for (const SheetEntry& other : sheets)
            if (other.position > sheet.position && other.position < until)
                until = other.position;
        Substream s = readSubstream(
            sheet.position, until - std::min<std::size_t>(until, sheet.position), type == 0);
        switch (s.bofType) {
        case 0x0010:
            sheet.info.kind = type == 0 ? SheetKind::Worksheet : SheetKind::Other;
            break;
        case 0x0020:
            sheet.info.kind = SheetKind::Chart;
            break;
        case 0x0040:
            sheet.info.kind = SheetKind::MacroSheet;
            break;
        default:
            sheet.info.kind = SheetKind::Other;
            break;
        }
        spans.emplace_back(s.start, s.end);
        sheet.substream = static_cast<int>(substreams.size());
        substreams.push_back(std::move(s));
    }
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second)
            refuse(Reason::SheetsOverlap);
}

namespace {

// The BOF the stream starts with: BIFF8 globals.
void checkGlobalsBof(const Rec& r, const std::uint8_t* data) {
    if (r.type != rtBof || r.size < 4)
        refuse(Reason::NoStartRecord);
    if (le16(data) != 0x0600)
        refuse(Reason::OlderVersion);
    if (le16(data + 2) != 0x0005)
        refuse(Reason::NoGlobals);
}

} // namespace

void Editor::Impl::readGlobals() {
    std::uint32_t pos = 0;
    for (;;) {
        needRecordAt(pos);
        const Rec r = recordOrRefuse(stream, pos, Reason::GlobalsUnended);
        if (globals.empty())
            checkGlobalsBof(r, &stream[pos + 4]);
        const std::size_t index = globals.size();
        globals.push_back(r);
        pos = r.end();
        if (r.type == rtEof) {
            globalsEnd = pos;
            if (sheets.empty())
                refuse(Reason::NoSheetListed);
            return;
        }
        globalRecord(index, r);
        if (r.type == rtSst)
            pos = readSstRecords(index, pos);
    }
}

// What the editor keeps of a record of the globals.
void Editor::Impl::globalRecord(std::size_t index, const Rec& r) {
    switch (r.type) {
    case rtFilePass:
        throw Error(Error::Kind::Encrypted, path, reasonText(Reason::PasswordProtected));
    case rtBof:
        if (index != 0)
            refuse(Reason::GlobalsUnended);
        break;
    case rtXf:
        ++xfCount;
        break;
    case rtTabId:
        tabId = index;
        break;
    case rtBoundSheet:
        boundSheet(index, r);
        break;
    case rtSst:
        if (sst)
            refuse(Reason::TwoSharedStringTables);
        sst = index;
        break;
    case rtExtSst:
        extSst = index;
        break;
    default:
        break;
    }
}

void Editor::Impl::boundSheet(std::size_t index, const Rec& r) {
    const std::uint8_t* data = &stream[r.pos + 4];
    if (r.size < 8)
        refuse(Reason::SheetEntryShort);
    std::optional<QString> name = shortStringAt(data, r.size, 6);
    if (!name)
        refuse(Reason::SheetNamePastRecord);
    SheetEntry entry;
    entry.info = {std::move(*name), SheetKind::Other, (data[4] & 3) != 0};
    entry.boundSheet = index;
    entry.position = le32(data);
    sheets.push_back(entry);
    lastBoundSheet = index;
    if (sheets.size() > static_cast<std::size_t>(MaxSheets))
        refuse(Reason::TooManySheetsListed);
}

// The CONTINUE records of the SST at `index` (they follow from `pos`), read as part of the
// table; returns the position after them.
std::uint32_t Editor::Impl::readSstRecords(std::size_t index, std::uint32_t pos) {
    while ((needRecordAt(pos), typeAt(stream, pos)) == rtContinue) {
        const Rec c = recordOrRefuse(stream, pos, Reason::GlobalsUnended);
        globals.push_back(c);
        pos = c.end();
    }
    sstRecEnd = globals.size();
    readSst(index);
    return pos;
}

// The shared strings ([MS-XLS] 2.4.265): where each string starts, read from the SST record
// and its CONTINUE records. A table whose count does not match its strings is refused.
void Editor::Impl::readSst(std::size_t first) {
    std::vector<SharedStrings::Part> parts;
    for (std::size_t k = first; k < sstRecEnd; ++k)
        parts.push_back({globals[k].pos, globals[k].size});
    // A table whose strings do not match this count is refused once it is read.
    stringCount = globals[first].size >= 8 ? le32(&stream[globals[first].pos + 8]) : 0;
    // A small table (a new workbook's, a short day's) is read at once.
    constexpr std::size_t FewRecords = 8;
    if (parts.size() < FewRecords) {
        readStrings(std::move(parts));
        return;
    }
    try {
        stringsRead = std::async(std::launch::async,
                                 [this, parts]() mutable { readStrings(std::move(parts)); });
    } catch (const std::system_error&) {
        readStrings(std::move(parts)); // no thread to be had
    }
}

// The table's strings, and what seeking them needs: a store seeks every text it adds.
void Editor::Impl::readStrings(std::vector<SharedStrings::Part> parts) {
    switch (strings.read(stream, std::move(parts), SharedStrings::Count::Exact,
                         SharedStrings::Finding::Now)) {
    case SharedStrings::Problem::None:
        break;
    case SharedStrings::Problem::CountMismatch:
        refuse(Reason::SharedStringCountWrong);
    case SharedStrings::Problem::CharacterSplit:
        refuse(Reason::CharacterSplit);
    }
    sstTotal = strings.references();
    strings.prepareFinding();
}

} // namespace workbook
