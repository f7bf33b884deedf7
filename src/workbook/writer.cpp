// A new workbook's file: its stream in a new compound file of our own (compound_file.h: a
// stream under 4096 bytes in the mini stream, DIFAT sectors when the FAT outgrows the
// header), and the atomic replacement of the target file.

#include "workbook/aftercare.h"
#include "workbook/biff_writer.h"
#include "workbook/compound_file.h"
#include "workbook/file_io.h"
#include "workbook/readers.h"
#include "workbook/reasons.h"
#include "workbook/shared_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <unistd.h>

namespace workbook {

namespace {

QString systemReason(Reason what, int error) {
    return reasonText(what).arg(systemErrorText(error));
}

// A save's temporary file is named after its target: "." + the file's name + "." + six
// characters chosen by mkstemp.
QString temporaryPrefix(const QFileInfo& target) {
    return QStringLiteral(".") + target.fileName() + QStringLiteral(".");
}

// The temporary files alive in this process: a removal of leftovers (on the helper thread,
// after an earlier save) passes them over.
std::mutex liveLock;
std::set<QByteArray> live;

// A write that was cut off (the process killed, the power gone) leaves its temporary file
// beside the target; once the target is whole again, such leftovers of it are removed.
void removeLeftovers(const QFileInfo& target) {
    const QDir dir = target.absoluteDir();
    const QStringList names = dir.entryList({temporaryPrefix(target) + QStringLiteral("??????")},
                                            QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QString path = dir.filePath(name);
        const std::lock_guard<std::mutex> lock(liveLock);
        if (live.count(QFile::encodeName(path)) == 0)
            QFile::remove(path);
    }
}

} // namespace

namespace detail {

Replacement::Replacement(const QString& target) : m_target(target) {
    const QFileInfo info(target);
    if (!info.absoluteDir().exists())
        throw Error(Error::Kind::Io, target, reasonText(Reason::FolderMissing));
    if (info.isDir())
        throw Error(Error::Kind::Io, target, reasonText(Reason::IsFolder));
    m_name = QFile::encodeName(info.absolutePath() + u'/' + temporaryPrefix(info) +
                               QStringLiteral("XXXXXX"));
    {
        const std::lock_guard<std::mutex> lock(liveLock);
        m_fd = ::mkstemp(m_name.data());
        if (m_fd >= 0)
            live.insert(m_name);
    }
    if (m_fd < 0)
        throw Error(Error::Kind::Io, target, systemReason(Reason::CannotCreateTemporary, errno));
    ::fcntl(m_fd, F_SETFD, FD_CLOEXEC);
    // mkstemp makes the file private; give it the mode the target has or would get.
    makeShared(m_fd, target);
}

Replacement::~Replacement() {
    m_abandoned = true; // a file that is not to be renamed need not reach the disk
    if (m_flush.valid())
        m_flush.wait();
    if (m_fd >= 0)
        ::close(m_fd);
    const std::lock_guard<std::mutex> lock(liveLock);
    if (!m_committed)
        ::unlink(m_name.constData());
    live.erase(m_name);
}

void Replacement::beginCopy(int source, std::uint64_t size) {
    std::promise<int> copied;
    m_copied = copied.get_future();
    try {
        m_flush = std::async(std::launch::async,
                             [this, source, size, copied = std::move(copied)]() mutable {
                                 const int error = copy(source, size);
                                 ::close(source);
                                 copied.set_value(error);
                                 // The copy's flush begun here; commit() waits for all of it.
                                 if (error == 0 && !m_abandoned)
                                     ::fdatasync(m_fd);
                             });
    } catch (const std::system_error&) {
        ::close(source); // no thread: the save writes the whole file
        m_copied = {};
    }
}

// A MB at a time, in the kernel, each one's writeback begun as soon as it is copied.
int Replacement::copy(int source, std::uint64_t size) const {
    constexpr std::uint64_t Chunk = std::uint64_t{1} << 20;
    loff_t in = 0, out = 0;
    while (static_cast<std::uint64_t>(in) < size) {
        const auto want =
            static_cast<std::size_t>(std::min(Chunk, size - static_cast<std::uint64_t>(in)));
        const ssize_t n = ::copy_file_range(source, &in, m_fd, &out, want, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO; // the file got shorter while it was copied
        ::sync_file_range(m_fd, out - n, n, SYNC_FILE_RANGE_WRITE);
    }
    return 0;
}

bool Replacement::copied() {
    if (!m_copied.valid())
        return false;
    if (m_copied.get() == 0)
        return true;
    m_flush.wait();
    if (::ftruncate(m_fd, 0) != 0)
        throw Error(Error::Kind::Io, m_target, systemReason(Reason::WriteFailed, errno));
    return false;
}

void Replacement::commit() {
    int error = ::fsync(m_fd) == 0 ? 0 : errno;
    if (m_flush.valid())
        m_flush.wait();
    if (::close(m_fd) != 0 && error == 0)
        error = errno;
    m_fd = -1;
    if (error != 0)
        throw Error(Error::Kind::Io, m_target, systemReason(Reason::WriteFailed, error));
    // The old file, held open, outlives the rename: its blocks (for a day's workbook, freeing
    // them costs as much as writing it) are given back when the helper thread closes it.
    const QByteArray target = QFile::encodeName(m_target);
    const int old = ::open(target.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (::rename(m_name.constData(), target.constData()) != 0) {
        error = errno;
        if (old >= 0)
            ::close(old);
        throw Error(Error::Kind::Io, m_target, systemReason(Reason::CannotReplace, error));
    }
    m_committed = true;
    afterFolderSync([old, info = QFileInfo(m_target)] {
        if (old >= 0)
            ::close(old);
        removeLeftovers(info);
    });
}

void writeStreamFile(const std::vector<std::uint8_t>& stream, const QString& path,
                     const char* streamName) {
    const std::u16string name = QString::fromLatin1(streamName).toStdU16String();
    CompoundImage::create(name).save(path, {stream});
}

void replaceFile(const QString& path, const std::function<void(int fd)>& write) {
    settle();
    Replacement temp(path);
    write(temp.fd());
    temp.commit();
}
} // namespace detail

int syncFolder(const QString& folder) {
    const int dir =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return errno;
    const int error = ::fsync(dir) == 0 ? 0 : errno;
    ::close(dir);
    folderSynced();
    return error;
}

void writeBook(const Book& book, const QString& path) {
    try {
        biff::writeWorkbook(book, path);
    } catch (const Error& e) {
        if (!e.file().isEmpty())
            throw;
        throw Error(e.kind(), path, e.reason());
    }
}

} // namespace workbook
