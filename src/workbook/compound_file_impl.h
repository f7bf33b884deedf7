#pragma once
// What the compound file's reading (compound_file.cpp) and writing (compound_file_write.cpp)
// share: the format's constants, the layout of a new file, and the file as it was read.

#include "workbook/big_memory.h"
#include "workbook/byte_runs.h"
#include "workbook/compound_file.h"
#include "workbook/reasons.h"

#include <QString>
#include <QtEndian>

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace workbook::detail {

namespace cfb {

inline constexpr std::uint32_t EndOfChain = 0xFFFFFFFE;
inline constexpr std::uint32_t FreeSector = 0xFFFFFFFF;
inline constexpr std::uint32_t FatSector = 0xFFFFFFFD;
inline constexpr std::uint32_t DifatSector = 0xFFFFFFFC;
inline constexpr std::uint32_t NoEntry = 0xFFFFFFFF;
inline constexpr std::size_t HeaderSize = 512;
inline constexpr std::size_t HeaderFatIds = 109;
inline constexpr std::size_t EntrySize = 128;
inline constexpr std::size_t MiniSectorSize = 64;
inline constexpr std::uint64_t MiniCutoff = 4096;
inline constexpr std::uint8_t Signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

enum EntryType : std::uint8_t { Unused = 0, Storage = 1, Stream = 2, Root = 5 };

inline std::uint16_t le16(const std::uint8_t* p) {
    return qFromLittleEndian<std::uint16_t>(p);
}
inline std::uint32_t le32(const std::uint8_t* p) {
    return qFromLittleEndian<std::uint32_t>(p);
}
inline std::uint64_t le64(const std::uint8_t* p) {
    return qFromLittleEndian<std::uint64_t>(p);
}
inline void set32(std::uint8_t* p, std::uint32_t v) {
    qToLittleEndian(v, p);
}

inline std::uint64_t roundUp(std::uint64_t n, std::uint64_t unit) {
    return (n + unit - 1) / unit;
}

// A directory entry's name is `name` exactly (UTF-16, with its terminating zero counted).
inline bool isNamed(const std::uint8_t* entry, std::u16string_view name) {
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
// Read behind (`fill` false), its pages come in as the helper reads into them.
inline std::unique_ptr<std::uint8_t[], Release> allocate(std::size_t size, bool fill = true) {
    if (size >= BigFrom)
        return {static_cast<std::uint8_t*>(mapBig(size, fill)), Release{size}};
    return {new std::uint8_t[std::max<std::size_t>(size, 1)], Release{size}};
}

} // namespace cfb

using namespace cfb;

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
    std::vector<std::uint32_t> fatIds, difatIds, directoryIds; // the sectors they lie in
    std::vector<std::uint8_t> directory;                       // every entry as it came
    std::vector<std::uint32_t> miniFat;
    std::vector<std::uint8_t> miniStream; // while the streams are read
    struct StreamEntry {
        std::uint32_t entry;
        std::uint64_t size;
        std::unique_ptr<std::uint8_t[], Release> bytes;
        std::vector<std::uint32_t> ids; // of a big stream, its sectors in order
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
    // Reading the workbook stream behind the caller: its sectors, read on a helper thread
    // (which owns `fd` then) once the rest is read; how many of its bytes are in.
    bool behind = false;
    std::size_t behindStream = 0;
    std::vector<std::uint32_t> behindIds;
    std::atomic<std::size_t> ready{SIZE_MAX};
    mutable std::exception_ptr behindError;
    // Read ForSaving: the file as it was read (its identity, size and time), and a
    // descriptor to write into it in place (see compound_file_patch.cpp), -1 when there is
    // none; given up by the first save.
    struct stat opened {};
    struct Descriptor {
        int fd = -1;
        Descriptor() = default;
        Descriptor(const Descriptor&) = delete;
        Descriptor& operator=(const Descriptor&) = delete;
        ~Descriptor() { reset(); }
        void reset() {
            if (fd >= 0)
                ::close(fd);
            fd = -1;
        }
    };
    mutable Descriptor update;

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
    void readStream(std::uint32_t id, bool top);
    void findWorkbook(const std::vector<std::uint32_t>& topStreams);
    void claim(std::vector<std::uint32_t>& owners, const std::vector<std::uint32_t>& ids,
               std::uint32_t owner) const;
    void readBehind();
    void openForUpdate();
    void repairHeader() const;

    Layout plan(std::uint64_t workbookSize) const;
    void writeSectors(Sink& sink, const Layout& l, const Pieces& pieces,
                      std::vector<std::vector<std::uint8_t>>& buffers) const;
    std::vector<std::uint8_t> headerBytes(const Layout& l) const;
    std::vector<std::uint8_t> directoryBytes(const Layout& l) const;
    std::vector<std::uint8_t> miniStreamBytes(const Layout& l, const Pieces& pieces) const;
    std::vector<std::uint8_t> allocationBytes(const Layout& l, bool mini) const;
    std::vector<std::uint8_t> difatBytes(const Layout& l) const;
    // Writes the file in place, only the sectors that change, as a shadow of the old file
    // until its new header is written (see compound_file_patch.cpp): 0 or an errno value;
    // nothing, with nothing written, when the file cannot be kept.
    std::optional<int> saveInPlace(const Pieces& pieces) const;
    struct Patch;

    // Last, so that the helper is waited for before the buffer it fills goes.
    mutable std::future<void> reading;
};

} // namespace workbook::detail
