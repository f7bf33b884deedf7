// The compound file ([MS-CFB]), the only one of the product: read, written and made new by
// our own code. Reading: the header, the FAT through the header's and the DIFAT sectors'
// lists, the directory, the mini FAT and the mini stream, then each stream of the directory
// tree straight from the file into a buffer of its own, a run of neighbouring sectors at a
// time; every sector claimed by one owner only (a FAT or DIFAT sector, the directory, the
// mini FAT, the mini stream, one stream), every mini sector by one stream. Writing: the
// streams one after the other, big ones in whole sectors, small ones (under 4096 bytes) in a
// new mini stream, then the directory, the mini FAT, the FAT and the DIFAT, all in one pass,
// the longest kept run of the workbook stream possibly written ahead of them (byte_runs.h).

#include "workbook/compound_file.h"
#include "workbook/big_memory.h"
#include "workbook/byte_runs.h"
#include "workbook/reasons.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace workbook::detail {

namespace {

constexpr std::uint32_t EndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t FreeSector = 0xFFFFFFFF;
constexpr std::uint32_t FatSector = 0xFFFFFFFD;
constexpr std::uint32_t DifatSector = 0xFFFFFFFC;
constexpr std::uint32_t NoEntry = 0xFFFFFFFF;
constexpr std::size_t HeaderSize = 512;
constexpr std::size_t HeaderFatIds = 109;
constexpr std::size_t EntrySize = 128;
constexpr std::size_t MiniSectorSize = 64;
constexpr std::uint64_t MiniCutoff = 4096;
constexpr std::uint8_t Signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

enum EntryType : std::uint8_t { Unused = 0, Storage = 1, Stream = 2, Root = 5 };

std::uint16_t le16(const std::uint8_t* p) {
    return qFromLittleEndian<std::uint16_t>(p);
}
std::uint32_t le32(const std::uint8_t* p) {
    return qFromLittleEndian<std::uint32_t>(p);
}
std::uint64_t le64(const std::uint8_t* p) {
    return qFromLittleEndian<std::uint64_t>(p);
}
void set32(std::uint8_t* p, std::uint32_t v) {
    qToLittleEndian(v, p);
}

std::uint64_t roundUp(std::uint64_t n, std::uint64_t unit) {
    return (n + unit - 1) / unit;
}

// A directory entry's name is `name` exactly (UTF-16, with its terminating zero counted).
bool isNamed(const std::uint8_t* entry, std::u16string_view name) {
    if (le16(entry + 64) != 2 * (name.size() + 1))
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (le16(entry + 2 * i) != name[i])
            return false;
    return true;
}

// The sectors of a new file, in the order they are written.
struct Layout {
    std::vector<std::uint32_t> start; // of each stream: a sector, a mini sector or none
    std::vector<std::uint64_t> size;
    std::uint32_t miniSectors = 0;
    std::uint32_t miniStream = EndOfChain;
    std::uint32_t directory = 0, directoryCount = 0;
    std::uint32_t miniFat = EndOfChain, miniFatCount = 0;
    std::uint32_t fat = 0, fatCount = 0;
    std::uint32_t difat = EndOfChain, difatCount = 0;
};

// A stream's buffer: a large one mapped with its pages filled in at once (see big_memory.h).
struct Release {
    std::size_t size = 0;
    void operator()(std::uint8_t* p) const {
        if (size >= BigFrom)
            unmapBig(p, size);
        else
            delete[] p;
    }
};
std::unique_ptr<std::uint8_t[], Release> allocate(std::size_t size) {
    if (size >= BigFrom)
        return {static_cast<std::uint8_t*>(mapBig(size, true)), Release{size}};
    return {new std::uint8_t[std::max<std::size_t>(size, 1)], Release{size}};
}

} // namespace

struct CompoundImage::Impl {
    QString path;
    int fd = -1;                      // of the file, while it is read
    std::vector<std::uint8_t> memory; // or the bytes given
    std::uint64_t fileSize = 0;
    std::array<std::uint8_t, HeaderSize> header{};
    bool version4 = false;
    std::size_t sectorSize = 512;
    std::size_t sectors = 0; // after the header, the last one possibly cut short
    std::vector<std::uint32_t> fat;
    std::vector<std::uint8_t> directory; // every entry as it came
    std::vector<std::uint32_t> miniFat;
    std::vector<std::uint8_t> miniStream; // while the streams are read
    struct StreamEntry {
        std::uint32_t entry;
        std::uint64_t size;
        std::unique_ptr<std::uint8_t[], Release> bytes;
        Span content() const { return {bytes.get(), static_cast<std::size_t>(size)}; }
    };
    std::vector<StreamEntry> streams; // the streams of the directory tree
    int workbookIndex = -1;
    int editedIndex = -1; // the stream a save writes from its pieces
    bool oldWorkbook = false;
    // Who holds each sector and each mini sector while the file is read: 0 nobody, else
    // 1 + the owner (a stream's entry, or TablesOwner for the file's own tables).
    mutable std::vector<std::uint32_t> sectorOwner, miniOwner;
    static constexpr std::uint32_t TablesOwner = 0xFFFFFFF0;

    [[noreturn]] void fail(Reason reason) const {
        throw Error(Error::Kind::Damaged, path, reasonText(reason));
    }
    const std::uint8_t* entry(std::uint32_t id) const { return &directory[id * EntrySize]; }
    std::size_t entryCount() const { return directory.size() / EntrySize; }
    std::uint64_t entrySize(const std::uint8_t* e) const {
        return version4 ? le64(e + 120) : le32(e + 120);
    }

    void parse();
    void readAt(std::uint64_t offset, std::size_t n, std::uint8_t* into) const;
    void readHeader();
    void readFat(std::uint32_t count, std::uint32_t firstDifat, std::uint32_t difatCount);
    std::vector<std::uint32_t> chain(std::uint32_t start, const std::vector<std::uint32_t>& table,
                                     std::size_t limit) const;
    void readSectors(const std::vector<std::uint32_t>& ids, std::uint64_t size,
                     std::uint8_t* into) const;
    std::vector<std::uint32_t> readTable(std::uint32_t first) const;
    void readDirectory(std::uint32_t first);
    void readMiniStream(std::uint32_t firstMiniFat);
    void walkTree();
    void readStream(std::uint32_t id);
    void findWorkbook(const std::vector<std::uint32_t>& topStreams);
    void claim(std::vector<std::uint32_t>& owners, const std::vector<std::uint32_t>& ids,
               std::uint32_t owner) const;

    Layout plan(std::uint64_t workbookSize) const;
    void writeSectors(Sink& sink, const Layout& l, const Pieces& pieces,
                      std::vector<std::vector<std::uint8_t>>& buffers) const;
    std::vector<std::uint8_t> headerBytes(const Layout& l) const;
    std::vector<std::uint8_t> directoryBytes(const Layout& l) const;
    std::vector<std::uint8_t> miniStreamBytes(const Layout& l, const Pieces& pieces) const;
    std::vector<std::uint8_t> allocationBytes(const Layout& l, bool mini) const;
    std::vector<std::uint8_t> difatBytes(const Layout& l) const;
};

// ---------------------------------------------------------------------------------------
// Reading

void CompoundImage::Impl::parse() {
    readHeader();
    readDirectory(le32(&header[48]));
    readMiniStream(le32(&header[60]));
    walkTree();
    miniStream = {};
    sectorOwner = {};
    miniOwner = {};
}

// Marks `ids` as held by `owner`: a sector held twice (two streams, a stream and the
// directory, a FAT sector listed twice ...) means the file is damaged, whatever a reader
// would make of it.
void CompoundImage::Impl::claim(std::vector<std::uint32_t>& owners,
                                const std::vector<std::uint32_t>& ids, std::uint32_t owner) const {
    for (const std::uint32_t id : ids) {
        if (owners[id] != 0)
            fail(Reason::SectorShared);
        owners[id] = owner + 1;
    }
}

// `n` bytes of the file from `offset`, which must lie inside it.
void CompoundImage::Impl::readAt(std::uint64_t offset, std::size_t n, std::uint8_t* into) const {
    if (offset > fileSize || n > fileSize - offset)
        fail(Reason::EndsEarly);
    if (fd < 0) {
        std::memcpy(into, memory.data() + offset, n);
        return;
    }
    for (std::size_t done = 0; done < n;) {
        const ssize_t got = ::pread(fd, into + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            throw Error(Error::Kind::Io, path, reasonText(Reason::CannotRead));
        done += static_cast<std::size_t>(got);
    }
}

void CompoundImage::Impl::readHeader() {
    if (fileSize == 0)
        throw Error(Error::Kind::NotWorkbook, path, reasonText(Reason::EmptyFile));
    readAt(0, static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, HeaderSize)),
           header.data());
    const std::uint8_t* h = header.data();
    if (fileSize < sizeof Signature || std::memcmp(h, Signature, sizeof Signature) != 0)
        throw Error(Error::Kind::NotWorkbook, path, reasonText(Reason::NotWorkbook));
    if (fileSize < HeaderSize)
        fail(Reason::HeaderCut);
    const std::uint16_t major = le16(h + 26);
    const std::uint16_t shift = le16(h + 30);
    if (le16(h + 28) != 0xFFFE || !((major == 3 && shift == 9) || (major == 4 && shift == 12)) ||
        le16(h + 32) != 6 || le32(h + 56) != MiniCutoff)
        fail(Reason::HeaderDamaged);
    version4 = major == 4;
    sectorSize = std::size_t(1) << shift;
    if (fileSize < sectorSize)
        fail(Reason::HeaderCut);
    sectors = static_cast<std::size_t>(roundUp(fileSize - sectorSize, sectorSize));
    sectorOwner.assign(sectors, 0);
    readFat(le32(h + 44), le32(h + 68), le32(h + 72));
}

// The FAT: its first 109 sectors listed in the header, the others in the DIFAT sectors.
void CompoundImage::Impl::readFat(std::uint32_t count, std::uint32_t firstDifat,
                                  std::uint32_t difatCount) {
    if (count == 0 || count > sectors || difatCount > sectors)
        fail(Reason::ChainsDamaged);
    std::vector<std::uint32_t> ids;
    ids.reserve(count);
    for (std::size_t i = 0; i < HeaderFatIds && ids.size() < count; ++i)
        ids.push_back(le32(&header[76 + 4 * i]));
    const std::size_t perDifat = sectorSize / 4 - 1;
    std::vector<std::uint8_t> difat(sectorSize);
    std::uint32_t next = firstDifat;
    for (std::uint32_t k = 0; ids.size() < count; ++k) {
        if (k >= difatCount || next >= sectors)
            fail(Reason::ChainsDamaged);
        claim(sectorOwner, {next}, TablesOwner);
        readSectors({next}, sectorSize, difat.data());
        for (std::size_t i = 0; i < perDifat && ids.size() < count; ++i)
            ids.push_back(le32(&difat[4 * i]));
        next = le32(&difat[4 * perDifat]);
    }
    for (const std::uint32_t id : ids)
        if (id >= sectors)
            fail(Reason::ChainsDamaged);
    claim(sectorOwner, ids, TablesOwner);
    fat.resize(ids.size() * (sectorSize / 4));
    readSectors(ids, fat.size() * 4, reinterpret_cast<std::uint8_t*>(fat.data()));
    for (std::uint32_t& v : fat)
        v = qFromLittleEndian(v);
}

// The chain of sectors from `start` in `table`: every one below `limit`, at most `limit` of
// them (more means the chain loops).
std::vector<std::uint32_t> CompoundImage::Impl::chain(std::uint32_t start,
                                                      const std::vector<std::uint32_t>& table,
                                                      std::size_t limit) const {
    std::vector<std::uint32_t> out;
    for (std::uint32_t s = start; s != EndOfChain; s = table[s]) {
        if (!out.empty() && (s == FatSector || s == DifatSector))
            fail(Reason::SectorShared); // a chain running on through a FAT or DIFAT sector
        if (s >= table.size() || s >= limit || out.size() >= limit)
            fail(Reason::ChainsDamaged);
        out.push_back(s);
    }
    return out;
}

// The first `size` bytes of the sectors `ids` (each below `sectors`), read a run of
// neighbouring sectors at a time.
void CompoundImage::Impl::readSectors(const std::vector<std::uint32_t>& ids, std::uint64_t size,
                                      std::uint8_t* into) const {
    std::uint64_t done = 0;
    for (std::size_t k = 0; done < size;) {
        std::size_t run = 1;
        while (k + run < ids.size() && ids[k + run] == ids[k] + run &&
               run * sectorSize < size - done)
            ++run;
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(run * sectorSize, size - done));
        readAt((std::uint64_t(ids[k]) + 1) * sectorSize, n, into + done);
        done += n;
        k += run;
    }
}

// A table of sector numbers (the mini FAT) held in the chain from `first`.
std::vector<std::uint32_t> CompoundImage::Impl::readTable(std::uint32_t first) const {
    const std::vector<std::uint32_t> ids = chain(first, fat, sectors);
    claim(sectorOwner, ids, TablesOwner);
    std::vector<std::uint32_t> table(ids.size() * (sectorSize / 4));
    readSectors(ids, table.size() * 4, reinterpret_cast<std::uint8_t*>(table.data()));
    for (std::uint32_t& v : table)
        v = qFromLittleEndian(v);
    return table;
}

void CompoundImage::Impl::readDirectory(std::uint32_t first) {
    const std::vector<std::uint32_t> ids = chain(first, fat, sectors);
    if (ids.empty())
        fail(Reason::CompoundDamaged);
    claim(sectorOwner, ids, TablesOwner);
    directory.resize(ids.size() * sectorSize);
    readSectors(ids, directory.size(), directory.data());
    if (entry(0)[66] != Root)
        fail(Reason::CompoundDamaged);
}

void CompoundImage::Impl::readMiniStream(std::uint32_t firstMiniFat) {
    const std::uint8_t* root = entry(0);
    const std::uint64_t size = entrySize(root);
    if (size == 0)
        return;
    if (size > fileSize)
        fail(Reason::ChainsDamaged);
    const std::vector<std::uint32_t> ids = chain(le32(root + 116), fat, sectors);
    if (ids.size() * sectorSize < size)
        fail(Reason::ChainsDamaged);
    claim(sectorOwner, ids, TablesOwner);
    miniStream.resize(static_cast<std::size_t>(size));
    miniOwner.assign(miniStream.size() / MiniSectorSize, 0);
    readSectors(ids, size, miniStream.data());
    if (firstMiniFat != EndOfChain)
        miniFat = readTable(firstMiniFat);
}

// Every storage and stream reachable from the root, each once: an entry met twice means
// the directory loops back on itself.
void CompoundImage::Impl::walkTree() {
    std::vector<std::uint8_t> seen(entryCount(), 0);
    seen[0] = 1;
    std::vector<std::pair<std::uint32_t, bool>> pending{{le32(entry(0) + 76), true}};
    std::vector<std::uint32_t> topStreams; // streams right under the root
    while (!pending.empty()) {
        const auto [id, top] = pending.back();
        pending.pop_back();
        if (id == NoEntry)
            continue;
        if (id >= entryCount() || seen[id])
            fail(Reason::CompoundDamaged);
        seen[id] = 1;
        const std::uint8_t* e = entry(id);
        if (e[66] != Storage && e[66] != Stream)
            fail(Reason::CompoundDamaged);
        pending.emplace_back(le32(e + 68), top);
        pending.emplace_back(le32(e + 72), top);
        if (e[66] == Storage) {
            pending.emplace_back(le32(e + 76), false);
            continue;
        }
        if (top)
            topStreams.push_back(id);
        readStream(id);
    }
    findWorkbook(topStreams);
}

void CompoundImage::Impl::readStream(std::uint32_t id) {
    const std::uint8_t* e = entry(id);
    StreamEntry s{id, entrySize(e), nullptr};
    if (s.size > fileSize)
        fail(Reason::ChainsDamaged);
    s.bytes = allocate(static_cast<std::size_t>(s.size));
    if (s.size >= MiniCutoff) {
        const std::vector<std::uint32_t> ids = chain(le32(e + 116), fat, sectors);
        if (ids.size() < roundUp(s.size, sectorSize))
            fail(Reason::ChainsDamaged);
        claim(sectorOwner, ids, id);
        readSectors(ids, s.size, s.bytes.get());
    } else if (s.size > 0) {
        const std::vector<std::uint32_t> ids =
            chain(le32(e + 116), miniFat, miniStream.size() / MiniSectorSize);
        if (ids.size() < roundUp(s.size, MiniSectorSize))
            fail(Reason::ChainsDamaged);
        claim(miniOwner, ids, id);
        for (std::size_t k = 0, done = 0; done < s.size; ++k) {
            const std::size_t n = std::min<std::size_t>(s.size - done, MiniSectorSize);
            std::memcpy(s.bytes.get() + done, &miniStream[ids[k] * MiniSectorSize], n);
            done += n;
        }
    }
    streams.push_back(std::move(s));
}

void CompoundImage::Impl::findWorkbook(const std::vector<std::uint32_t>& topStreams) {
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const std::uint32_t id = streams[i].entry;
        if (std::find(topStreams.begin(), topStreams.end(), id) == topStreams.end())
            continue;
        if (isNamed(entry(id), u"Workbook"))
            workbookIndex = static_cast<int>(i);
        else if (isNamed(entry(id), u"Book"))
            oldWorkbook = true;
    }
    if (workbookIndex >= 0 && streams[static_cast<std::size_t>(workbookIndex)].size == 0)
        fail(Reason::CompoundDamaged);
    editedIndex = workbookIndex;
}

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

// ---------------------------------------------------------------------------------------

CompoundImage::CompoundImage(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}
CompoundImage::CompoundImage(CompoundImage&&) noexcept = default;
CompoundImage& CompoundImage::operator=(CompoundImage&&) noexcept = default;
CompoundImage::~CompoundImage() = default;

CompoundImage CompoundImage::read(const QString& path) {
    auto d = std::make_unique<Impl>();
    d->path = path;
    d->fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (d->fd < 0)
        throw Error(Error::Kind::Io, path,
                    reasonText(Reason::CannotOpen).arg(systemErrorText(errno, false)));
    struct Close {
        int fd;
        ~Close() { ::close(fd); }
    } close{d->fd};
    struct stat st {};
    if (::fstat(d->fd, &st) != 0 || st.st_size < 0)
        throw Error(Error::Kind::Io, path, reasonText(Reason::CannotRead));
    d->fileSize = static_cast<std::uint64_t>(st.st_size);
    d->parse();
    d->fd = -1;
    return CompoundImage(std::move(d));
}

CompoundImage CompoundImage::fromBytes(std::vector<std::uint8_t> bytes, const QString& path) {
    auto d = std::make_unique<Impl>();
    d->path = path;
    d->fileSize = bytes.size();
    d->memory = std::move(bytes);
    d->parse();
    d->memory = {};
    return CompoundImage(std::move(d));
}

CompoundImage CompoundImage::create(std::u16string_view streamName) {
    Q_ASSERT(!streamName.empty() && streamName.size() < 32);
    auto d = std::make_unique<Impl>();
    // One sector of four entries: the root, the stream, two unused. Red-black colours: both
    // black; no siblings; the root's child is the stream. Class ids and times stay zero.
    d->directory.assign(512, 0);
    auto entry = [&](std::uint32_t id, std::u16string_view name, std::uint8_t type) {
        std::uint8_t* e = &d->directory[id * EntrySize];
        for (std::size_t i = 0; i < name.size(); ++i)
            qToLittleEndian<std::uint16_t>(name[i], e + 2 * i);
        qToLittleEndian<std::uint16_t>(
            name.empty() ? 0 : static_cast<std::uint16_t>(2 * (name.size() + 1)), e + 64);
        e[66] = type;
        e[67] = type == Unused ? 0 : 1;
        set32(e + 68, NoEntry);
        set32(e + 72, NoEntry);
        set32(e + 76, NoEntry);
        set32(e + 116, type == Unused ? 0 : EndOfChain);
    };
    entry(0, u"Root Entry", Root);
    entry(1, streamName, Stream);
    entry(2, {}, Unused);
    entry(3, {}, Unused);
    set32(&d->directory[76], 1);
    d->streams.push_back({1, 0, nullptr});
    d->editedIndex = 0;
    if (streamName == u"Workbook")
        d->workbookIndex = 0;
    else if (streamName == u"Book")
        d->oldWorkbook = true;
    return CompoundImage(std::move(d));
}

CompoundFile::State CompoundImage::state() const {
    if (d->workbookIndex >= 0)
        return CompoundFile::State::Workbook;
    return d->oldWorkbook ? CompoundFile::State::OldWorkbook : CompoundFile::State::NoWorkbook;
}

std::span<const std::uint8_t> CompoundImage::workbook() const {
    if (d->workbookIndex < 0)
        return {};
    return d->streams[static_cast<std::size_t>(d->workbookIndex)].content();
}

namespace {
std::uint64_t totalSize(const CompoundImage::Pieces& pieces) {
    std::uint64_t n = 0;
    for (const Span piece : pieces)
        n += piece.size();
    return n;
}
} // namespace

std::vector<std::uint8_t> CompoundImage::bytes(const Pieces& pieces) const {
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
    replaceFile(path, [&](int fd) {
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
        if (error == 0 && ahead.started() && !written) {
            // Written elsewhere, the run may reach past the file's end.
            const off_t end = ::lseek(fd, 0, SEEK_CUR);
            if (end < 0 || ::ftruncate(fd, end) != 0)
                error = errno;
        }
        if (error != 0)
            throw Error(Error::Kind::Io, path,
                        reasonText(Reason::WriteFailed).arg(systemErrorText(error)));
    });
}

} // namespace workbook::detail
