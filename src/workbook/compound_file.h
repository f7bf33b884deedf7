#pragma once
// The compound file around a workbook, the only one of the product: read, made new and
// written by our own code, as the record-level editor and writeBook() use it:
// its header, FAT, DIFAT, mini FAT and directory checked against every lie they can tell,
// each stream read straight from the file into a buffer of its own (the workbook stream
// too, so that the editor works on it in place). A save lays out a new file in one pass:
// the directory entry for entry as it came (names, class ids, times, state bits, the tree),
// every other stream byte for byte, the workbook stream written piece by piece from the
// edited records, never assembled whole. A save into the file the editor opened writes only
// the sectors that change, in place, the old file whole until its new header is written
// (compound_file_patch.cpp).

#include "workbook/readers.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace workbook::detail {

class CompoundImage {
public:
    // Reads the compound file at `path`. Throws Error: Io when it cannot be read,
    // NotWorkbook when it is no compound file, Damaged when its structure lies (a header
    // out of range, a sector chain that loops or leaves the file, counts that do not match,
    // a directory that loops back on itself).
    // With Reading::Behind, the workbook stream is read on a helper thread once the rest is
    // read and checked: workbook() gives its buffer at once, waitFor() its bytes as they come.
    // ForSaving reads as Behind and opens the file for a save in place, when this account may
    // write it, so that the save writes only what changed; a header that such a save left
    // half written (a power cut) is first written again whole.
    enum class Reading { Whole, Behind, ForSaving };
    static CompoundImage read(const QString& path, Reading reading = Reading::Whole);
    // The same from bytes in memory; `path` names them in errors.
    static CompoundImage fromBytes(std::vector<std::uint8_t> bytes, const QString& path);
    // A new compound file (512-byte sectors) of one stream, named `streamName`, under the
    // root; bytes() and save() write that stream from their pieces.
    static CompoundImage create(std::u16string_view streamName = u"Workbook");

    CompoundImage(CompoundImage&&) noexcept;
    CompoundImage& operator=(CompoundImage&&) noexcept;
    ~CompoundImage();

    // Workbook, OldWorkbook or NoWorkbook.
    CompoundFile::State state() const;
    // The "Workbook" stream's bytes; empty when there is none.
    std::span<const std::uint8_t> workbook() const;
    // Waits until at least the first `bytes` bytes of the workbook stream are in (read
    // behind), and returns how many are: SIZE_MAX once all are. Throws the read's Error.
    std::size_t waitFor(std::size_t bytes) const;

    using Pieces = std::vector<std::span<const std::uint8_t>>;
    // The whole file with the workbook stream made of `pieces`, in order.
    std::vector<std::uint8_t> bytes(const Pieces& pieces) const;
    // Writes that file over `path` atomically, as writeBook() does. Throws Error (Io).
    void save(const QString& path, const Pieces& pieces) const;
    // Told a run of the workbook stream and where it lies in the stream, before the rest of
    // the stream is known: a long run is written at once, on a helper thread, and its
    // writeback to the disk begun, while the rest is laid out.
    using WriteAhead = std::function<void(std::span<const std::uint8_t> run, std::uint64_t at)>;
    // As save(), with the pieces given by `layOut` once the temporary file is open; the run
    // it tells its WriteAhead must come whole among them, at that place, to be written once.
    // An error thrown by `layOut` leaves the target untouched.
    void save(const QString& path,
              const std::function<Pieces(const WriteAhead& ahead)>& layOut) const;
    // Read ForSaving: the sector size of the file a save writes in place, 0 when it cannot.
    // A save keeps the file's sectors wherever the new workbook stream holds old bytes at the
    // same place within a sector; a layout that shifts the old bytes by a whole number of
    // sectors lets it keep most of them.
    std::size_t keptSectorSize() const;

private:
    struct Impl;
    explicit CompoundImage(std::unique_ptr<Impl> d);
    void writeAll(int fd, const QString& path,
                  const std::function<Pieces(const WriteAhead& ahead)>& layOut) const;
    std::unique_ptr<Impl> d;
};

// A file's replacement: a temporary file beside the target, made before it is filled, renamed
// over the target by commit(), removed unless it was. Throws Error (Io).
class Replacement {
public:
    explicit Replacement(const QString& target);
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    int fd() const { return m_fd; }
    // Flushes the file to disk and renames it over the target. Throws Error (Io).
    void commit();

private:
    QString m_target;
    QByteArray m_name;
    int m_fd = -1;
    bool m_committed = false;
};

// Fills a file through `write` (given the open descriptor of a temporary file beside the
// target), flushes it to disk and renames it over `path`. Throws Error (Io).
void replaceFile(const QString& path, const std::function<void(int fd)>& write);

} // namespace workbook::detail
