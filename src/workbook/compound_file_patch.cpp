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

int writeHere(int fd, std::vector<iovec> parts, std::uint64_t at) {
    return writeParts(fd, parts.data(), parts.size(), at);
}

iovec part(const std::uint8_t* p, std::size_t n) {
    return {const_cast<std::uint8_t*>(p), n};
}

} // namespace

// One save over the copy: where each sector of the new workbook stream goes, the tables made
// for it, the sectors to write.
struct CompoundImage::Impl::Patch {
    Patch(const Impl& impl, const StreamEntry& stream, const Pieces& by, std::uint64_t bytes)
        : d(impl), old(stream), pieces(by), size(bytes) {}

    const Impl& d;
    const StreamEntry& old;
    const Pieces& pieces;
    std::uint64_t size;
    std::uint64_t S = d.sectorSize;
    std::uint64_t per = S / 4; // sector numbers in a FAT sector
    std::size_t count = static_cast<std::size_t>(roundUp(size, S)); // of the new stream
    std::vector<std::uint32_t> place = std::vector<std::uint32_t>(count, FreeSector);
    std::vector<std::uint8_t> fresh = std::vector<std::uint8_t>(count, 0); // to be written
    std::vector<std::uint32_t> freed; // given up, highest first
    std::uint64_t next = d.sectors;   // the first after the file's end
    std::vector<std::uint32_t> fat, difat;
    std::vector<std::uint8_t> fatBytes, difatBytes, dirSector;
    std::array<std::uint8_t, HeaderSize> head = d.header;
    std::map<std::uint32_t, std::vector<iovec>> writes; // every sector to write, by number

    std::uint32_t take() {
        if (freed.empty())
            return static_cast<std::uint32_t>(next++);
        const std::uint32_t s = freed.back();
        freed.pop_back();
        return s;
    }

    // The old sectors kept: each one once, where a piece of old bytes covers a whole new
    // sector from the start of an old one. The others given up.
    void keepOld() {
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
        freed.assign(d.fatIds.begin(), d.fatIds.end());
        freed.insert(freed.end(), d.difatIds.begin(), d.difatIds.end());
        for (std::size_t k = 0; k < old.ids.size(); ++k)
            if (kept[k] == 0)
                freed.push_back(old.ids[k]);
        std::sort(freed.begin(), freed.end(), std::greater<>());
    }

    // The other sectors of the stream, then the FAT's and the DIFAT's, in the sectors given
    // up, lowest first, then after the file's end. The FAT covers every sector, its own and
    // the DIFAT's included.
    void placeTheRest() {
        for (std::size_t j = 0; j < count; ++j)
            if (place[j] == FreeSector) {
                place[j] = take();
                fresh[j] = 1;
            }
        std::uint64_t fats = std::max<std::uint64_t>(1, roundUp(next, per));
        std::uint64_t difats = 0;
        for (;; ++fats) {
            difats = fats > HeaderFatIds ? roundUp(fats - HeaderFatIds, per - 1) : 0;
            const std::uint64_t added =
                fats + difats > freed.size() ? fats + difats - freed.size() : 0;
            if (next + added <= fats * per)
                break;
        }
        fat.resize(static_cast<std::size_t>(fats));
        difat.resize(static_cast<std::size_t>(difats));
        for (std::uint32_t& s : fat)
            s = take();
        for (std::uint32_t& s : difat)
            s = take();
    }

    // The old FAT with the old stream's, FAT's and DIFAT's sectors given up and the new ones
    // in; the DIFAT; the header; the directory sector with the stream's new start and size.
    void makeTables() {
        std::vector<std::uint32_t> table = d.fat;
        table.resize(fat.size() * per, FreeSector);
        for (const std::vector<std::uint32_t>* gone : {&d.fatIds, &d.difatIds, &old.ids})
            for (const std::uint32_t s : *gone)
                table[s] = FreeSector;
        for (std::size_t j = 0; j < count; ++j)
            table[place[j]] = j + 1 < count ? place[j + 1] : EndOfChain;
        for (const std::uint32_t s : fat)
            table[s] = FatSector;
        for (const std::uint32_t s : difat)
            table[s] = DifatSector;
        fatBytes.resize(table.size() * 4);
        for (std::size_t i = 0; i < table.size(); ++i)
            set32(&fatBytes[4 * i], table[i]);

        difatBytes.assign(difat.size() * S, 0xFF);
        for (std::size_t k = 0; k < difat.size(); ++k) {
            std::uint8_t* q = &difatBytes[k * S];
            for (std::size_t i = 0; i + 1 < per; ++i)
                if (const std::size_t nth = HeaderFatIds + k * (per - 1) + i; nth < fat.size())
                    set32(q + 4 * i, fat[nth]);
            set32(q + 4 * (per - 1), k + 1 < difat.size() ? difat[k + 1] : EndOfChain);
        }

        set32(&head[44], static_cast<std::uint32_t>(fat.size()));
        set32(&head[68], difat.empty() ? EndOfChain : difat[0]);
        set32(&head[72], static_cast<std::uint32_t>(difat.size()));
        for (std::size_t i = 0; i < HeaderFatIds; ++i)
            set32(&head[76 + 4 * i], i < fat.size() ? fat[i] : FreeSector);

        const std::size_t entryAt = old.entry * EntrySize;
        const auto sectorAt = static_cast<std::ptrdiff_t>(entryAt / S * S);
        dirSector.assign(d.directory.begin() + sectorAt,
                         d.directory.begin() + sectorAt + static_cast<std::ptrdiff_t>(S));
        set32(&dirSector[entryAt % S + 116], place[0]);
        qToLittleEndian<std::uint64_t>(size, &dirSector[entryAt % S + 120]);
        writes[d.directoryIds[entryAt / S]].push_back(part(dirSector.data(), S));
        for (std::size_t k = 0; k < fat.size(); ++k)
            writes[fat[k]].push_back(part(&fatBytes[k * S], S));
        for (std::size_t k = 0; k < difat.size(); ++k)
            writes[difat[k]].push_back(part(&difatBytes[k * S], S));
    }

    // The header, then the changed sectors, a run of neighbouring ones at a time; 0 or an
    // errno value.
    int write(int out) {
        std::uint64_t at = 0;
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

        if (const int error = writeHere(out, {part(head.data(), head.size())}, 0); error != 0)
            return error;
        for (auto k = writes.begin(); k != writes.end();) {
            const std::uint32_t first = k->first;
            std::vector<iovec> parts;
            for (std::uint32_t expect = first; k != writes.end() && k->first == expect;
                 ++k, ++expect)
                parts.insert(parts.end(), k->second.begin(), k->second.end());
            if (const int error = writeHere(out, std::move(parts), (std::uint64_t{first} + 1) * S);
                error != 0)
                return error;
        }
        return 0;
    }
};

std::optional<int> CompoundImage::Impl::patch(int out, const Pieces& pieces) const {
    if (editedIndex < 0 || editedIndex != workbookIndex)
        return std::nullopt;
    const StreamEntry& old = streams[static_cast<std::size_t>(editedIndex)];
    std::uint64_t size = 0;
    for (const Span piece : pieces)
        size += piece.size();
    if (old.size < MiniCutoff || size < MiniCutoff || old.ids.empty())
        return std::nullopt;
    Patch patch(*this, old, pieces, size);
    patch.keepOld();
    patch.placeTheRest();
    if (patch.next >= 0xFFFFFFF0u)
        return std::nullopt;
    patch.makeTables();
    return patch.write(out);
}

} // namespace workbook::detail
