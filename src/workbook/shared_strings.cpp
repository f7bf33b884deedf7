#include "workbook/shared_strings.h"

#include "workbook/record_cursor.h"

#include <algorithm>
#include <bit>

namespace workbook {

namespace {

struct Bad {
    SharedStrings::Problem problem;
};

// FNV-1a over the UTF-16 code units, a unit at a time: the same for a string stored in 8-bit
// or 16-bit form.
struct Hash {
    std::uint32_t value = 2166136261u;
    void add(char16_t c) { value = (value ^ c) * 16777619u; }
    void add(const std::uint8_t* p, std::size_t n, bool wide) {
        std::uint32_t v = value;
        if (wide) {
            for (std::size_t i = 0; i < n; ++i)
                v = (v ^ qFromLittleEndian<std::uint16_t>(p + 2 * i)) * 16777619u;
        } else {
            for (std::size_t i = 0; i < n; ++i)
                v = (v ^ p[i]) * 16777619u;
        }
        value = v;
    }
};

} // namespace

void SharedStrings::overrun(bool characterSplit) {
    throw Bad{characterSplit ? Problem::CharacterSplit : Problem::CountMismatch};
}

SharedStrings::Problem SharedStrings::read(std::span<const std::uint8_t> stream,
                                           std::vector<Part> parts, Count counting,
                                           Finding finding) {
    m_parts = std::move(parts);
    for (const Part& part : m_parts)
        m_segments.add(stream.data() + part.pos + 4, part.size);
    try {
        biff::Segments& c = m_segments;
        m_references = c.u32();
        const std::uint32_t unique = c.u32();
        if (unique > stream.size() / 3)
            return Problem::CountMismatch;
        m_strings.reserve(unique);
        for (std::uint32_t i = 0; i < unique; ++i) {
            c.settle();
            Entry e{static_cast<std::uint32_t>(c.part()), static_cast<std::uint16_t>(c.offset()),
                    false, false, 0};
            // Most strings are plain and lie whole in one record: read where they lie, and
            // hashed there when they are to be sought.
            if (const std::uint8_t* head = c.bytes(e.part, e.offset, 3)) {
                const std::uint16_t count = biff::le16(head);
                const bool wide = (head[2] & 1) != 0;
                const std::size_t size = count * (wide ? 2u : 1u);
                if ((head[2] & 0x0C) == 0 && c.bytes(e.part, e.offset + 3u, size)) {
                    e.plain = true;
                    if (finding == Finding::Now) {
                        Hash h;
                        h.add(head + 3, count, wide);
                        e.hash = h.value;
                        e.hashed = true;
                    }
                    c.seek(e.part, e.offset + 3u + size);
                    m_strings.push_back(e);
                    continue;
                }
            }
            const std::uint16_t count = c.u16();
            const std::uint8_t flags = c.u8();
            const std::uint16_t runs = (flags & 0x08) != 0 ? c.u16() : 0;
            const std::uint32_t ext = (flags & 0x04) != 0 ? c.u32() : 0;
            c.chars(count, flags, nullptr); // passed over: read when asked for
            c.skip(4u * runs);
            c.skip(ext);
            e.plain = runs == 0 && ext == 0;
            m_strings.push_back(e);
        }
        // Nothing may follow the last string.
        if (counting == Count::Exact && (!c.lastPart() || !c.atEndOfPart()))
            return Problem::CountMismatch;
    } catch (const Bad& bad) {
        return bad.problem;
    }
    return Problem::None;
}

// The hash table of the plain strings, made when the first string is sought (a reader never
// seeks one).
void SharedStrings::index() const {
    const std::size_t room = std::bit_ceil(std::max<std::size_t>(16, m_strings.size() * 2));
    m_slots.assign(room, 0);
    for (std::uint32_t i = 0; i < m_strings.size(); ++i) {
        if (!m_strings[i].plain)
            continue;
        if (m_strings[i].hashed) {
            place(i, room);
            continue;
        }
        Hash h;
        const Entry& e = m_strings[i];
        // Most strings lie whole in one record: hashed where they lie.
        const std::uint8_t* head = m_segments.bytes(e.part, e.offset, 3);
        const std::uint16_t count = head != nullptr ? biff::le16(head) : 0;
        const bool wide = head != nullptr && (head[2] & 1) != 0;
        if (head != nullptr && m_segments.bytes(e.part, e.offset + 3u, count * (wide ? 2u : 1u))) {
            h.add(head + 3, count, wide);
        } else {
            biff::Segments& c = m_segments;
            c.seek(e.part, e.offset);
            const std::uint16_t n = c.u16();
            c.runs(n, c.u8(),
                   [&](const std::uint8_t* p, std::size_t k, bool w) { h.add(p, k, w); });
        }
        m_strings[i].hash = h.value;
        m_strings[i].hashed = true;
        place(i, room);
    }
}

void SharedStrings::place(std::uint32_t i, std::size_t room) const {
    std::size_t s = m_strings[i].hash & (room - 1);
    while (m_slots[s] != 0)
        s = (s + 1) & (room - 1);
    m_slots[s] = i + 1;
}

// The characters of string `index`, each handed to `each`, their count first to `counted`.
template <typename Each, typename Counted>
void SharedStrings::walk(std::uint32_t index, Each each, Counted counted) const {
    const Entry& e = m_strings[index];
    biff::Segments& c = m_segments;
    c.seek(e.part, e.offset);
    const std::uint16_t count = c.u16();
    const std::uint8_t flags = c.u8();
    c.skip(((flags & 0x08) != 0 ? 2 : 0) + ((flags & 0x04) != 0 ? 4 : 0));
    counted(count);
    c.chars(count, flags, each);
}

QString SharedStrings::text(std::uint32_t index) const {
    QString s;
    QChar* at = nullptr;
    walk(
        index, [&](char16_t ch) { *at++ = QChar(ch); },
        [&](std::uint16_t count) {
            s.resize(count);
            at = s.data();
        });
    return s;
}

void SharedStrings::prepareFinding() const {
    if (!m_strings.empty() && m_slots.empty())
        index();
}

std::optional<std::uint32_t> SharedStrings::find(QStringView text) const {
    if (m_strings.empty())
        return std::nullopt;
    prepareFinding();
    Hash h;
    for (const QChar ch : text)
        h.add(ch.unicode());
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t s = h.value & mask; m_slots[s] != 0; s = (s + 1) & mask) {
        const std::uint32_t i = m_slots[s] - 1;
        if (m_strings[i].hash != h.value)
            continue;
        qsizetype at = 0;
        bool same = true;
        walk(i, [&](char16_t ch) {
            same = same && at < text.size() && text[at] == QChar(ch);
            ++at;
        });
        if (same && at == text.size())
            return i;
    }
    return std::nullopt;
}

std::uint32_t SharedStrings::position(std::uint32_t index) const {
    const Entry& e = m_strings[index];
    return m_parts[e.part].pos + 4 + e.offset;
}

std::uint16_t SharedStrings::offsetInRecord(std::uint32_t index) const {
    return static_cast<std::uint16_t>(m_strings[index].offset + 4);
}

} // namespace workbook
