#pragma once
// The records of a BIFF8 workbook stream one after another, each checked once against the
// stream's end and the 8224-byte limit of a record's data, and a record with the CONTINUE
// records after it read as one run of bytes. The viewer's and the store's reader, the reader
// of how a workbook looks and the record-level editor all walk the stream through it.

#include "workbook/biff_records.h"
#include "workbook/biff_segments.h"
#include "workbook/biff_writer.h" // MaxRecordData

#include <QtEndian>

#include <cstdint>
#include <span>

namespace workbook::biff {

inline std::uint16_t le16(const std::uint8_t* p) {
    return qFromLittleEndian<std::uint16_t>(p);
}
inline std::uint32_t le32(const std::uint8_t* p) {
    return qFromLittleEndian<std::uint32_t>(p);
}

struct Record {
    std::uint32_t pos = 0; // of its header
    std::uint16_t type = 0;
    std::uint16_t size = 0; // of its data
    const std::uint8_t* data = nullptr;

    std::uint32_t end() const { return pos + 4 + size; }
    std::uint16_t u16(std::size_t at) const { return le16(data + at); }
    std::uint32_t u32(std::size_t at) const { return le32(data + at); }
};

// Why there is no record at a position.
enum class RecordProblem {
    None,
    NoHeader, // the stream ends before a record's header
    PastEnd,  // the record's data reaches past the stream, or past 8224 bytes
};

// The record at `pos`: the one bounds check every walk of the stream makes.
inline RecordProblem recordAt(std::span<const std::uint8_t> stream, std::size_t pos, Record& out) {
    if (pos > stream.size() || stream.size() - pos < 4)
        return RecordProblem::NoHeader;
    const std::uint8_t* p = stream.data() + pos;
    const std::uint16_t size = le16(p + 2);
    if (size > MaxRecordData || stream.size() - pos - 4 < size)
        return RecordProblem::PastEnd;
    out = {static_cast<std::uint32_t>(pos), le16(p), size, p + 4};
    return RecordProblem::None;
}

// The type of the record at `pos`; 0 when the stream ends before its header.
inline std::uint16_t typeAt(std::span<const std::uint8_t> stream, std::size_t pos) {
    return pos < stream.size() && stream.size() - pos >= 4 ? le16(stream.data() + pos) : 0;
}

class RecordCursor {
public:
    explicit RecordCursor(std::span<const std::uint8_t> stream) : m_stream(stream) {}

    std::span<const std::uint8_t> stream() const { return m_stream; }
    std::size_t position() const { return m_pos; }
    void seek(std::size_t position) { m_pos = position; }
    std::uint16_t peekType() const { return typeAt(m_stream, m_pos); }
    // The record at the cursor, the cursor moved past it; none (the cursor left) when there
    // is no whole record there.
    RecordProblem next(Record& r) {
        const RecordProblem problem = recordAt(m_stream, m_pos, r);
        if (problem == RecordProblem::None)
            m_pos = r.end();
        return problem;
    }
    // The data of `first` and of the CONTINUE records after it, the cursor moved past them;
    // a CONTINUE that runs past the stream ends the run.
    Segments continued(const Record& first, Segments::Fail fail) {
        Segments data(fail);
        data.add(first.data, first.size);
        Record r;
        while (peekType() == rtContinue && next(r) == RecordProblem::None)
            data.add(r.data, r.size);
        return data;
    }

private:
    std::span<const std::uint8_t> m_stream;
    std::size_t m_pos = 0;
};

} // namespace workbook::biff
