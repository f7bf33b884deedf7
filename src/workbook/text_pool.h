#pragma once
// Texts kept once each and numbered in the order they came, so that a cell refers to its text
// by number: a sheet's strings, the texts of the editor's cell edits. The index that finds a
// text's number is brought up to date only when a text is looked up, so texts known to be
// distinct (read from a file, handed over from a sheet) are appended without hashing, and it
// can be dropped once no more lookups are to come.

#include <QHash>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace workbook {

template <class Allocator = std::allocator<QString>> class TextPool {
public:
    using Texts = std::vector<QString, Allocator>;

    // The number of `text`, appended when it is not there yet.
    std::uint32_t intern(const QString& text) {
        if (m_indexed < m_texts.size()) {
            m_index.reserve(static_cast<qsizetype>(m_texts.size()));
            for (; m_indexed < m_texts.size(); ++m_indexed)
                m_index.insert(m_texts[m_indexed], static_cast<std::uint32_t>(m_indexed));
        }
        if (const auto known = m_index.constFind(text); known != m_index.constEnd())
            return *known;
        const auto number = static_cast<std::uint32_t>(m_texts.size());
        m_texts.push_back(text);
        m_index.insert(text, number);
        m_indexed = m_texts.size();
        return number;
    }
    // Appends `text` without seeking it: for texts shown and never looked up (a text that is
    // here already then has two numbers, each of which gives it).
    std::uint32_t append(const QString& text) {
        m_texts.push_back(text);
        return static_cast<std::uint32_t>(m_texts.size() - 1);
    }
    // Appends texts the caller knows to be distinct from each other and from those here.
    template <class Iterator> void appendDistinct(Iterator first, Iterator last) {
        m_texts.insert(m_texts.end(), first, last);
    }
    // Frees the index (some MB for a full sheet of different texts); intern() builds it again.
    void releaseIndex() {
        m_index = {};
        m_indexed = 0;
        m_texts.shrink_to_fit();
    }
    void reserve(std::size_t texts) { m_texts.reserve(texts); }

    const Texts& texts() const { return m_texts; }
    std::size_t size() const { return m_texts.size(); }
    bool empty() const { return m_texts.empty(); }
    const QString& operator[](std::size_t number) const { return m_texts[number]; }

private:
    Texts m_texts;
    QHash<QString, std::uint32_t> m_index;
    std::size_t m_indexed = 0; // the first texts the index holds
};

} // namespace workbook
