#include "records/journal.h"

#include "records/day_workbook.h"

#include "workbook/file_io.h"
#include "workbook/reasons.h"
#include "workbook/shared_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <array>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace records {
namespace {

// A row line starts with "R", a commit line with "C"; fields are separated by tabs, and the
// last field is the CRC-32 of everything before its tab, in eight upper-case hex digits.
constexpr char kRow = 'R';
constexpr char kCommit = 'C';
constexpr char kFailed = 'F'; // the store of the commit line before it did not happen
// How long the worker lets rows gather after the first one before it syncs them.
constexpr std::chrono::milliseconds kBatchPause(20);

std::uint32_t crc32(const QByteArray& bytes) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (const char b : bytes)
        c = table[(c ^ static_cast<std::uint8_t>(b)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// Texts typed by the operator may hold anything; tabs, line ends and backslashes are escaped.
QByteArray escaped(const QString& text) {
    QByteArray out;
    for (const char c : text.toUtf8()) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool unescape(const QByteArray& field, QString* text) {
    QByteArray out;
    for (qsizetype i = 0; i < field.size(); ++i) {
        char c = field[i];
        if (c == '\\') {
            if (++i == field.size())
                return false;
            switch (field[i]) {
            case '\\':
                c = '\\';
                break;
            case 't':
                c = '\t';
                break;
            case 'n':
                c = '\n';
                break;
            case 'r':
                c = '\r';
                break;
            default:
                return false;
            }
        }
        out += c;
    }
    *text = QString::fromUtf8(out);
    return true;
}

QByteArray sealed(QByteArray body) {
    const std::uint32_t check = crc32(body);
    body += '\t';
    body += QByteArray::number(check, 16).toUpper().rightJustified(8, '0');
    body += '\n';
    return body;
}

} // namespace

Journal::Journal(QString folder) : m_folder(std::move(folder)) {}

Journal::~Journal() {
    stopSyncer();
    closeFile();
}

QString Journal::fileName() {
    return QStringLiteral(".weighbridge-held-rows");
}

QString Journal::keptAsideName(int n) {
    return QStringLiteral("held-rows-damaged-%1.txt").arg(n);
}

QString Journal::path() const {
    return QDir(m_folder).filePath(fileName());
}

QByteArray Journal::rowLine(const HeldRow& row) {
    QByteArray body(1, kRow);
    for (const QString* f : {&row.date, &row.time, &row.carNo, &row.gross, &row.tare, &row.net}) {
        body += '\t';
        body += escaped(*f);
    }
    return sealed(body);
}

QByteArray Journal::commitLine(const QString& dayFile, const QString& sheet, int lastRow,
                               std::int64_t lastSerial, const QString& lastTime) {
    QByteArray body = QByteArray(1, kCommit) + '\t' + escaped(dayFile) + '\t' + escaped(sheet) +
                      '\t' + QByteArray::number(lastRow) + '\t' +
                      QByteArray::number(static_cast<qlonglong>(lastSerial));
    if (!lastTime.isEmpty())
        body += '\t' + escaped(lastTime);
    return sealed(body);
}

QByteArray Journal::failedLine() {
    return sealed(QByteArray(1, kFailed));
}

bool Journal::parseLine(const QByteArray& line, QList<QString>* fields) {
    const qsizetype tab = line.lastIndexOf('\t');
    if (tab < 0 || line.size() - tab - 1 != 8)
        return false;
    bool ok = false;
    const std::uint32_t check = line.mid(tab + 1).toUInt(&ok, 16);
    const QByteArray body = line.left(tab);
    if (!ok || check != crc32(body))
        return false;
    fields->clear();
    for (const QByteArray& part : body.split('\t')) {
        QString text;
        if (!unescape(part, &text))
            return false;
        fields->append(text);
    }
    const bool row = fields->front() == QString(QChar(kRow)) && fields->size() == 7;
    const bool commit =
        fields->front() == QString(QChar(kCommit)) && (fields->size() == 5 || fields->size() == 6);
    const bool failed = fields->front() == QString(QChar(kFailed)) && fields->size() == 1;
    return row || commit || failed;
}

namespace {

using Entry = QList<QString>; // the fields of one valid line

// The valid lines of a journal's text in their order; `damaged` counts the others. Whole
// lines end in a line feed; what follows the last one was cut off by the end of the run and
// is dropped, unless it is a complete line that lacks only its line feed.
std::vector<Entry> validEntries(const QByteArray& text, int& damaged) {
    QList<QByteArray> lines = text.split('\n');
    const QByteArray tail = lines.takeLast();
    std::vector<Entry> entries;
    for (const QByteArray& line : lines) {
        Entry e;
        if (line.isEmpty())
            continue; // the line feed written before a line after a failure
        if (Journal::parseLine(line, &e))
            entries.push_back(std::move(e));
        else
            ++damaged;
    }
    if (Entry e; !tail.isEmpty() && Journal::parseLine(tail, &e))
        entries.push_back(std::move(e));
    return entries;
}

bool is(const Entry& entry, char kind) {
    return entry[0] == QString(QChar(kind));
}

} // namespace

// The index of the first entry after the last commit line whose store shows in its
// workbook: every row before it is there. The store's last row has the time the commit line
// names; a commit line without one (written by an earlier version) stands for the last row
// line before it.
std::size_t Journal::firstUnstored(const std::vector<QList<QString>>& entries) const {
    for (std::size_t i = entries.size(); i-- > 0;) {
        if (!is(entries[i], kCommit) || (i + 1 < entries.size() && is(entries[i + 1], kFailed)))
            continue;
        if (const Entry& f = entries[i]; f.size() == 6) {
            if (workbookShows(QDir(m_folder).filePath(f[1]), f[2], f[3].toInt(), f[4].toLongLong(),
                              f[5]))
                return i + 1;
            continue;
        }
        for (std::size_t r = i; r-- > 0;) {
            if (!is(entries[r], kRow))
                continue;
            const Entry& f = entries[i];
            if (workbookShows(QDir(m_folder).filePath(f[1]), f[2], f[3].toInt(), f[4].toLongLong(),
                              entries[r][2]))
                return i + 1;
            break;
        }
    }
    return 0;
}

// The journal's text: empty when there is none; nothing when it cannot be read (it is then
// left as it is, never overwritten).
std::optional<QByteArray> Journal::readText() {
    QFile file(path());
    if (!file.exists())
        return QByteArray();
    if (QFileInfo(path()).isDir() || !file.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("读取"), QFileInfo(path()).isDir() ? EISDIR : errno);
        m_untouchable = true;
        return std::nullopt;
    }
    return file.readAll();
}

namespace {

// `bytes` as a new file `path`, its data and its name on the disk; 0 or the errno value of
// the step that failed (the file is then removed again).
int writeNewDurably(const QString& path, const QByteArray& bytes) {
    const QByteArray name = QFile::encodeName(path);
    const int fd =
        ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, workbook::sharedMode());
    if (fd < 0)
        return errno;
    workbook::makeShared(fd);
    int error = 0;
    for (qsizetype done = 0; done < bytes.size() && error == 0;) {
        const ssize_t n =
            ::write(fd, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n == 0 || errno != EINTR)
            error = n == 0 ? ENOSPC : errno;
    }
    if (error == 0 && ::fdatasync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0)
        error = workbook::syncFolder(QFileInfo(path).absolutePath());
    if (error != 0)
        ::unlink(name.constData());
    return error;
}

} // namespace

// A damaged journal is kept as it was, under a name of its own, and never removed. False
// when that fails: nothing may be rewritten while the damaged lines exist nowhere else, and
// no row of it is taken back (it would come back again at every start).
bool Journal::keepDamagedAside(Recovery& out, const QByteArray& text) {
    int n = 1;
    while (QFile::exists(QDir(m_folder).filePath(keptAsideName(n))))
        ++n;
    const QString aside = QDir(m_folder).filePath(keptAsideName(n));
    const int error = writeNewDurably(aside, text);
    if (error == 0) {
        out.keptAside = aside;
        return true;
    }
    m_error = QStringLiteral("无法另存损坏的数据日志 %1：%2；其中未保存的数据留在日志中，"
                             "下次启动本程序时恢复")
                  .arg(QDir::toNativeSeparators(aside), workbook::systemErrorText(error));
    m_untouchable = true;
    out.rows.clear();
    return false;
}

// The journal rewritten to hold exactly `rows`, whole beside it and renamed into place.
bool Journal::rewrite(const std::vector<HeldRow>& rows) {
    const QString fresh = path() + QStringLiteral(".new");
    QFile f(fresh);
    bool ok = f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    if (ok)
        workbook::makeShared(f.handle(), path());
    for (const HeldRow& row : rows)
        ok = ok && f.write(rowLine(row)) >= 0;
    ok = ok && f.flush() && ::fdatasync(f.handle()) == 0;
    f.close();
    if (ok && ::rename(QFile::encodeName(fresh).constData(),
                       QFile::encodeName(path()).constData()) == 0) {
        // Either journal holds the same rows: the old one may come back after a power cut
        // until the folder is synced, which does no harm.
        if (const int error = workbook::syncFolder(m_folder); error != 0) {
            fail(QStringLiteral("重写"), error);
            return false;
        }
        m_mayHoldRows = !rows.empty();
        return true;
    }
    fail(QStringLiteral("重写"), errno);
    QFile::remove(fresh);
    return false;
}

Journal::Recovery Journal::open() {
    Recovery out;
    const std::optional<QByteArray> text = readText();
    if (!text)
        return out;
    const std::vector<Entry> entries = validEntries(*text, out.damagedLines);
    for (std::size_t i = firstUnstored(entries); i < entries.size(); ++i) {
        const Entry& f = entries[i];
        if (is(f, kRow))
            out.rows.push_back({f[1], f[2], f[3], f[4], f[5], f[6]});
    }
    m_mayHoldRows = !out.rows.empty();
    if (out.damagedLines > 0 && !keepDamagedAside(out, *text))
        return out;
    // The journal of this run starts with the recovered rows.
    if (!text->isEmpty() && !rewrite(out.rows))
        return out;
    if (openForAppend())
        startSyncer();
    return out;
}

bool Journal::openForAppend() {
    const bool existed = ::access(QFile::encodeName(path()).constData(), F_OK) == 0;
    const int fd = workbook::openShared(path(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        fail(QStringLiteral("打开"), errno);
        return false;
    }
    // A journal made now holds rows after a power cut only once its name is on the disk.
    if (const int error = existed ? 0 : workbook::syncFolder(m_folder); error != 0) {
        ::close(fd);
        fail(QStringLiteral("创建"), error);
        return false;
    }
    m_fd = fd;
    m_error.clear();
    const std::lock_guard lock(m_mutex);
    m_syncError = 0;
    return true;
}

// The journal opened again from the start, after a write or a sync that failed. What the
// disk holds of it is uncertain then: its name (a sync of the folder may have failed) is
// brought to the disk again, and its end (the system may have dropped what it could not
// write, leaving bytes that end no line) is passed over by starting the next line on a line
// of its own.
bool Journal::reopen() {
    stopSyncer();
    closeFile();
    m_error.clear();
    if (!openForAppend())
        return false;
    if (const int error = workbook::syncFolder(m_folder); error != 0) {
        closeFile();
        fail(QStringLiteral("打开"), error);
        return false;
    }
    m_freshLine = true;
    startSyncer();
    return true;
}

bool Journal::isHealthy() const {
    return m_fd >= 0 && m_error.isEmpty() && syncError() == 0;
}

int Journal::syncError() const {
    const std::lock_guard lock(m_mutex);
    return m_syncError;
}

void Journal::onSyncFailed(std::function<void()> hook) {
    const std::lock_guard lock(m_mutex);
    m_syncFailed = std::move(hook);
}

// Truncated to nothing, on the disk.
bool Journal::emptyDurably() {
    if (::ftruncate(m_fd, 0) != 0 || ::fdatasync(m_fd) != 0) {
        fail(QStringLiteral("清空"), errno);
        return false;
    }
    m_mayHoldRows = false;
    m_freshLine = false;
    return true;
}

void Journal::closeFile() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

QString Journal::failText(const QString& what, int error) const {
    return QStringLiteral("%1 %2 失败：%3")
        .arg(what, QDir::toNativeSeparators(path()), workbook::systemErrorText(error));
}

void Journal::fail(const QString& what, int error) {
    m_error = failText(what, error);
}

QString Journal::lastError() const {
    if (m_error.isEmpty()) {
        if (const int error = syncError(); error != 0)
            return failText(QStringLiteral("同步"), error);
    }
    return m_error;
}

bool Journal::writeAll(const QByteArray& line) {
    const QByteArray bytes = m_freshLine ? '\n' + line : line;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(m_fd, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            // A partial line would read as damaged: cut it off again.
            if (done > 0) {
                struct stat st {};
                if (::fstat(m_fd, &st) == 0) [[maybe_unused]]
                    const int r = ::ftruncate(m_fd, st.st_size - done);
            }
            fail(QStringLiteral("写入"), error);
            return false;
        }
        done += n;
    }
    m_freshLine = false;
    markWritten();
    return true;
}

void Journal::markWritten() {
    bool first = false;
    {
        const std::lock_guard lock(m_mutex);
        first = m_written == m_onDisk;
        ++m_written;
    }
    // Only the first row after a sync wakes the worker; later ones ride on its sync.
    if (first)
        m_wake.notify_one();
}

bool Journal::append(const HeldRow& row) {
    if (!isHealthy())
        return false;
    if (!writeAll(rowLine(row)))
        return false;
    m_mayHoldRows = true;
    return true;
}

bool Journal::beginStore(const QString& dayFile, const QString& sheet, int lastRow,
                         std::int64_t lastSerial, const QString& lastTime) {
    if (m_untouchable)
        return true; // the file holds none of the rows this run holds
    if (!isHealthy())
        reopen();
    if (isHealthy() && writeAll(commitLine(dayFile, sheet, lastRow, lastSerial, lastTime)) &&
        waitSynced())
        return true;
    // Without its commit line the journal must not hold the rows when the workbook does; nor
    // may it be emptied now, before the workbook holds them (a power cut in the store would
    // leave them nowhere).
    return !m_mayHoldRows;
}

void Journal::storeFailed() {
    if (isHealthy())
        writeAll(failedLine());
}

bool Journal::clear() {
    if (m_untouchable)
        return false;
    // After a failure, try again from the start: the cause may be gone.
    if (!isHealthy() && !reopen())
        return false;
    return emptyDurably();
}

bool Journal::waitSynced(bool now) {
    std::unique_lock lock(m_mutex);
    if (!m_syncer.joinable())
        return m_syncError == 0;
    const std::uint64_t target = m_written;
    if (now) {
        m_urgent = true;
        m_wake.notify_one();
    }
    m_synced.wait(lock, [&] { return m_onDisk >= target || m_stop; });
    return m_syncError == 0;
}

std::uint64_t Journal::syncCount() const {
    const std::lock_guard lock(m_mutex);
    return m_syncs;
}

void Journal::startSyncer() {
    m_stop = false;
    m_syncer = std::thread([this] { syncLoop(); });
}

void Journal::stopSyncer() {
    if (!m_syncer.joinable())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_syncer.join();
}

void Journal::syncLoop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return m_written > m_onDisk || m_stop; });
        if (m_written == m_onDisk && m_stop)
            break;
        // Rows coming in the next moments share this sync; a store or the end of the run
        // does not wait for the pause.
        m_wake.wait_for(lock, kBatchPause, [&] { return m_urgent || m_stop; });
        m_urgent = false;
        const std::uint64_t target = m_written;
        lock.unlock();
        const int error = ::fdatasync(m_fd) == 0 ? 0 : errno;
        lock.lock();
        // After a failed sync the system may have dropped the rows it could not write (and
        // marked them clean): they count as in memory only from now on.
        // Told before any waiter learns of it.
        if (error != 0 && std::exchange(m_syncError, error) == 0 && m_syncFailed) {
            const std::function<void()> hook = m_syncFailed;
            lock.unlock();
            hook();
            lock.lock();
        }
        m_onDisk = target;
        ++m_syncs;
        m_synced.notify_all();
    }
}

} // namespace records
