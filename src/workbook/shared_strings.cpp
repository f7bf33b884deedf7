#include "workbook/shared_strings.h"

#include <QtEndian>

#include <algorithm>
#include <bit>

namespace workbook {

namespace {

struct Bad {
    SharedStrings::Problem problem;
};

// FNV-1a over the UTF-16 code units: the same for a string stored in 8-bit or 16-bit form.
struct Hash {
    std::uint32_t value = 2166136261u;
    void add(char16_t c) {
        value = (value ^ (c & 0xFF)) * 16777619u;
        value = (value ^ (c >> 8)) * 16777619u;
    }
};

} // namespace

// Reads across the table's records: the first byte of each CONTINUE's data follows the last
// byte of the record before it, except that the characters of a string going on there are
// preceded by a fresh flags byte.
class SharedStrings::Cursor {
public:
    Cursor(const SharedStrings& table, std::uint32_t part, std::size_t offset)
        : m_t(table), m_part(part), m_off(offset) {}

    std::uint32_t part() const { return m_part; }
    std::size_t offset() const { return m_off; }
    bool atEndOfPart() const { return m_off >= m_t.m_parts[m_part].size; }
    bool lastPart() const { return m_part + 1 == m_t.m_parts.size(); }
    // Moves to the next record once this one is used up.
    void settle() {
        while (atEndOfPart()) {
            if (lastPart())
                throw Bad{Problem::CountMismatch};
            ++m_part;
            m_off = 0;
        }
    }
    std::uint8_t u8() {
        settle();
        return m_t.m_stream[m_t.m_parts[m_part].pos + 4 + m_off++];
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
            const std::size_t step = std::min(n, m_t.m_parts[m_part].size - m_off);
            m_off += step;
            n -= step;
        }
    }
    // The `count` characters of a string, each handed to `each`.
    template <typename Each> void chars(std::size_t count, std::uint8_t flags, Each each) {
        for (std::size_t done = 0; done < count;) {
            if (atEndOfPart()) {
                settle();
                flags = u8();
            }
            const bool wide = (flags & 1) != 0;
            const Part& part = m_t.m_parts[m_part];
            const std::size_t n = std::min(count - done, (part.size - m_off) / (wide ? 2 : 1));
            if (n == 0)
                throw Bad{Problem::CharacterSplit};
            const std::uint8_t* p = m_t.m_stream.data() + part.pos + 4 + m_off;
            for (std::size_t k = 0; k < n; ++k)
                each(wide ? qFromLittleEndian<std::uint16_t>(p + 2 * k) : char16_t(p[k]));
            done += n;
            m_off += n * (wide ? 2 : 1);
        }
    }

private:
    const SharedStrings& m_t;
    std::uint32_t m_part;
    std::size_t m_off;
};

SharedStrings::Problem SharedStrings::read(std::span<const std::uint8_t> stream,
                                           std::vector<Part> parts) {
    m_stream = stream;
    m_parts = std::move(parts);
    try {
        Cursor c(*this, 0, 0);
        m_references = c.u32();
        const std::uint32_t unique = c.u32();
        if (unique > stream.size() / 3)
            return Problem::CountMismatch;
        m_strings.reserve(unique);
        for (std::uint32_t i = 0; i < unique; ++i) {
            c.settle();
            Entry e{c.part(), static_cast<std::uint16_t>(c.offset()), false, 0};
            const std::uint16_t count = c.u16();
            const std::uint8_t flags = c.u8();
            const std::uint16_t runs = (flags & 0x08) != 0 ? c.u16() : 0;
            const std::uint32_t ext = (flags & 0x04) != 0 ? c.u32() : 0;
            Hash h;
            c.chars(count, flags, [&](char16_t ch) { h.add(ch); });
            c.skip(4u * runs);
            c.skip(ext);
            e.plain = runs == 0 && ext == 0;
            e.hash = h.value;
            m_strings.push_back(e);
        }
        // Nothing may follow the last string.
        if (!c.lastPart() || !c.atEndOfPart())
            return Problem::CountMismatch;
    } catch (const Bad& bad) {
        return bad.problem;
    }
    index();
    return Problem::None;
}

void SharedStrings::index() {
    const std::size_t room = std::bit_ceil(std::max<std::size_t>(16, m_strings.size() * 2));
    m_slots.assign(room, 0);
    for (std::uint32_t i = 0; i < m_strings.size(); ++i) {
        if (!m_strings[i].plain)
            continue;
        std::size_t s = m_strings[i].hash & (room - 1);
        while (m_slots[s] != 0)
            s = (s + 1) & (room - 1);
        m_slots[s] = i + 1;
    }
}

QString SharedStrings::text(std::uint32_t index) const {
    const Entry& e = m_strings[index];
    Cursor c(*this, e.part, e.offset);
    const std::uint16_t count = c.u16();
    const std::uint8_t flags = c.u8();
    if ((flags & 0x08) != 0)
        c.skip(2);
    if ((flags & 0x04) != 0)
        c.skip(4);
    QString s(count, Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(s.data());
    c.chars(count, flags, [&](char16_t ch) { *out++ = ch; });
    return s;
}

std::optional<std::uint32_t> SharedStrings::find(QStringView text) const {
    if (m_slots.empty())
        return std::nullopt;
    Hash h;
    for (const QChar ch : text)
        h.add(ch.unicode());
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t s = h.value & mask; m_slots[s] != 0; s = (s + 1) & mask) {
        const std::uint32_t i = m_slots[s] - 1;
        if (m_strings[i].hash == h.value && this->text(i) == text)
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
