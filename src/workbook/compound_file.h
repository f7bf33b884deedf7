#pragma once
// The compound file around a workbook, the only one of the product: read, made new and
// written by our own code, as the record-level editor and writeBook() use it:
// its header, FAT, DIFAT, mini FAT and directory checked against every lie they can tell,
// each stream read straight from the file into a buffer of its own (the workbook stream
// too, so that the editor works on it in place). A save lays out a new file in one pass:
// the directory entry for entry as it came (names, class ids, times, state bits, the tree),
// every other stream byte for byte, the workbook stream written piece by piece from the
// edited records, never assembled whole. A save over the file the editor opened goes into
// a copy of it begun at the opening, and writes only the sectors that change
// (compound_file_patch.cpp).

#include "workbook/readers.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
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
    // ForSaving reads as Behind and begins the save over `path` at once: its temporary file is
    // made a copy of the file, on another helper, so that the save writes only what changed.
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
    // Read ForSaving: the sector size of the copy a save over the file is begun in, 0 when
    // there is none. A save keeps the copy's sectors wherever the new workbook stream holds
    // old bytes at the same place within a sector; a layout that shifts the old bytes by a
    // whole number of sectors lets it keep most of them.
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
    const QString& target() const { return m_target; }
    // Copies the first `size` bytes of `source` (which it closes) into the file on a helper
    // thread, and begins its flush to the disk there, while the caller goes on.
    void beginCopy(int source, std::uint64_t size);
    // Waits for the copy: whether it was made; when it was not, the file is emptied.
    bool copied();
    // Flushes the file to disk and renames it over the target. Throws Error (Io).
    void commit();

private:
    int copy(int source, std::uint64_t size) const;

    QString m_target;
    QByteArray m_name;
    int m_fd = -1;
    bool m_committed = false;
    std::future<int> m_copied;
    std::future<void> m_flush;
    std::atomic<bool> m_abandoned{false};
};

// Fills a file through `write` (given the open descriptor of a temporary file beside the
// target), flushes it to disk and renames it over `path`. Throws Error (Io).
void replaceFile(const QString& path, const std::function<void(int fd)>& write);

} // namespace workbook::detail
