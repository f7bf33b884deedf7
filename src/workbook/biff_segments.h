#pragma once
// The data of a record and its CONTINUE records read as one run of bytes across their
// boundaries: the shared-string table (shared_strings.h), a formula's text result in STRING
// and a comment's text. The characters of a string that goes on in the next record are
// preceded there by a fresh flags byte.

#include <QString>
#include <QtEndian>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace workbook::biff {

class Segments {
public:
    // Called, never to return, when a read goes past the last record (false) or a character
    // would be split between two records (true).
    using Fail = void (*)(bool characterSplit);
    explicit Segments(Fail fail) : m_fail(fail) {}

    void add(const std::uint8_t* data, std::size_t size) { m_parts.push_back({data, size}); }

    std::size_t part() const { return m_part; }
    std::size_t offset() const { return m_off; }
    void seek(std::size_t part, std::size_t offset) {
        m_part = part;
        m_off = offset;
    }
    // The `n` bytes at `offset` of record `part`, when they lie inside it; null when not.
    const std::uint8_t* bytes(std::size_t part, std::size_t offset, std::size_t n) const {
        const Part& p = m_parts[part];
        return offset <= p.size && n <= p.size - offset ? p.data + offset : nullptr;
    }
    bool atEndOfPart() const { return m_off >= m_parts[m_part].size; }
    bool lastPart() const { return m_part + 1 >= m_parts.size(); }
    // Moves on to the next record once this one is used up.
    void settle() {
        while (atEndOfPart()) {
            if (lastPart())
                m_fail(false);
            ++m_part;
            m_off = 0;
        }
    }

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
    // The `count` characters of a string whose flags byte was `flags`, each handed to `each`;
    // with no `each`, passed over a record at a time.
    template <typename Each> void chars(std::size_t count, std::uint8_t flags, Each each) {
        if constexpr (std::is_same_v<Each, std::nullptr_t>) {
            runs(count, flags, [](const std::uint8_t*, std::size_t, bool) {});
        } else {
            runs(count, flags, [&](const std::uint8_t* p, std::size_t n, bool wide) {
                for (std::size_t i = 0; i < n; ++i)
                    each(wide ? qFromLittleEndian<std::uint16_t>(p + 2 * i) : char16_t(p[i]));
            });
        }
    }
    // The same characters a run at a time, as they lie in one record: `run(bytes, count,
    // wide)`, where a wide run holds 16-bit little-endian characters and a narrow one 8-bit.
    template <typename Run> void runs(std::size_t count, std::uint8_t flags, Run run) {
        for (std::size_t done = 0; done < count;) {
            if (atEndOfPart()) {
                settle();
                flags = u8(); // the repeated flags byte
            }
            const Part& part = m_parts[m_part];
            const bool wide = (flags & 1) != 0;
            const std::size_t charSize = wide ? 2 : 1;
            const std::size_t here = std::min(count - done, (part.size - m_off) / charSize);
            if (here == 0)
                m_fail(true);
            run(part.data + m_off, here, wide);
            done += here;
            m_off += here * charSize;
        }
    }
    QString chars(std::size_t count, bool wide) {
        QString s(static_cast<qsizetype>(count), Qt::Uninitialized);
        char16_t* out = reinterpret_cast<char16_t*>(s.data());
        chars(count, wide ? 1 : 0, [&](char16_t c) { *out++ = c; });
        return s;
    }

private:
    struct Part {
        const std::uint8_t* data;
        std::size_t size;
    };
    std::vector<Part> m_parts;
    std::size_t m_part = 0;
    std::size_t m_off = 0;
    Fail m_fail;
};

} // namespace workbook::biff
