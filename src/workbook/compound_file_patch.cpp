// A save into the file the editor read, in place: nothing the file as it stands uses is
// written over until the new header makes the new file the one there. A sector of the new
// workbook stream that holds old bytes at the same place within a sector keeps the old
// file's sector, and the stream's chain runs through it; the stream's other sectors, the
// directory's changed sector, the FAT and the DIFAT go into the sectors the old file leaves
// free, then after the file's end. The other streams, the mini stream and the mini FAT stay
// where they are. Once the new sectors are on the disk, the old and the new header are
// recorded beside the file, so that a header a power cut left half written is put back to
// the old one when the file is next read for a save, and then the new header is written over
// the old one. What the old stream, directory sector, FAT and DIFAT gave up is free for the
// next save.

#include "workbook/compound_file_impl.h"
#include "workbook/file_io.h"
#include "workbook/shared_files.h"

#include <QFile>
#include <QFileInfo>

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

int synced(int fd) {
    return ::fdatasync(fd) == 0 ? 0 : errno;
}

int writeAt(int fd, const std::uint8_t* p, std::size_t n, std::uint64_t at) {
    return writeHere(fd, {part(p, n)}, at);
}

// The record of the last header written in place, one for the folder: a mark, the file's
// device, inode and size once its new sectors were written, its old header and its new one,
// and a checksum of all that. A header that is neither (cut off by a power cut) is put back
// to the old one; a record whose mark is wiped is spent.
constexpr char RecordName[] = ".weighbridge-saved-header";
constexpr std::array<std::uint8_t, 8> RecordMark = {'W', 'B', 'H', 'E', 'A', 'D', '2', '\n'};
constexpr std::size_t OldAt = 32, NewAt = OldAt + HeaderSize;
constexpr std::size_t RecordSize = NewAt + HeaderSize + 8;
using Record = std::array<std::uint8_t, RecordSize>;
using Header = std::array<std::uint8_t, HeaderSize>;

QByteArray recordPath(const QString& file) {
    return QFile::encodeName(QFileInfo(file).absolutePath() + u'/' +
                             QString::fromLatin1(RecordName));
}

std::uint64_t checksum(const std::uint8_t* p, std::size_t n) { // FNV-1a, 64 bits
    std::uint64_t h = 0xcbf29ce484222325u;
    for (std::size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 0x100000001b3u;
    return h;
}

Record makeRecord(const struct stat& file, const Header& old, const Header& head) {
    Record r{};
    std::copy(RecordMark.begin(), RecordMark.end(), r.begin());
    qToLittleEndian<std::uint64_t>(file.st_dev, &r[8]);
    qToLittleEndian<std::uint64_t>(file.st_ino, &r[16]);
    qToLittleEndian<std::uint64_t>(static_cast<std::uint64_t>(file.st_size), &r[24]);
    std::copy(old.begin(), old.end(), r.begin() + OldAt);
    std::copy(head.begin(), head.end(), r.begin() + NewAt);
    qToLittleEndian(checksum(r.data(), RecordSize - 8), &r[RecordSize - 8]);
    return r;
}

// Whether `r` is a whole record of the file `file` as it is now.
bool recordsFile(const Record& r, const struct stat& file) {
    return std::equal(RecordMark.begin(), RecordMark.end(), r.begin()) &&
           le64(&r[RecordSize - 8]) == checksum(r.data(), RecordSize - 8) &&
           le64(&r[8]) == static_cast<std::uint64_t>(file.st_dev) &&
           le64(&r[16]) == static_cast<std::uint64_t>(file.st_ino) &&
           le64(&r[24]) == static_cast<std::uint64_t>(file.st_size);
}

// The new sectors are on the disk: both headers recorded in `record`, then the new one
// written into `out`. A save that fails must never take effect later (its rows are stored
// again): when the new header may have reached the file, the old one is put back. 0 or an
// errno value; `written` tells whether the header's write was begun.
int writeHeader(int out, int record, const Record& r, bool& written) {
    int error = writeAt(record, r.data(), r.size(), 0);
    if (error == 0)
        error = synced(record);
    if (error == 0) {
        written = true;
        error = writeAt(out, r.data() + NewAt, HeaderSize, 0);
        if (error == 0)
            error = synced(out);
        if (error != 0 && writeAt(out, r.data() + OldAt, HeaderSize, 0) == 0)
            synced(out);
    }
    static constexpr std::array<std::uint8_t, RecordMark.size()> wiped{};
    if (writeAt(record, wiped.data(), wiped.size(), 0) == 0 && error != 0)
        synced(record); // the record is spent; after a success it need not wait for the disk
    return error;
}

// The record beside `file` opened for writing, made (and its name flushed to the disk) when
// there is none yet; -1 when it cannot be.
int openRecord(const QString& file) {
    const QByteArray name = recordPath(file);
    const bool existed = ::access(name.constData(), F_OK) == 0;
    const int fd = openShared(QFile::decodeName(name), O_RDWR | O_CLOEXEC);
    if (fd >= 0 && !existed && syncFolder(QFileInfo(file).absolutePath()) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the file open as `fd` is still the one at `path` and as it was when it was read
// (`opened`: its inode, size and time to the nanosecond); `now` is what it is.
bool asRead(int fd, const QString& path, const struct stat& opened, struct stat& now) {
    struct stat there {};
    return ::fstat(fd, &now) == 0 && ::stat(QFile::encodeName(path).constData(), &there) == 0 &&
           now.st_ino == opened.st_ino && now.st_dev == opened.st_dev &&
           there.st_ino == opened.st_ino && there.st_dev == opened.st_dev &&
           now.st_size == opened.st_size && now.st_mtim.tv_sec == opened.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == opened.st_mtim.tv_nsec;
}

} // namespace

// One save in place: where each sector of the new workbook stream goes, the tables made for
// it, the sectors to write.
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
    std::vector<std::uint32_t> unused; // free in the old file, highest first
    std::uint64_t next = d.sectors;    // the first after the file's end
    std::uint32_t directorySector = 0; // the new place of the directory's changed sector
    std::vector<std::uint32_t> fat, difat;
    std::vector<std::uint8_t> fatBytes, difatBytes, dirSector;
    std::array<std::uint8_t, HeaderSize> head = d.header;
    std::map<std::uint32_t, std::vector<iovec>> writes; // every sector to write, by number

    std::uint32_t take() {
        if (unused.empty())
            return static_cast<std::uint32_t>(next++);
        const std::uint32_t s = unused.back();
        unused.pop_back();
        return s;
    }

    // The old sectors kept: each one once, where a piece of old bytes covers a whole new
    // sector from the start of an old one.
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
        for (std::size_t s = std::min(d.sectors, d.fat.size()); s-- > 0;)
            if (d.fat[s] == FreeSector)
                unused.push_back(static_cast<std::uint32_t>(s));
    }

    // The other sectors of the stream, the directory's changed one, then the FAT's and the
    // DIFAT's, in the sectors free in the old file, lowest first, then after the file's end.
    // The FAT covers every sector, its own and the DIFAT's included.
    void placeTheRest() {
        for (std::size_t j = 0; j < count; ++j)
            if (place[j] == FreeSector) {
                place[j] = take();
                fresh[j] = 1;
            }
        directorySector = take();
        std::uint64_t fats = std::max<std::uint64_t>(1, roundUp(next, per));
        std::uint64_t difats = 0;
        for (;; ++fats) {
            difats = fats > HeaderFatIds ? roundUp(fats - HeaderFatIds, per - 1) : 0;
            const std::uint64_t added =
                fats + difats > unused.size() ? fats + difats - unused.size() : 0;
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
    // in, the directory's chain run through the changed sector's new place; the DIFAT; the
    // header; the directory sector with the stream's new start and size.
    void makeTables() {
        std::vector<std::uint32_t> table = d.fat;
        table.resize(fat.size() * per, FreeSector);
        for (const std::vector<std::uint32_t>* gone : {&d.fatIds, &d.difatIds, &old.ids})
            for (const std::uint32_t s : *gone)
                table[s] = FreeSector;
        const std::size_t entryAt = old.entry * EntrySize;
        const std::size_t inDir = entryAt / S; // of the directory's sectors
        const std::uint32_t was = d.directoryIds[inDir];
        table[directorySector] = table[was];
        table[was] = FreeSector;
        if (inDir == 0)
            set32(&head[48], directorySector);
        else
            table[d.directoryIds[inDir - 1]] = directorySector;
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

        const auto sectorAt = static_cast<std::ptrdiff_t>(inDir * S);
        dirSector.assign(d.directory.begin() + sectorAt,
                         d.directory.begin() + sectorAt + static_cast<std::ptrdiff_t>(S));
        set32(&dirSector[entryAt % S + 116], place[0]);
        qToLittleEndian<std::uint64_t>(size, &dirSector[entryAt % S + 120]);
        writes[directorySector].push_back(part(dirSector.data(), S));
        for (std::size_t k = 0; k < fat.size(); ++k)
            writes[fat[k]].push_back(part(&fatBytes[k * S], S));
        for (std::size_t k = 0; k < difat.size(); ++k)
            writes[difat[k]].push_back(part(&difatBytes[k * S], S));
    }

    // The changed sectors, a run of neighbouring ones at a time; 0 or an errno value.
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

std::optional<int> CompoundImage::Impl::saveInPlace(const Pieces& pieces) const {
    if (update.fd < 0 || editedIndex < 0 || editedIndex != workbookIndex)
        return std::nullopt;
    const StreamEntry& old = streams[static_cast<std::size_t>(editedIndex)];
    std::uint64_t size = 0;
    for (const Span piece : pieces)
        size += piece.size();
    if (old.size < MiniCutoff || size < MiniCutoff || old.ids.empty())
        return std::nullopt;
    // The file must be the one read, as it was read: one that another program changed or
    // put in its place since is written whole.
    struct stat now {};
    if (!asRead(update.fd, path, opened, now))
        return std::nullopt;
    Patch patch(*this, old, pieces, size);
    patch.keepOld();
    patch.placeTheRest();
    if (patch.next >= 0xFFFFFFF0u)
        return std::nullopt;
    Descriptor record;
    record.fd = openRecord(path);
    if (record.fd < 0)
        return std::nullopt;
    patch.makeTables();
    const int out = update.fd;
    // Before the header is written the old file is untouched: what was added after its end
    // goes when the save fails.
    const auto untouched = [&](int failed) {
        if (::ftruncate(out, opened.st_size) == 0)
            synced(out);
        return failed;
    };
    int error = patch.write(out);
    if (error == 0)
        error = synced(out);
    if (error == 0 && ::fstat(out, &now) != 0)
        error = errno;
    if (error != 0) {
        update.reset();
        return untouched(error);
    }
    bool headerWritten = false;
    error = writeHeader(out, record.fd, makeRecord(now, header, patch.head), headerWritten);
    if (error != 0 && !headerWritten)
        untouched(error);
    update.reset();
    return error;
}

// The file that a save in place recorded, as it was recorded, with a header that is neither
// the old one nor the new one (a power cut while it was written): its old header is put back.
// The sectors it names are untouched until a later save, and the save that was cut off is
// made again from its held rows. The file is read as it is when it cannot be written.
void CompoundImage::Impl::repairHeader() const {
    const int in = ::open(recordPath(path).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return;
    Record r{};
    const bool whole = ::pread(in, r.data(), r.size(), 0) == static_cast<ssize_t>(r.size());
    ::close(in);
    Header now{};
    if (!whole || !recordsFile(r, opened) ||
        ::pread(fd, now.data(), now.size(), 0) != static_cast<ssize_t>(now.size()) ||
        std::equal(now.begin(), now.end(), r.begin() + OldAt) ||
        std::equal(now.begin(), now.end(), r.begin() + NewAt))
        return;
    Descriptor out;
    out.fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    if (out.fd >= 0 && writeAt(out.fd, r.data() + OldAt, HeaderSize, 0) == 0)
        ::fdatasync(out.fd); // its time changed: the save after it writes the file whole
}

// Read ForSaving: a descriptor to write into the file in place, when this account may; the
// file is left to the other operators' accounts as a file written whole would be.
void CompoundImage::Impl::openForUpdate() {
    update.fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    struct stat st {};
    if (update.fd >= 0 &&
        (::fstat(update.fd, &st) != 0 || st.st_ino != opened.st_ino || st.st_dev != opened.st_dev))
        update.reset();
    if (update.fd >= 0)
        shareIfOwned(update.fd, path);
}

std::size_t CompoundImage::keptSectorSize() const {
    return d->update.fd >= 0 ? d->sectorSize : 0;
}

} // namespace workbook::detail
