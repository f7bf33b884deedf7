// A save over a copy of the file it replaces (begun while the file was read): only the
// sectors whose bytes change are written. A sector of the new workbook stream that holds old
// bytes at the same place within a sector keeps the old file's sector, and the stream's
// chain runs through it; the other sectors of the stream go into the sectors the old stream,
// FAT and DIFAT give up, then after the file's end. The other streams, the mini stream, the
// mini FAT and the directory stay where they are (the directory's changed sector written in
// place); the FAT, the DIFAT and the header are made anew.

#include "workbook/compound_file_impl.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <unistd.h>

namespace workbook::detail {

namespace {

// Writes `parts` from `offset` on; 0 or an errno value.
int writeAt(int fd, std::vector<iovec> parts, std::uint64_t offset) {
    for (std::size_t i = 0; i < parts.size();) {
        const int count = static_cast<int>(std::min<std::size_t>(parts.size() - i, IOV_MAX));
        ssize_t done = ::pwritev(fd, &parts[i], count, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return done < 0 ? errno : EIO;
        offset += static_cast<std::uint64_t>(done);
        while (i < parts.size() && static_cast<std::size_t>(done) >= parts[i].iov_len)
            done -= static_cast<ssize_t>(parts[i++].iov_len);
        if (done > 0) {
            parts[i].iov_base = static_cast<std::uint8_t*>(parts[i].iov_base) + done;
            parts[i].iov_len -= static_cast<std::size_t>(done);
        }
    }
    return 0;
}

iovec part(const std::uint8_t* p, std::size_t n) {
    return {const_cast<std::uint8_t*>(p), n};
}

} // namespace

std::optional<int> CompoundImage::Impl::patch(int out, const Pieces& pieces) const {
    if (editedIndex < 0 || editedIndex != workbookIndex)
        return std::nullopt;
    const StreamEntry& old = streams[static_cast<std::size_t>(editedIndex)];
    std::uint64_t size = 0;
    for (const Span piece : pieces)
        size += piece.size();
    if (old.size < MiniCutoff || size < MiniCutoff || old.ids.empty())
        return std::nullopt;
    const std::uint64_t S = sectorSize;
    const auto count = static_cast<std::size_t>(roundUp(size, S));

    // The old sectors kept: each one once, where a piece of old bytes covers a whole new
    // sector from the start of an old one.
    std::vector<std::uint32_t> place(count, FreeSector);
    std::vector<std::uint8_t> kept(old.ids.size(), 0);
    const auto base = reinterpret_cast<std::uintptr_t>(old.bytes.get());
    std::uint64_t at = 0;
    for (const Span piece : pieces) {
        const std::uint64_t end = at + piece.size();
        const auto p = reinterpret_cast<std::uintptr_t>(piece.data());
        if (p >= base && p - base + piece.size() <= old.size && (p - base) % S == at % S) {
            for (std::uint64_t j = roundUp(at, S); j < count; ++j) {
                if (std::min((j + 1) * S, size) > end)
                    break;
                const std::uint64_t k = (p - base + j * S - at) / S;
                if (kept[k] == 0) {
                    kept[k] = 1;
                    place[j] = old.ids[k];
                }
            }
        }
        at = end;
    }

    // The sectors given up, lowest first, then new ones after the file's end.
    std::vector<std::uint32_t> freed(fatIds.begin(), fatIds.end());
    freed.insert(freed.end(), difatIds.begin(), difatIds.end());
    for (std::size_t k = 0; k < old.ids.size(); ++k)
        if (kept[k] == 0)
            freed.push_back(old.ids[k]);
    std::sort(freed.begin(), freed.end(), std::greater<>());
    std::uint64_t next = sectors;
    const auto take = [&] {
        if (freed.empty())
            return static_cast<std::uint32_t>(next++);
        const std::uint32_t s = freed.back();
        freed.pop_back();
        return s;
    };
    std::vector<std::uint8_t> fresh(count, 0);
    for (std::size_t j = 0; j < count; ++j)
        if (place[j] == FreeSector) {
            place[j] = take();
            fresh[j] = 1;
        }

    // The FAT covers every sector, its own and the DIFAT's included.
    const std::uint64_t per = S / 4;
    std::uint64_t fats = std::max<std::uint64_t>(1, roundUp(next, per));
    std::uint64_t difats = 0;
    for (;; ++fats) {
        difats = fats > HeaderFatIds ? roundUp(fats - HeaderFatIds, per - 1) : 0;
        const std::uint64_t added = fats + difats > freed.size() ? fats + difats - freed.size() : 0;
        if (next + added <= fats * per)
            break;
    }
    std::vector<std::uint32_t> newFat(static_cast<std::size_t>(fats)),
        newDifat(static_cast<std::size_t>(difats));
    for (std::uint32_t& s : newFat)
        s = take();
    for (std::uint32_t& s : newDifat)
        s = take();
    if (next >= 0xFFFFFFF0u)
        return std::nullopt;

    std::vector<std::uint32_t> table = fat;
    table.resize(static_cast<std::size_t>(fats * per), FreeSector);
    for (const std::vector<std::uint32_t>* gone : {&fatIds, &difatIds, &old.ids})
        for (const std::uint32_t s : *gone)
            table[s] = FreeSector;
    for (std::size_t j = 0; j < count; ++j)
        table[place[j]] = j + 1 < count ? place[j + 1] : EndOfChain;
    for (const std::uint32_t s : newFat)
        table[s] = FatSector;
    for (const std::uint32_t s : newDifat)
        table[s] = DifatSector;
    std::vector<std::uint8_t> fatBytes(table.size() * 4);
    for (std::size_t i = 0; i < table.size(); ++i)
        set32(&fatBytes[4 * i], table[i]);

    std::vector<std::uint8_t> difatBytes(newDifat.size() * S, 0xFF);
    for (std::size_t k = 0; k < newDifat.size(); ++k) {
        std::uint8_t* q = &difatBytes[k * S];
        for (std::size_t i = 0; i + 1 < per; ++i)
            if (const std::size_t nth = HeaderFatIds + k * (per - 1) + i; nth < newFat.size())
                set32(q + 4 * i, newFat[nth]);
        set32(q + 4 * (per - 1), k + 1 < newDifat.size() ? newDifat[k + 1] : EndOfChain);
    }

    std::array<std::uint8_t, HeaderSize> head = header;
    set32(&head[44], static_cast<std::uint32_t>(fats));
    set32(&head[68], newDifat.empty() ? EndOfChain : newDifat[0]);
    set32(&head[72], static_cast<std::uint32_t>(difats));
    for (std::size_t i = 0; i < HeaderFatIds; ++i)
        set32(&head[76 + 4 * i], i < newFat.size() ? newFat[i] : FreeSector);

    // The workbook stream's entry, in its directory sector.
    const std::size_t entryAt = old.entry * EntrySize;
    std::vector<std::uint8_t> dirSector(
        directory.begin() + static_cast<std::ptrdiff_t>(entryAt / S * S),
        directory.begin() + static_cast<std::ptrdiff_t>(entryAt / S * S + S));
    set32(&dirSector[entryAt % S + 116], place[0]);
    qToLittleEndian<std::uint64_t>(size, &dirSector[entryAt % S + 120]);

    // Every sector to write, by its number.
    std::map<std::uint32_t, std::vector<iovec>> writes;
    writes[directoryIds[entryAt / S]].push_back(part(dirSector.data(), S));
    for (std::size_t k = 0; k < newFat.size(); ++k)
        writes[newFat[k]].push_back(part(&fatBytes[k * S], S));
    for (std::size_t k = 0; k < newDifat.size(); ++k)
        writes[newDifat[k]].push_back(part(&difatBytes[k * S], S));
    at = 0;
    for (const Span piece : pieces) {
        for (std::uint64_t from = at; from < at + piece.size();) {
            const std::uint64_t j = from / S;
            const std::uint64_t to = std::min((j + 1) * S, at + piece.size());
            if (fresh[j] != 0)
                writes[place[j]].push_back(part(piece.data() + (from - at), to - from));
            from = to;
        }
        at += piece.size();
    }
    static constexpr std::array<std::uint8_t, 4096> zeros{};
    if (size % S != 0 && fresh[count - 1] != 0)
        writes[place[count - 1]].push_back(part(zeros.data(), S - size % S));

    if (const int error = writeAt(out, {part(head.data(), head.size())}, 0); error != 0)
        return error;
    // A run of neighbouring sectors at a time.
    for (auto k = writes.begin(); k != writes.end();) {
        const std::uint32_t first = k->first;
        std::vector<iovec> parts;
        for (std::uint32_t expect = first; k != writes.end() && k->first == expect; ++k, ++expect)
            parts.insert(parts.end(), k->second.begin(), k->second.end());
        if (const int error = writeAt(out, std::move(parts), (std::uint64_t{first} + 1) * S);
            error != 0)
            return error;
    }
    return 0;
}

} // namespace workbook::detail
