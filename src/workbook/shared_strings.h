#pragma once
// The shared-string table of a workbook stream (SST and its CONTINUE records), as the reader
// and the record-level editor read it: where each string starts, whether it is plain (no
// formatting runs, no phonetic data) and, once a string is sought, a hash table of the plain
// ones, all read from the stream's bytes without making a QString of any string until one is
// asked for. A day's workbook holds a hundred thousand strings, of which a store asks for two.

#include "workbook/biff_segments.h"
#include "workbook/big_memory.h"

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace workbook {

class SharedStrings {
public:
    // A record of the table (the SST, then its CONTINUE records): where its header lies and
    // how many bytes of data follow it.
    struct Part {
        std::uint32_t pos;
        std::uint16_t size;
    };
    enum class Problem { None, CountMismatch, CharacterSplit };

    // Reads the table from its records in `stream`, which must outlive it. Every string must
    // lie inside the records; with Count::Exact (the editor, which appends to the table)
    // nothing may follow the last one. With Finding::Now (the editor, which seeks every text
    // it adds) what find() needs is made as the strings are read.
    enum class Count { Exact, AtLeast };
    enum class Finding { Later, Now };
    Problem read(std::span<const std::uint8_t> stream, std::vector<Part> parts,
                 Count counting = Count::Exact, Finding finding = Finding::Later);

    std::uint32_t references() const { return m_references; }
    std::size_t size() const { return m_strings.size(); }
    QString text(std::uint32_t index) const;
    // A plain string equal to `text`.
    std::optional<std::uint32_t> find(QStringView text) const;
    // Makes ready what find() needs, which the first find() does otherwise.
    void prepareFinding() const;
    // Where string `index` starts: its stream position, and its offset in its record
    // counted from the record's header.
    std::uint32_t position(std::uint32_t index) const;
    std::uint16_t offsetInRecord(std::uint32_t index) const;

private:
    struct Entry {
        std::uint32_t part;
        std::uint16_t offset; // in the part's data
        bool plain;
        bool hashed;
        std::uint32_t hash; // of the characters, once hashed
    };
    [[noreturn]] static void overrun(bool characterSplit);
    void index() const;
    void place(std::uint32_t index, std::size_t room) const;
    template <typename Each, typename Counted = void (*)(std::uint16_t)>
    void walk(
        std::uint32_t index, Each each, Counted counted = [](std::uint16_t) {}) const;

    std::vector<Part> m_parts;
    mutable biff::Segments m_segments{&SharedStrings::overrun};
    mutable std::vector<Entry, detail::BigAllocator<Entry>> m_strings; // hashes set by index()
    // Open addressing: index + 1 of a plain string, or 0.
    mutable std::vector<std::uint32_t, detail::BigAllocator<std::uint32_t>> m_slots;
    std::uint32_t m_references = 0;
};

} // namespace workbook
