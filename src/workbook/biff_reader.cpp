#include "workbook/biff_reader.h"
#include "workbook/biff_records.h"
#include "workbook/biff_segments.h"
#include "workbook/biff_writer.h"
#include "workbook/reasons.h"

#include <QDate>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace workbook::biff {

namespace {

// The reader stops at the first damage it finds; readStream() turns the error into its
// verdict.
[[noreturn]] void damaged(Reason reason) {
    throw Error(Error::Kind::Damaged, {}, reasonText(reason));
}

std::uint16_t le16(const std::uint8_t* p) {
    return qFromLittleEndian<std::uint16_t>(p);
}
std::uint32_t le32(const std::uint8_t* p) {
    return qFromLittleEndian<std::uint32_t>(p);
}

struct Record {
    std::uint16_t type;
    const std::uint8_t* data;
    std::size_t size;
};

class RecordReader {
public:
    explicit RecordReader(std::span<const std::uint8_t> stream) : m_stream(stream) {}

    void seek(std::size_t position) {
        if (position >= m_stream.size())
            damaged(Reason::SheetOutsideStream);
        m_pos = position;
    }
    bool atEnd() const { return m_pos + 4 > m_stream.size(); }
    std::uint16_t peekType() const { return atEnd() ? 0 : le16(m_stream.data() + m_pos); }
    Record next() {
        if (atEnd())
            damaged(Reason::StreamEndsEarly);
        const std::uint8_t* p = m_stream.data() + m_pos;
        const std::size_t size = le16(p + 2);
        if (size > 8224 || m_pos + 4 + size > m_stream.size())
            damaged(Reason::RecordPastEnd);
        m_pos += 4 + size;
        return {le16(p), p + 4, size};
    }

private:
    std::span<const std::uint8_t> m_stream;
    std::size_t m_pos = 0;
};

[[noreturn]] void segmentsFail(bool characterSplit) {
    damaged(characterSplit ? Reason::CharacterSplit : Reason::TextPastRecords);
}

// The data of `first` and of the CONTINUE records after it.
Segments withContinues(const Record& first, RecordReader& records) {
    Segments data(segmentsFail);
    data.add(first.data, first.size);
    while (records.peekType() == rtContinue) {
        const Record r = records.next();
        data.add(r.data, r.size);
    }
    return data;
}

// The shared strings ([MS-XLS] 2.4.265 SST, 2.5.293 XLUnicodeRichExtendedString).
std::vector<QString> readSst(const Record& sst, RecordReader& records) {
    Segments data = withContinues(sst, records);
    data.u32(); // references
    const std::uint32_t unique = data.u32();
    std::vector<QString> strings;
    strings.reserve(std::min<std::size_t>(unique, 1u << 16));
    for (std::uint32_t i = 0; i < unique; ++i) {
        const std::uint16_t count = data.u16();
        const std::uint8_t flags = data.u8();
        const std::uint16_t runs = (flags & 0x08) != 0 ? data.u16() : 0;
        const std::uint32_t ext = (flags & 0x04) != 0 ? data.u32() : 0;
        strings.push_back(count == 0 ? QString() : data.chars(count, (flags & 1) != 0));
        data.skip(4u * runs);
        data.skip(ext);
    }
    return strings;
}

// How a cell format shows a number: as a number, or as a date, a time or both. Dates and
// times come back as the texts FreeXL gives them ("2026-12-07", "08:04:07",
// "2026-12-07 08:04:07"), so that both readers agree.
enum class Shown : std::uint8_t { Number, Date, Time, DateTime };

// The built-in formats of [MS-XLS] 2.4.126 (FORMAT) that show dates or times.
Shown builtInFormat(std::uint16_t format) {
    if ((format >= 14 && format <= 17) || (format >= 27 && format <= 31) ||
        (format >= 34 && format <= 36) || (format >= 50 && format <= 58))
        return Shown::Date;
    if ((format >= 18 && format <= 21) || (format >= 32 && format <= 33) ||
        (format >= 45 && format <= 47))
        return Shown::Time;
    if (format == 22)
        return Shown::DateTime;
    return Shown::Number;
}

// What a format string shows, from the date and time letters left once quoted texts,
// escaped characters, colours and "General" are taken out; "m" is minutes beside "h" or "s".
Shown formatCode(const QString& code) {
    QString rest;
    bool elapsed = false;
    for (qsizetype i = 0; i < code.size(); ++i) {
        const QChar c = code[i];
        if (c == u'"') {
            const qsizetype end = code.indexOf(u'"', i + 1);
            i = end < 0 ? code.size() : end;
        } else if (c == u'\\' || c == u'_' || c == u'*') {
            ++i;
        } else if (c == u'[') {
            const qsizetype end = code.indexOf(u']', i + 1);
            const QString inside = code.mid(i + 1, end < 0 ? -1 : end - i - 1).toLower();
            if (!inside.isEmpty() && inside.count(inside[0]) == inside.size() &&
                QStringView(u"hms").contains(inside[0]))
                elapsed = true;
            i = end < 0 ? code.size() : end;
        } else {
            rest += c.toLower();
        }
    }
    rest.remove(QStringLiteral("general"));
    const bool time = elapsed || rest.contains(u'h') || rest.contains(u's');
    const bool date = rest.contains(u'y') || rest.contains(u'd') || (!time && rest.contains(u'm'));
    if (date && time)
        return Shown::DateTime;
    if (date)
        return Shown::Date;
    return time ? Shown::Time : Shown::Number;
}

// A serial date as text: days since 1899-12-31 with the 1900 system's day 60 (the
// 29 February 1900 that never was), or since 1904-01-01; the fraction is the time of day.
std::optional<QString> dateText(double serial, Shown shown, bool date1904) {
    if (!(serial >= 0 && serial < 2958466))
        return std::nullopt;
    auto days = static_cast<qint64>(std::floor(serial));
    auto seconds = static_cast<int>(std::llround((serial - static_cast<double>(days)) * 86400));
    if (seconds >= 86400) {
        ++days;
        seconds -= 86400;
    }
    QDate date;
    if (date1904)
        date = QDate(1904, 1, 1).addDays(days);
    else
        date = days >= 61 ? QDate(1899, 12, 30).addDays(days) : QDate(1899, 12, 31).addDays(days);
    const QString time = QStringLiteral("%1:%2:%3")
                             .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
                             .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                             .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    const QString day = date.toString(QStringLiteral("yyyy-MM-dd"));
    switch (shown) {
    case Shown::Date:
        return day;
    case Shown::Time:
        return time;
    case Shown::DateTime:
        return day + u' ' + time;
    case Shown::Number:
        break;
    }
    return std::nullopt;
}

// A string of one record: 16-bit count, flags, characters ([MS-XLS] 2.5.294).
QString recordString(const Record& r, std::size_t at) {
    std::optional<QString> text = stringAt(r.data, r.size, at);
    if (!text)
        damaged(Reason::TextPastRecord);
    return std::move(*text);
}

// A number as a cell of a format that shows it `shown` gives it: a date or time text where
// the format shows one and the number is a date, else the number.
Value shownNumber(double value, Shown shown, bool date1904) {
    if (shown != Shown::Number)
        if (const auto text = dateText(value, shown, date1904))
            return Value::text(*text);
    return Value::number(value);
}

struct Globals {
    std::vector<std::pair<std::uint16_t, Shown>> customFormats;
    std::vector<Shown> xfShown;
    std::vector<std::pair<std::uint32_t, QString>> sheets; // stream position, name
    std::vector<QString> sst;
    bool date1904 = false;
    CellReading reading = CellReading::Store;
};

// The text a spreadsheet shows for an error value ([MS-XLS] 2.5.10 BErr).
QString errorText(std::uint8_t code) {
    switch (code) {
    case 0x00:
        return QStringLiteral("#NULL!");
    case 0x07:
        return QStringLiteral("#DIV/0!");
    case 0x0F:
        return QStringLiteral("#VALUE!");
    case 0x17:
        return QStringLiteral("#REF!");
    case 0x1D:
        return QStringLiteral("#NAME?");
    case 0x24:
        return QStringLiteral("#NUM!");
    default:
        return QStringLiteral("#N/A");
    }
}

// How the globals' date system, number formats and cell formats show numbers.
void noteFormat(Globals& g, const Record& r) {
    switch (r.type) {
    case rtDate1904:
        g.date1904 = r.size >= 2 && le16(r.data) != 0;
        break;
    case rtFormat: {
        if (r.size < 2)
            damaged(Reason::NumberFormatShort);
        g.customFormats.emplace_back(le16(r.data), formatCode(recordString(r, 2)));
        break;
    }
    case rtXf: {
        if (r.size < 4)
            damaged(Reason::CellFormatShort);
        const std::uint16_t format = le16(r.data + 2);
        Shown shown = builtInFormat(format);
        for (const auto& [number, customShown] : g.customFormats)
            if (number == format)
                shown = customShown;
        g.xfShown.push_back(shown);
        break;
    }
    default:
        break;
    }
}

Globals readGlobals(RecordReader& records) {
    Record bof = records.next();
    if (bof.type != rtBof || bof.size < 4)
        damaged(Reason::NoStartRecord);
    if (le16(bof.data) != 0x0600) // left to FreeXL; readStream() looks before
        damaged(Reason::OlderVersion);
    if (le16(bof.data + 2) != 5)
        damaged(Reason::NoGlobals);
    Globals g;
    for (;;) {
        const Record r = records.next();
        switch (r.type) {
        case rtEof:
            return g;
        case rtFilePass:
            throw Error(Error::Kind::Encrypted, {}, reasonText(Reason::PasswordProtected));
        case rtBof:
            damaged(Reason::GlobalsUnended);
        case rtDate1904:
        case rtFormat:
        case rtXf:
            noteFormat(g, r);
            break;
        case rtBoundSheet: {
            if (r.size < 8)
                damaged(Reason::SheetEntryShort);
            if (r.data[5] != 0) // a chart, macro or dialog sheet: no cells to read
                break;
            std::optional<QString> name = shortStringAt(r.data, r.size, 6);
            if (!name)
                damaged(Reason::SheetNamePastRecord);
            g.sheets.emplace_back(le32(r.data), std::move(*name));
            break;
        }
        case rtSst:
            g.sst = readSst(r, records);
            break;
        default:
            break;
        }
    }
}

class SheetReader {
public:
    SheetReader(const Globals& g, Sheet& sheet, std::vector<std::uint32_t>& pooled)
        : m_g(g), m_sheet(sheet), m_pooled(pooled) {}
    ~SheetReader() {
        for (const std::uint32_t i : m_touched)
            m_pooled[i] = UINT32_MAX;
    }
    SheetReader(const SheetReader&) = delete;
    SheetReader& operator=(const SheetReader&) = delete;

    void read(RecordReader& records);

private:
    struct Cell {
        int row;
        int column;
        Shown shown;
    };
    Cell cellAt(const Record& r, std::size_t need) const {
        if (r.size < need)
            damaged(Reason::CellRecordShort);
        return at(le16(r.data), le16(r.data + 2), le16(r.data + 4));
    }
    Cell at(int row, int column, std::uint16_t xf) const {
        if (column >= MaxColumns)
            damaged(Reason::CellBeyondLastColumn);
        if (xf >= m_g.xfShown.size())
            damaged(Reason::CellFormatMissing);
        return {row + 1, column + 1, m_g.xfShown[xf]};
    }
    void number(const Cell& cell, double value) {
        if (!std::isfinite(value))
            damaged(Reason::CellNotFinite);
        if (m_g.reading == CellReading::Viewer)
            m_sheet.setNumber(cell.row, cell.column, value);
        else
            m_sheet.setValue(cell.row, cell.column, shownNumber(value, cell.shown, m_g.date1904));
    }
    // An error value: left empty for the store, its text for the viewer.
    void error(const Cell& cell, std::uint8_t code) {
        if (m_g.reading == CellReading::Viewer)
            m_sheet.setText(cell.row, cell.column, errorText(code));
    }
    void sharedText(const Record& r);
    void numberList(const Record& r);
    void formula(const Record& r);
    void formulaText(const Record& r, RecordReader& records);

    const Globals& m_g;
    Sheet& m_sheet;
    std::vector<std::uint32_t>& m_pooled; // shared-string index to the sheet's own string
    std::vector<std::uint32_t> m_touched;
    Cell m_pending{0, 0, Shown::Number}; // a formula whose text result follows in STRING
    bool m_hasPending = false;
};

void SheetReader::read(RecordReader& records) {
    const Record bof = records.next();
    if (bof.type != rtBof || bof.size < 4 || le16(bof.data) != 0x0600)
        damaged(Reason::SheetNoStartRecord);
    if (le16(bof.data + 2) != 0x10)
        damaged(Reason::SheetOfOtherKind);
    for (;;) {
        const Record r = records.next();
        if (r.type != rtString && r.type != rtSharedFormula && r.type != rtArray &&
            r.type != rtTable)
            m_hasPending = false;
        switch (r.type) {
        case rtEof:
            return;
        case rtBof: // an embedded chart: skipped up to its own EOF
            for (int depth = 1; depth > 0;) {
                const std::uint16_t type = records.next().type;
                depth += type == rtBof ? 1 : type == rtEof ? -1 : 0;
            }
            break;
        case rtRString:
        case rtLabel: {
            const Cell cell = cellAt(r, 9);
            m_sheet.setText(cell.row, cell.column, recordString(r, 6));
            break;
        }
        case rtLabelSst:
            sharedText(r);
            break;
        case rtNumber:
            number(cellAt(r, 14), f64(r.data + 6));
            break;
        case rtRk:
            number(cellAt(r, 10), rkValue(le32(r.data + 6)));
            break;
        case rtMulRk:
            numberList(r);
            break;
        case rtBoolErr: {
            const Cell cell = cellAt(r, 8);
            if (r.data[7] == 0) // a boolean, else an error value
                m_sheet.setBoolean(cell.row, cell.column, r.data[6] != 0);
            else
                error(cell, r.data[6]);
            break;
        }
        case rtFormula:
            formula(r);
            break;
        case rtString:
            formulaText(r, records);
            break;
        default:
            break;
        }
    }
}

void SheetReader::sharedText(const Record& r) {
    const Cell cell = cellAt(r, 10);
    const std::uint32_t index = le32(r.data + 6);
    if (index >= m_g.sst.size())
        damaged(Reason::SharedTextMissing);
    if (m_pooled[index] == UINT32_MAX) {
        m_pooled[index] = m_sheet.addString(m_g.sst[index]);
        m_touched.push_back(index);
    }
    m_sheet.setStringCell(cell.row, cell.column, m_pooled[index]);
}

void SheetReader::numberList(const Record& r) {
    if (r.size < 6 || (r.size - 6) % 6 != 0)
        damaged(Reason::NumberListLength);
    const int first = le16(r.data + 2);
    const std::size_t count = (r.size - 6) / 6;
    if (le16(r.data + r.size - 2) != first + static_cast<int>(count) - 1)
        damaged(Reason::NumberListLength);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* p = r.data + 4 + 6 * i;
        number(at(le16(r.data), first + static_cast<int>(i), le16(p)), rkValue(le32(p + 2)));
    }
}

// The cached result ([MS-XLS] 2.5.133 FormulaValue): a number, or after 0xFFFF in its last
// two bytes a text (in the STRING record that follows), a boolean, an error or an empty
// text.
void SheetReader::formula(const Record& r) {
    const Cell cell = cellAt(r, 20);
    if (le16(r.data + 12) != 0xFFFF) {
        number(cell, f64(r.data + 6));
    } else if (r.data[6] == 0) {
        m_pending = cell;
        m_hasPending = true;
    } else if (r.data[6] == 1) {
        m_sheet.setBoolean(cell.row, cell.column, r.data[8] != 0);
    } else if (r.data[6] == 2) {
        error(cell, r.data[8]);
    } else if (r.data[6] == 3) {
        m_sheet.setText(cell.row, cell.column, QString());
    }
}

// The text result of the formula before, over the STRING record and its CONTINUE records.
void SheetReader::formulaText(const Record& r, RecordReader& records) {
    if (!m_hasPending)
        return;
    Segments data = withContinues(r, records);
    const std::uint16_t count = data.u16();
    const bool wide = (data.u8() & 1) != 0;
    m_sheet.setText(m_pending.row, m_pending.column,
                    count == 0 ? QString() : data.chars(count, wide));
    m_hasPending = false;
}

} // namespace

namespace {
// Whether the stream starts with the BOF of an older BIFF version, which FreeXL reads.
bool olderVersion(std::span<const std::uint8_t> stream) {
    if (stream.size() < 8)
        return false;
    const std::size_t size = le16(stream.data() + 2);
    return le16(stream.data()) == rtBof && size >= 4 && size <= MaxRecordData &&
           4 + size <= stream.size() && le16(stream.data() + 4) != 0x0600;
}
} // namespace

StreamResult readStream(std::span<const std::uint8_t> stream, CellReading reading) {
    if (olderVersion(stream))
        return {StreamResult::Verdict::Unsupported, std::nullopt, reasonText(Reason::OlderVersion)};
    try {
        RecordReader records(stream);
        Globals g = readGlobals(records);
        g.reading = reading;
        if (g.sheets.empty())
            damaged(Reason::NoWorksheet);
        if (g.sheets.size() > MaxSheets)
            damaged(Reason::TooManySheetsListed);
        std::vector<std::uint32_t> pooled(g.sst.size(), UINT32_MAX);
        Book book;
        for (const auto& [position, name] : g.sheets) {
            records.seek(position);
            SheetReader(g, book.appendSheet(name), pooled).read(records);
        }
        return {StreamResult::Verdict::Read, std::move(book), {}};
    } catch (const Error& e) { // damage, a password, a cell beyond what a worksheet holds
        return {e.kind() == Error::Kind::Encrypted ? StreamResult::Verdict::Encrypted
                                                   : StreamResult::Verdict::Damaged,
                std::nullopt, e.reason()};
    }
}

NumberFormats numberFormats(std::span<const std::uint8_t> stream) {
    NumberFormats out;
    Globals g;
    try {
        RecordReader records(stream);
        for (Record r = records.next(); r.type != rtEof; r = records.next())
            noteFormat(g, r);
    } catch (const Error&) { // formats cut short: the numbers of the rest show as numbers
    }
    for (const Shown shown : g.xfShown)
        out.shown.push_back(static_cast<std::uint8_t>(shown));
    out.date1904 = g.date1904;
    return out;
}

Value NumberFormats::value(double number, std::uint16_t xf) const {
    if (!std::isfinite(number))
        return {};
    const Shown s = xf < shown.size() ? static_cast<Shown>(shown[xf]) : Shown::Number;
    return shownNumber(number, s, date1904);
}

double rkValue(std::uint32_t rk) {
    double value = 0;
    if ((rk & 2) != 0) {
        value = static_cast<double>(static_cast<std::int32_t>(rk) >> 2);
    } else {
        const std::uint64_t bits = static_cast<std::uint64_t>(rk & 0xFFFFFFFCu) << 32;
        std::memcpy(&value, &bits, 8);
    }
    return (rk & 1) != 0 ? value / 100 : value;
}

double f64(const std::uint8_t* p) {
    const std::uint64_t bits = qFromLittleEndian<std::uint64_t>(p);
    double value;
    std::memcpy(&value, &bits, 8);
    return value;
}

namespace {
// `count` characters from `p`: one byte each, or UTF-16LE when `wide`; nothing when they
// run past `end`.
std::optional<QString> charsAt(const std::uint8_t* p, const std::uint8_t* end, std::size_t count,
                               bool wide) {
    if (count * (wide ? 2 : 1) > static_cast<std::size_t>(end - p))
        return std::nullopt;
    QString text(static_cast<qsizetype>(count), Qt::Uninitialized);
    for (std::size_t i = 0; i < count; ++i)
        text[static_cast<qsizetype>(i)] = QChar(wide ? le16(p + 2 * i) : p[i]);
    return text;
}
} // namespace

std::optional<QString> stringAt(const std::uint8_t* data, std::size_t size, std::size_t at) {
    if (at + 3 > size)
        return std::nullopt;
    return charsAt(data + at + 3, data + size, le16(data + at), (data[at + 2] & 1) != 0);
}

std::optional<QString> shortStringAt(const std::uint8_t* data, std::size_t size, std::size_t at) {
    if (at + 2 > size)
        return std::nullopt;
    return charsAt(data + at + 2, data + size, data[at], (data[at + 1] & 1) != 0);
}

} // namespace workbook::biff
