#pragma once
// Texts kept once each and numbered in the order they came, so that a cell refers to its text
// by number: a sheet's strings, the texts of the editor's cell edits. The index that finds a
// text's number is brought up to date only when a text is looked up, so texts known to be
// distinct (read from a file, handed over from a sheet) are appended without hashing, and it
// can be dropped once no more lookups are to come.

#include <QHash>
#include <QString>

#include <algorithm>
#include <bit>

#include <cstdint>
#include <memory>
#include <vector>

namespace workbook {

template <class Allocator = std::allocator<QString>> class TextPool {
public:
    using Texts = std::vector<QString, Allocator>;

    // The number of `text`, appended when it is not there yet.
    std::uint32_t intern(const QString& text) {
        const std::size_t hash = qHash(text);
        if (m_indexed < m_texts.size() || m_slots.empty())
            catchUp(m_texts.size() + 1);
        const std::size_t mask = m_slots.size() - 1;
        std::size_t s = hash & mask;
        for (; m_slots[s] != 0; s = (s + 1) & mask) {
            const std::uint32_t known = m_slots[s] - 1;
            if (m_hashes[known] == hash && m_texts[known] == text)
                return known;
        }
        const auto number = static_cast<std::uint32_t>(m_texts.size());
        m_texts.push_back(text);
        m_hashes.push_back(hash);
        m_indexed = m_texts.size();
        m_slots[s] = number + 1;
        if (m_texts.size() * 2 > m_slots.size())
            rehash(m_slots.size() * 2);
        return number;
    }
    // Appends `text` without seeking it: for texts shown and never looked up (a text that is
    // here already then has two numbers, each of which gives it).
    std::uint32_t append(QString text) {
        m_texts.push_back(std::move(text));
        return static_cast<std::uint32_t>(m_texts.size() - 1);
    }
    // Frees the index (some MB for a full sheet of different texts); intern() builds it again.
    void releaseIndex() {
        m_slots = {};
        m_hashes = {};
        m_indexed = 0;
        m_texts.shrink_to_fit();
    }
    // Empties the pool; its room, and the index's, stay for the texts to come.
    void clear() {
        m_texts.clear();
        m_hashes.clear();
        std::fill(m_slots.begin(), m_slots.end(), 0);
        m_indexed = 0;
    }
    // Room for `texts` more texts, in the index too once it is in use.
    void reserve(std::size_t texts) {
        m_texts.reserve(m_texts.size() + texts);
        if (!m_slots.empty())
            catchUp(m_texts.size() + texts);
    }

    const Texts& texts() const { return m_texts; }
    std::size_t size() const { return m_texts.size(); }
    bool empty() const { return m_texts.empty(); }
    const QString& operator[](std::size_t number) const { return m_texts[number]; }

private:
    // The index brought up to every text here, with room for `texts` texts at most half full.
    void catchUp(std::size_t texts) {
        m_hashes.reserve(texts);
        for (std::size_t i = m_hashes.size(); i < m_texts.size(); ++i)
            m_hashes.push_back(qHash(m_texts[i]));
        const std::size_t from = m_indexed;
        m_indexed = m_texts.size();
        const std::size_t room = std::bit_ceil(std::max<std::size_t>(16, texts * 2));
        if (room > m_slots.size()) {
            rehash(room);
            return;
        }
        for (std::size_t i = from; i < m_indexed; ++i)
            place(i);
    }
    // The index made again in `room` slots (a power of two) from the kept hashes.
    void rehash(std::size_t room) {
        m_slots.assign(room, 0);
        for (std::size_t i = 0; i < m_indexed; ++i)
            place(i);
    }
    void place(std::size_t i) {
        const std::size_t mask = m_slots.size() - 1;
        std::size_t s = m_hashes[i] & mask;
        while (m_slots[s] != 0)
            s = (s + 1) & mask;
        m_slots[s] = static_cast<std::uint32_t>(i + 1);
    }

    Texts m_texts;
    // Open addressing: number + 1 of a text, or 0; each indexed text's hash kept to grow it.
    std::vector<std::uint32_t> m_slots;
    std::vector<std::size_t> m_hashes;
    std::size_t m_indexed = 0; // the first texts the index holds
};

} // namespace workbook
