// Writing a compound file: the streams one after the other, big ones in whole sectors, small
// ones (under 4096 bytes) in a new mini stream, then the directory, the mini FAT, the FAT and
// the DIFAT, all in one pass, the longest kept run of the workbook stream possibly written
// ahead of them (byte_runs.h); or, for the file the editor opened, over the copy of it begun
// then (compound_file_patch.cpp).

#include "workbook/aftercare.h"
#include "workbook/compound_file_impl.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace workbook::detail {

// ---------------------------------------------------------------------------------------
// Writing

Layout CompoundImage::Impl::plan(std::uint64_t workbookSize) const {
    Layout l;
    std::uint64_t next = 0;
    std::uint64_t mini = 0;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const std::uint64_t size =
            static_cast<int>(i) == editedIndex ? workbookSize : streams[i].size;
        l.size.push_back(size);
        if (size == 0) {
            l.start.push_back(EndOfChain);
        } else if (size < MiniCutoff) {
            l.start.push_back(static_cast<std::uint32_t>(mini));
            mini += roundUp(size, MiniSectorSize);
        } else {
            l.start.push_back(static_cast<std::uint32_t>(next));
            next += roundUp(size, sectorSize);
        }
    }
    l.miniSectors = static_cast<std::uint32_t>(mini);
    if (mini > 0) {
        l.miniStream = static_cast<std::uint32_t>(next);
        next += roundUp(mini * MiniSectorSize, sectorSize);
    }
    l.directory = static_cast<std::uint32_t>(next);
    l.directoryCount = static_cast<std::uint32_t>(directory.size() / sectorSize);
    next += l.directoryCount;
    l.miniFatCount = static_cast<std::uint32_t>(roundUp(mini * 4, sectorSize));
    if (l.miniFatCount > 0)
        l.miniFat = static_cast<std::uint32_t>(next);
    next += l.miniFatCount;
    // The FAT covers every sector, its own and the DIFAT's included.
    const std::uint64_t perSector = sectorSize / 4;
    std::uint64_t fats = next / perSector;
    std::uint64_t difats = 0;
    for (;; ++fats) {
        difats = fats > HeaderFatIds ? roundUp(fats - HeaderFatIds, perSector - 1) : 0;
        if (next + fats + difats <= fats * perSector)
            break;
    }
    if (next + fats + difats >= 0xFFFFFFF0u)
        fail(Reason::CompoundDamaged);
    l.fat = static_cast<std::uint32_t>(next);
    l.fatCount = static_cast<std::uint32_t>(fats);
    next += fats;
    if (difats > 0)
        l.difat = static_cast<std::uint32_t>(next);
    l.difatCount = static_cast<std::uint32_t>(difats);
    return l;
}

std::vector<std::uint8_t> CompoundImage::Impl::headerBytes(const Layout& l) const {
    std::vector<std::uint8_t> h(sectorSize, 0);
    std::memcpy(h.data(), Signature, sizeof Signature);
    qToLittleEndian<std::uint16_t>(0x003E, &h[24]);
    qToLittleEndian<std::uint16_t>(version4 ? 4 : 3, &h[26]);
    qToLittleEndian<std::uint16_t>(0xFFFE, &h[28]);
    qToLittleEndian<std::uint16_t>(version4 ? 12 : 9, &h[30]);
    qToLittleEndian<std::uint16_t>(6, &h[32]);
    set32(&h[40], version4 ? l.directoryCount : 0);
    set32(&h[44], l.fatCount);
    set32(&h[48], l.directory);
    set32(&h[56], static_cast<std::uint32_t>(MiniCutoff));
    set32(&h[60], l.miniFat);
    set32(&h[64], l.miniFatCount);
    set32(&h[68], l.difat);
    set32(&h[72], l.difatCount);
    for (std::uint32_t i = 0; i < HeaderFatIds; ++i)
        set32(&h[76 + 4 * i], i < l.fatCount ? l.fat + i : FreeSector);
    return h;
}

// The directory as it came, with the streams' new places and sizes.
std::vector<std::uint8_t> CompoundImage::Impl::directoryBytes(const Layout& l) const {
    std::vector<std::uint8_t> out = directory;
    auto place = [&](std::uint32_t id, std::uint32_t start, std::uint64_t size) {
        std::uint8_t* e = &out[id * EntrySize];
        set32(e + 116, start);
        qToLittleEndian<std::uint64_t>(size, e + 120);
    };
    place(0, l.miniStream, std::uint64_t(l.miniSectors) * MiniSectorSize);
    for (std::size_t i = 0; i < streams.size(); ++i)
        place(streams[i].entry, l.start[i], l.size[i]);
    return out;
}

std::vector<std::uint8_t> CompoundImage::Impl::miniStreamBytes(const Layout& l,
                                                               const Pieces& pieces) const {
    std::vector<std::uint8_t> out(
        roundUp(std::uint64_t(l.miniSectors) * MiniSectorSize, sectorSize) * sectorSize, 0);
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (l.size[i] == 0 || l.size[i] >= MiniCutoff)
            continue;
        std::uint8_t* at = &out[l.start[i] * MiniSectorSize];
        const bool edited = static_cast<int>(i) == editedIndex;
        for (const Span run : edited ? pieces : Pieces{streams[i].content()})
            at = std::copy(run.begin(), run.end(), at);
    }
    return out;
}

// The FAT (or the mini FAT): one chain for each stream, the mini stream, the directory and
// the mini FAT; the FAT's and DIFAT's own sectors marked as such.
std::vector<std::uint8_t> CompoundImage::Impl::allocationBytes(const Layout& l, bool mini) const {
    const std::size_t count = (mini ? l.miniFatCount : l.fatCount) * (sectorSize / 4);
    std::vector<std::uint32_t> table(count, FreeSector);
    auto run = [&](std::uint32_t start, std::uint64_t n) {
        for (std::uint64_t k = 0; k < n; ++k)
            table[start + k] = k + 1 < n ? static_cast<std::uint32_t>(start + k + 1) : EndOfChain;
    };
    for (std::size_t i = 0; i < streams.size(); ++i)
        if (l.size[i] > 0 && (l.size[i] < MiniCutoff) == mini)
            run(l.start[i], roundUp(l.size[i], mini ? MiniSectorSize : sectorSize));
    if (!mini) {
        if (l.miniSectors > 0)
            run(l.miniStream, roundUp(std::uint64_t(l.miniSectors) * MiniSectorSize, sectorSize));
        run(l.directory, l.directoryCount);
        if (l.miniFatCount > 0)
            run(l.miniFat, l.miniFatCount);
        std::fill_n(table.begin() + l.fat, l.fatCount, FatSector);
        std::fill_n(table.begin() + l.fat + l.fatCount, l.difatCount, DifatSector);
    }
    std::vector<std::uint8_t> out(count * 4);
    for (std::size_t i = 0; i < count; ++i)
        set32(&out[4 * i], table[i]);
    return out;
}

std::vector<std::uint8_t> CompoundImage::Impl::difatBytes(const Layout& l) const {
    const std::size_t per = sectorSize / 4 - 1;
    std::vector<std::uint8_t> out(l.difatCount * sectorSize, 0xFF);
    for (std::uint32_t k = 0; k < l.difatCount; ++k) {
        std::uint8_t* p = &out[k * sectorSize];
        for (std::size_t j = 0; j < per; ++j) {
            const std::size_t nth = HeaderFatIds + k * per + j; // of the FAT's sectors
            set32(p + 4 * j,
                  nth < l.fatCount ? l.fat + static_cast<std::uint32_t>(nth) : FreeSector);
        }
        set32(p + 4 * per, k + 1 < l.difatCount ? l.difat + k + 1 : EndOfChain);
    }
    return out;
}

// Every sector of the new file, in order; `buffers` keeps the made ones alive.
void CompoundImage::Impl::writeSectors(Sink& sink, const Layout& l, const Pieces& pieces,
                                       std::vector<std::vector<std::uint8_t>>& buffers) const {
    buffers.push_back(headerBytes(l));
    sink.add(buffers.back());
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (l.size[i] < MiniCutoff)
            continue;
        for (const Span run :
             static_cast<int>(i) == editedIndex ? pieces : Pieces{streams[i].content()})
            sink.add(run);
        sink.pad(l.size[i], sectorSize);
    }
    buffers.push_back(miniStreamBytes(l, pieces));
    buffers.push_back(directoryBytes(l));
    buffers.push_back(allocationBytes(l, true));
    buffers.push_back(allocationBytes(l, false));
    buffers.push_back(difatBytes(l));
    for (std::size_t k = 1; k < buffers.size(); ++k)
        sink.add(buffers[k]);
}

namespace {
// Ends the file where its descriptor's offset is; 0 or an errno value.
int endHere(int fd) {
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    return end < 0 || ::ftruncate(fd, end) != 0 ? errno : 0;
}

void check(const QString& path, int error) {
    if (error != 0)
        throw Error(Error::Kind::Io, path,
                    reasonText(Reason::WriteFailed).arg(systemErrorText(error)));
}

std::uint64_t totalSize(const CompoundImage::Pieces& pieces) {
    std::uint64_t n = 0;
    for (const Span piece : pieces)
        n += piece.size();
    return n;
}
} // namespace

std::vector<std::uint8_t> CompoundImage::bytes(const Pieces& pieces) const {
    waitFor(SIZE_MAX);
    const Layout l = d->plan(totalSize(pieces));
    Sink sink;
    std::vector<std::vector<std::uint8_t>> buffers;
    d->writeSectors(sink, l, pieces, buffers);
    return sink.gather();
}

void CompoundImage::save(const QString& path, const Pieces& pieces) const {
    save(path, [&](const WriteAhead&) { return pieces; });
}

void CompoundImage::save(const QString& path,
                         const std::function<Pieces(const WriteAhead& ahead)>& layOut) const {
    waitFor(SIZE_MAX);
    if (d->update.fd < 0 || path != d->path) {
        d->update.reset();
        replaceFile(path, [&](int fd) { writeAll(fd, path, layOut); });
        return;
    }
    settle();
    // Written in place, the old bytes are where they are: nothing to write ahead.
    const Pieces pieces = layOut([](Span, std::uint64_t) {});
    if (const std::optional<int> error = d->saveInPlace(pieces)) {
        check(path, *error);
        return;
    }
    d->update.reset();
    replaceFile(path, [&](int fd) { // the whole file, under a temporary name
        Sink sink;
        std::vector<std::vector<std::uint8_t>> buffers;
        d->writeSectors(sink, d->plan(totalSize(pieces)), pieces, buffers);
        check(path, sink.write(fd));
    });
}

// The whole file into the empty temporary file `fd`, the run `layOut` tells written ahead.
void CompoundImage::writeAll(int fd, const QString& path,
                             const std::function<Pieces(const WriteAhead& ahead)>& layOut) const {
    AheadWrite ahead(fd);
    const Pieces pieces = layOut([&](Span run, std::uint64_t at) {
        if (d->editedIndex < 0)
            return;
        // Where the edited stream starts in the file: after the header and the big
        // streams before it, whatever its own size (a run makes it a big one too).
        const std::uint32_t first =
            d->plan(MiniCutoff).start[static_cast<std::size_t>(d->editedIndex)];
        ahead.start(run, (std::uint64_t{first} + 1) * d->sectorSize + at);
    });
    const Layout l = d->plan(totalSize(pieces));
    Sink sink;
    std::vector<std::vector<std::uint8_t>> buffers;
    d->writeSectors(sink, l, pieces, buffers);
    const std::optional<std::size_t> written =
        ahead.started() ? sink.find(ahead.run(), ahead.at()) : std::nullopt;
    // A run that is not where it was said to be is written again over it, once the
    // helper is done with it.
    int error = written ? 0 : ahead.finish();
    if (error == 0)
        error = sink.write(fd, written);
    if (const int late = ahead.finish(); error == 0)
        error = late;
    if (error == 0 && ahead.started() && !written)
        error = endHere(fd); // written elsewhere, the run may reach past the file's end
    check(path, error);
}

} // namespace workbook::detail
