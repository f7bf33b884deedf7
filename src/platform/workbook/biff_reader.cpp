#include "platform/workbook/biff_reader.h"
#include "platform/workbook/biff_writer.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace workbook::biff {

namespace {

// A failure of the fast reader: the stream is handed to FreeXL instead.
struct Decline {};

[[noreturn]] void decline() {
    throw Decline{};
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
            decline();
        m_pos = position;
    }
    bool atEnd() const { return m_pos + 4 > m_stream.size(); }
    std::uint16_t peekType() const { return atEnd() ? 0 : le16(m_stream.data() + m_pos); }
    Record next() {
        if (atEnd())
            decline();
        const std::uint8_t* p = m_stream.data() + m_pos;
        const std::size_t size = le16(p + 2);
        if (size > 8224 || m_pos + 4 + size > m_stream.size())
            decline();
        m_pos += 4 + size;
        return {le16(p), p + 4, size};
    }

private:
    std::span<const std::uint8_t> m_stream;
    std::size_t m_pos = 0;
};

enum : std::uint16_t {
    rtBof = 0x0809,
    rtEof = 0x000A,
    rtFilePass = 0x002F,
    rtFormat = 0x041E,
    rtXf = 0x00E0,
    rtBoundSheet = 0x0085,
    rtSst = 0x00FC,
    rtContinue = 0x003C,
    rtLabelSst = 0x00FD,
    rtLabel = 0x0204,
    rtNumber = 0x0203,
    rtRk = 0x027E,
    rtMulRk = 0x00BD,
    rtBoolErr = 0x0205,
    rtBlank = 0x0201,
    rtMulBlank = 0x00BE,
    rtFormula = 0x0006,
    rtArray = 0x0221,
    rtSharedFormula = 0x04BC,
    rtString = 0x0207,
    rtRString = 0x00D6,
};

// Data of a record and its CONTINUE records, read across their boundaries. Characters of a
// string that goes on in the next record are preceded there by a fresh flags byte.
class Segments {
public:
    void add(const Record& r) { m_parts.push_back(r); }

    std::uint8_t u8() {
        settle();
        return m_parts[m_part].data[m_off++];
    }
    std::uint16_t u16() {
        const std::uint8_t lo = u8();
        return static_cast<std::uint16_t>(lo | (u8() << 8));
    }
    std::uint32_t u32() {
        const std::uint32_t lo = u16();
        return lo | (static_cast<std::uint32_t>(u16()) << 16);
    }
    void skip(std::size_t n) {
        while (n > 0) {
            settle();
            const std::size_t here = std::min(n, m_parts[m_part].size - m_off);
            m_off += here;
            n -= here;
        }
    }
    QString chars(std::size_t count, bool wide) {
        QString s(static_cast<qsizetype>(count), Qt::Uninitialized);
        char16_t* out = reinterpret_cast<char16_t*>(s.data());
        std::size_t done = 0;
        while (done < count) {
            if (m_off >= m_parts[m_part].size) {
                nextPart();
                wide = (u8() & 1) != 0; // the repeated flags byte
            }
            const Record& part = m_parts[m_part];
            const std::size_t charSize = wide ? 2 : 1;
            const std::size_t here = std::min(count - done, (part.size - m_off) / charSize);
            if (here == 0)
                decline(); // a character split between records
            const std::uint8_t* p = part.data + m_off;
            if (wide) {
                for (std::size_t i = 0; i < here; ++i)
                    out[done + i] = static_cast<char16_t>(le16(p + 2 * i));
            } else {
                for (std::size_t i = 0; i < here; ++i)
                    out[done + i] = p[i];
            }
            done += here;
            m_off += here * charSize;
        }
        return s;
    }

private:
    void settle() {
        while (m_off >= m_parts[m_part].size)
            nextPart();
    }
    void nextPart() {
        if (m_part + 1 >= m_parts.size())
            decline();
        ++m_part;
        m_off = 0;
    }

    std::vector<Record> m_parts;
    std::size_t m_part = 0;
    std::size_t m_off = 0;
};

// The shared strings ([MS-XLS] 2.4.265 SST, 2.5.293 XLUnicodeRichExtendedString).
std::vector<QString> readSst(const Record& sst, RecordReader& records) {
    Segments data;
    data.add(sst);
    while (records.peekType() == rtContinue)
        data.add(records.next());
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

// Built-in number formats that show a number as a number ([MS-XLS] 2.4.126 FORMAT); dates,
// times and custom formats are left to FreeXL, which turns them into date texts.
bool plainFormat(std::uint16_t format) {
    return format <= 13 || (format >= 37 && format <= 44) || format == 48 || format == 49;
}

// Whether a format string shows a number as a number: nothing of a date or a time is left
// once quoted texts, escaped characters, colours and "General" are taken out.
bool plainFormatCode(const QString& code) {
    QString rest;
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
                return false; // elapsed time
            i = end < 0 ? code.size() : end;
        } else {
            rest += c.toLower();
        }
    }
    rest.remove(QStringLiteral("general"));
    return !std::any_of(rest.begin(), rest.end(),
                        [](QChar c) { return QStringView(u"ymdhsaeb").contains(c); });
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

struct Globals {
    std::vector<std::pair<std::uint16_t, bool>> plainCustomFormats;
    std::vector<bool> plainXf;
    std::vector<std::pair<std::uint32_t, QString>> sheets; // stream position, name
    std::vector<QString> sst;
};

Globals readGlobals(RecordReader& records) {
    Record bof = records.next();
    if (bof.type != rtBof || bof.size < 8 || le16(bof.data) != 0x0600 || le16(bof.data + 2) != 5)
        decline();
    Globals g;
    for (;;) {
        const Record r = records.next();
        switch (r.type) {
        case rtEof:
            return g;
        case rtFilePass:
        case rtBof:
            decline();
        case rtFormat: {
            if (r.size < 5)
                decline();
            const std::size_t count = le16(r.data + 2);
            const bool wide = (r.data[4] & 1) != 0;
            if (5 + count * (wide ? 2 : 1) > r.size)
                decline();
            QString code(static_cast<qsizetype>(count), Qt::Uninitialized);
            for (std::size_t i = 0; i < count; ++i)
                code[static_cast<qsizetype>(i)] =
                    QChar(wide ? le16(r.data + 5 + 2 * i) : r.data[5 + i]);
            g.plainCustomFormats.emplace_back(le16(r.data), plainFormatCode(code));
            break;
        }
        case rtXf: {
            if (r.size < 4)
                decline();
            const std::uint16_t format = le16(r.data + 2);
            bool plain = plainFormat(format);
            for (const auto& [number, plainCode] : g.plainCustomFormats)
                if (number == format)
                    plain = plainCode;
            g.plainXf.push_back(plain);
            break;
        }
        case rtBoundSheet: {
            if (r.size < 8 || r.data[5] != 0) // worksheets only
                decline();
            const std::size_t count = r.data[6];
            const bool wide = (r.data[7] & 1) != 0;
            if (8 + count * (wide ? 2 : 1) > r.size)
                decline();
            QString name(static_cast<qsizetype>(count), Qt::Uninitialized);
            for (std::size_t i = 0; i < count; ++i)
                name[static_cast<qsizetype>(i)] =
                    QChar(wide ? le16(r.data + 8 + 2 * i) : r.data[8 + i]);
            g.sheets.emplace_back(le32(r.data), name);
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

// `pooled` maps shared-string indices to the sheet's own strings; it comes in all unset and
// is left so, so that one table of the size of the SST serves every sheet.
void readSheet(RecordReader& records, const Globals& g, Sheet& sheet,
               std::vector<std::uint32_t>& pooled) {
    const Record bof = records.next();
    if (bof.type != rtBof || bof.size < 4 || le16(bof.data) != 0x0600 || le16(bof.data + 2) != 0x10)
        decline();
    std::vector<std::uint32_t> touched;
    struct Reset {
        std::vector<std::uint32_t>& pooled;
        std::vector<std::uint32_t>& touched;
        ~Reset() {
            for (const std::uint32_t i : touched)
                pooled[i] = UINT32_MAX;
        }
    } reset{pooled, touched};
    auto cellAt = [&](const Record& r, std::size_t need) {
        if (r.size < need)
            decline();
        const int row = le16(r.data) + 1;
        const int column = le16(r.data + 2) + 1;
        const std::uint16_t xf = le16(r.data + 4);
        if (column > MaxColumns || xf >= g.plainXf.size() || !g.plainXf[xf])
            decline();
        return std::pair(row, column);
    };
    for (;;) {
        const Record r = records.next();
        switch (r.type) {
        case rtEof:
            return;
        case rtBof:
        case rtFormula:
        case rtArray:
        case rtSharedFormula:
        case rtString:
        case rtRString:
            decline();
        case rtLabelSst: {
            const auto [row, column] = cellAt(r, 10);
            const std::uint32_t index = le32(r.data + 6);
            if (index >= g.sst.size())
                decline();
            if (pooled[index] == UINT32_MAX) {
                pooled[index] = sheet.addString(g.sst[index]);
                touched.push_back(index);
            }
            sheet.setStringCell(row, column, pooled[index]);
            break;
        }
        case rtLabel: {
            const auto [row, column] = cellAt(r, 9);
            const std::size_t count = le16(r.data + 6);
            const bool wide = (r.data[8] & 1) != 0;
            if (9 + count * (wide ? 2 : 1) > r.size)
                decline();
            QString text(static_cast<qsizetype>(count), Qt::Uninitialized);
            for (std::size_t i = 0; i < count; ++i)
                text[static_cast<qsizetype>(i)] =
                    QChar(wide ? le16(r.data + 9 + 2 * i) : r.data[9 + i]);
            sheet.setText(row, column, text);
            break;
        }
        case rtNumber: {
            const auto [row, column] = cellAt(r, 14);
            double value;
            const std::uint64_t bits = qFromLittleEndian<std::uint64_t>(r.data + 6);
            std::memcpy(&value, &bits, 8);
            if (!std::isfinite(value))
                decline();
            sheet.setNumber(row, column, value);
            break;
        }
        case rtRk: {
            const auto [row, column] = cellAt(r, 10);
            sheet.setNumber(row, column, rkValue(le32(r.data + 6)));
            break;
        }
        case rtMulRk: {
            if (r.size < 6 || (r.size - 6) % 6 != 0)
                decline();
            const int row = le16(r.data) + 1;
            const int first = le16(r.data + 2);
            const std::size_t count = (r.size - 6) / 6;
            if (le16(r.data + r.size - 2) != first + static_cast<int>(count) - 1)
                decline();
            for (std::size_t i = 0; i < count; ++i) {
                const std::uint8_t* p = r.data + 4 + 6 * i;
                const int column = first + static_cast<int>(i) + 1;
                const std::uint16_t xf = le16(p);
                if (column > MaxColumns || xf >= g.plainXf.size() || !g.plainXf[xf])
                    decline();
                sheet.setNumber(row, column, rkValue(le32(p + 2)));
            }
            break;
        }
        case rtBoolErr: {
            const auto [row, column] = cellAt(r, 8);
            if (r.data[7] != 0) // an error value, not a boolean
                decline();
            sheet.setBoolean(row, column, r.data[6] != 0);
            break;
        }
        case rtBlank:
        case rtMulBlank:
        default:
            break;
        }
    }
}

} // namespace

std::optional<Book> readPlainStream(std::span<const std::uint8_t> stream) {
    try {
        RecordReader records(stream);
        const Globals g = readGlobals(records);
        if (g.sheets.empty() || g.sheets.size() > MaxSheets)
            decline();
        std::vector<std::uint32_t> pooled(g.sst.size(), UINT32_MAX);
        Book book;
        for (const auto& [position, name] : g.sheets) {
            records.seek(position);
            readSheet(records, g, book.appendSheet(name), pooled);
        }
        return book;
    } catch (const Decline&) {
        return std::nullopt;
    } catch (const Error&) { // a text or a cell beyond what a sheet holds
        return std::nullopt;
    }
}

} // namespace workbook::biff
