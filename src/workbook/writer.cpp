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

// A write that was cut off (the process killed, the power gone) leaves its temporary file
// beside the target; once the target is whole again, such leftovers of it are removed.
void removeLeftovers(const QFileInfo& target) {
    const QDir dir = target.absoluteDir();
    const QStringList names = dir.entryList({temporaryPrefix(target) + QStringLiteral("??????")},
                                            QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names)
        QFile::remove(dir.filePath(name));
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
    m_fd = ::mkstemp(m_name.data());
    if (m_fd < 0)
        throw Error(Error::Kind::Io, target, systemReason(Reason::CannotCreateTemporary, errno));
    ::fcntl(m_fd, F_SETFD, FD_CLOEXEC);
    // mkstemp makes the file private; give it the mode the target has or would get.
    makeShared(m_fd, target);
}

Replacement::~Replacement() {
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_committed)
        ::unlink(m_name.constData());
}

void Replacement::commit() {
    int error = ::fsync(m_fd) == 0 ? 0 : errno;
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
