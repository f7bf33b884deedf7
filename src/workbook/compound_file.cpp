// The compound file ([MS-CFB]), the only one of the product: read, written and made new by
// our own code. Reading: the header, the FAT through the header's and the DIFAT sectors'
// lists, the directory, the mini FAT and the mini stream, then each stream of the directory
// tree straight from the file into a buffer of its own, a run of neighbouring sectors at a
// time; every sector claimed by one owner only (a FAT or DIFAT sector, the directory, the
// mini FAT, the mini stream, one stream), every mini sector by one stream; the workbook
// stream possibly read behind its reader on a helper thread. Writing: compound_file_write.cpp.

#include "workbook/compound_file_impl.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace workbook::detail {

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
        difatIds.push_back(next);
        readSectors({next}, sectorSize, difat.data());
        for (std::size_t i = 0; i < perDifat && ids.size() < count; ++i)
            ids.push_back(le32(&difat[4 * i]));
        next = le32(&difat[4 * perDifat]);
    }
    for (const std::uint32_t id : ids)
        if (id >= sectors)
            fail(Reason::ChainsDamaged);
    claim(sectorOwner, ids, TablesOwner);
    fatIds = ids;
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
    directoryIds = ids;
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
        readStream(id, top);
    }
    findWorkbook(topStreams);
}

void CompoundImage::Impl::readStream(std::uint32_t id, bool top) {
    const std::uint8_t* e = entry(id);
    StreamEntry s{id, entrySize(e), nullptr, {}};
    if (s.size > fileSize)
        fail(Reason::ChainsDamaged);
    s.bytes = allocate(static_cast<std::size_t>(s.size), !behind);
    if (s.size >= MiniCutoff) {
        const std::vector<std::uint32_t> ids = chain(le32(e + 116), fat, sectors);
        if (ids.size() < roundUp(s.size, sectorSize))
            fail(Reason::ChainsDamaged);
        claim(sectorOwner, ids, id);
        if (behind && top && behindIds.empty() && isNamed(e, u"Workbook")) {
            behindIds = ids; // read once the rest is
            behindStream = streams.size();
        } else {
            readSectors(ids, s.size, s.bytes.get());
        }
        s.ids = ids;
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

// Reads the workbook stream's sectors on a helper thread, a few hundred KB at a time, each
// part told in `ready` once it is in; on this thread when there is no other to be had.
void CompoundImage::Impl::readBehind() {
    const StreamEntry& target = streams[behindStream];
    const auto read = [this, &target] {
        struct Done {
            Impl* d;
            ~Done() {
                ::close(d->fd);
                d->fd = -1;
                d->ready.store(SIZE_MAX, std::memory_order_release);
                d->ready.notify_all();
            }
        } done{this};
        const std::size_t perPart = (std::size_t{256} << 10) / sectorSize;
        const auto size = static_cast<std::size_t>(target.size);
        for (std::size_t k = 0; k * sectorSize < size; k += perPart) {
            const auto first = behindIds.begin() + static_cast<std::ptrdiff_t>(k);
            const std::vector<std::uint32_t> ids(
                first,
                first + static_cast<std::ptrdiff_t>(std::min(perPart, behindIds.size() - k)));
            const std::size_t n = std::min(perPart * sectorSize, size - k * sectorSize);
            readSectors(ids, n, target.bytes.get() + k * sectorSize);
            ready.store(k * sectorSize + n, std::memory_order_release);
            ready.notify_all();
        }
    };
    ready.store(0);
    try {
        reading = std::async(std::launch::async, read);
    } catch (const std::system_error&) {
        read();
    }
}

// ---------------------------------------------------------------------------------------

CompoundImage::CompoundImage(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}
CompoundImage::CompoundImage(CompoundImage&&) noexcept = default;
CompoundImage& CompoundImage::operator=(CompoundImage&&) noexcept = default;
CompoundImage::~CompoundImage() = default;

CompoundImage CompoundImage::read(const QString& path, Reading reading) {
    auto d = std::make_unique<Impl>();
    d->path = path;
    d->behind = reading != Reading::Whole;
    d->fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (d->fd < 0)
        throw Error(Error::Kind::Io, path,
                    reasonText(Reason::CannotOpen).arg(systemErrorText(errno, false)));
    struct Close {
        Impl* d;
        ~Close() {
            if (d != nullptr)
                ::close(d->fd);
        }
    } close{d.get()};
    if (::fstat(d->fd, &d->opened) != 0 || d->opened.st_size < 0)
        throw Error(Error::Kind::Io, path, reasonText(Reason::CannotRead));
    if (reading == Reading::ForSaving) // a recorder's reading, not a viewer's
        d->repairHeader();
    d->fileSize = static_cast<std::uint64_t>(d->opened.st_size);
    d->parse();
    if (reading == Reading::ForSaving && d->workbookIndex >= 0 &&
        d->streams[static_cast<std::size_t>(d->workbookIndex)].size >= MiniCutoff)
        d->openForUpdate();
    if (!d->behindIds.empty() && static_cast<int>(d->behindStream) == d->workbookIndex) {
        close.d = nullptr; // the helper closes it
        d->readBehind();
    } else {
        if (!d->behindIds.empty()) // a second stream of that name was the workbook
            d->readSectors(d->behindIds, d->streams[d->behindStream].size,
                           d->streams[d->behindStream].bytes.get());
        ::close(d->fd);
        close.d = nullptr;
        d->fd = -1;
    }
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
    d->streams.push_back({1, 0, nullptr, {}});
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

std::size_t CompoundImage::waitFor(std::size_t bytes) const {
    for (;;) {
        const std::size_t now = d->ready.load(std::memory_order_acquire);
        if (now == SIZE_MAX) {
            try {
                if (d->reading.valid())
                    d->reading.get();
            } catch (...) {
                d->behindError = std::current_exception();
            }
            if (d->behindError) // the read's error, told to every wait
                std::rethrow_exception(d->behindError);
            return now;
        }
        if (now >= bytes)
            return now;
        d->ready.wait(now, std::memory_order_acquire);
    }
}

std::span<const std::uint8_t> CompoundImage::workbook() const {
    if (d->workbookIndex < 0)
        return {};
    return d->streams[static_cast<std::size_t>(d->workbookIndex)].content();
}

} // namespace workbook::detail
