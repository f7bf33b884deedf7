// Reading workbooks: the compound file is opened by our own (compound_file.h) and its
// Workbook stream read by our BIFF8 reader, which also judges damage and encryption. FreeXL reads
// the workbooks of older BIFF versions (Excel 5 and 95), which ours leaves alone.

#include "workbook/biff_reader.h"
#include "workbook/compound_file.h"
#include "workbook/file_io.h"
#include "workbook/readers.h"
#include "workbook/reasons.h"

#include <QFile>
#include <QFileInfo>

#include <freexl.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <unistd.h>
#include <unordered_map>

namespace workbook {

namespace {

constexpr unsigned char CompoundFileSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// Whether the first bytes of a file read as text: no control characters but tabs, line and
// page breaks, and every byte above ASCII part of a UTF-8 or a GB18030 (GBK) character. Random
// bytes fail this within a few dozen bytes; a character cut off at the end still counts.
bool looksLikeText(const QByteArray& head) {
    const auto* p = reinterpret_cast<const unsigned char*>(head.constData());
    const qsizetype n = head.size();
    for (qsizetype i = 0; i < n; ++i)
        if ((p[i] < 0x20 && p[i] != '\t' && p[i] != '\n' && p[i] != '\r' && p[i] != '\f') ||
            p[i] == 0x7F)
            return false;
    const auto valid = [&](auto characterLength) {
        for (qsizetype i = 0; i < n;) {
            const int length = characterLength(i);
            if (length == 0)
                return false;
            i += length;
        }
        return true;
    };
    const auto utf8 = [&](qsizetype i) -> int {
        const unsigned char c = p[i];
        const int length = c < 0x80             ? 1
                           : (c & 0xE0) == 0xC0 ? 2
                           : (c & 0xF0) == 0xE0 ? 3
                           : (c & 0xF8) == 0xF0 ? 4
                                                : 0;
        if (length == 0 || (length == 2 && c < 0xC2))
            return 0;
        for (int k = 1; k < length; ++k)
            if (i + k < n && (p[i + k] & 0xC0) != 0x80)
                return 0;
        return length;
    };
    const auto gb = [&](qsizetype i) -> int {
        const unsigned char c = p[i];
        if (c < 0x80)
            return 1;
        if (c == 0x80 || c == 0xFF)
            return 0;
        if (i + 1 >= n)
            return 1;
        const unsigned char t = p[i + 1];
        if (t >= 0x30 && t <= 0x39) // a four-byte character
            return i + 3 >= n || (p[i + 2] >= 0x81 && p[i + 2] <= 0xFE && p[i + 3] >= 0x30 &&
                                  p[i + 3] <= 0x39)
                       ? 4
                       : 0;
        return t >= 0x40 && t <= 0xFE && t != 0x7F ? 2 : 0;
    };
    return valid(utf8) || valid(gb);
}

// Why the first bytes of a file that is not a compound file show it is no .xls workbook.
QString notCompoundFileReason(const QByteArray& head) {
    if (head.startsWith("PK\x03\x04"))
        return reasonText(Reason::ZipArchive);
    if (head.size() >= 4 && static_cast<unsigned char>(head[0]) == 0x09 &&
        (head[1] == 0x00 || head[1] == 0x02 || head[1] == 0x04 || head[1] == 0x08))
        return reasonText(Reason::OldFormat);
    if (looksLikeText(head))
        return reasonText(Reason::TextFile);
    return reasonText(Reason::NotWorkbook);
}

QString freexlReason(int code) {
    switch (code) {
    case FREEXL_INSUFFICIENT_MEMORY:
        return reasonText(Reason::OutOfMemory);
    case FREEXL_CFBF_READ_ERROR:
    case FREEXL_CFBF_SEEK_ERROR:
        return reasonText(Reason::EndsEarly);
    case FREEXL_INVALID_CFBF_HEADER:
    case FREEXL_CFBF_INVALID_SIGNATURE:
    case FREEXL_CFBF_INVALID_SECTOR_SIZE:
        return reasonText(Reason::HeaderDamaged);
    case FREEXL_CFBF_EMPTY_FAT_CHAIN:
    case FREEXL_CFBF_ILLEGAL_FAT_ENTRY:
    case FREEXL_INVALID_MINI_STREAM:
    case FREEXL_CFBF_ILLEGAL_MINI_FAT_ENTRY:
        return reasonText(Reason::ChainsDamaged);
    case FREEXL_BIFF_WORKBOOK_NOT_FOUND:
        return reasonText(Reason::NoWorkbookStream);
    case FREEXL_BIFF_INVALID_BOF:
        return reasonText(Reason::RecordsDamaged);
    case FREEXL_BIFF_INVALID_SST:
    case FREEXL_BIFF_ILLEGAL_SST_INDEX:
        return reasonText(Reason::SharedTextsDamaged);
    case FREEXL_INVALID_CHARACTER:
    case FREEXL_UNSUPPORTED_CHARSET:
        return reasonText(Reason::UnknownCharacterSet);
    case FREEXL_CRAFTED_FILE:
        return reasonText(Reason::BadlyDamaged);
    default:
        return reasonText(Reason::OtherReadError).arg(code);
    }
}

class FreeXlHandle {
public:
    ~FreeXlHandle() {
        if (m_handle != nullptr)
            freexl_close(m_handle);
    }
    const void** out() { return &m_handle; }
    const void* get() const { return m_handle; }

private:
    const void* m_handle = nullptr;
};

// Checks what comes before FreeXL: that the file is there, can be read, and starts as a
// compound file.
void checkFile(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists())
        throw Error(Error::Kind::Missing, path, reasonText(Reason::NoSuchFile));
    if (info.isDir())
        throw Error(Error::Kind::NotWorkbook, path, reasonText(Reason::IsFolder));
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Error(Error::Kind::Io, path,
                    reasonText(Reason::CannotOpen).arg(systemErrorText(errno, false)));
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw Error(Error::Kind::Io, path, reasonText(Reason::CannotRead));
    }
    const QByteArray head = file.read(512);
    if (head.isEmpty())
        throw Error(Error::Kind::NotWorkbook, path, reasonText(Reason::EmptyFile));
    if (head.size() < 8 || std::memcmp(head.constData(), CompoundFileSignature, 8) != 0)
        throw Error(Error::Kind::NotWorkbook, path, notCompoundFileReason(head));
    if (head.size() < 512)
        throw Error(Error::Kind::Damaged, path, reasonText(Reason::HeaderCut));
}

void readSheet(const void* handle, Sheet& sheet, const QString& path) {
    unsigned int rows = 0;
    unsigned short columns = 0;
    if (freexl_worksheet_dimensions(handle, &rows, &columns) != FREEXL_OK)
        throw Error(Error::Kind::Damaged, path,
                    reasonText(Reason::SheetUnreadable).arg(sheet.name()));
    // FreeXL hands out each shared string under one pointer, so every string is converted
    // and pooled once.
    std::unordered_map<const char*, std::uint32_t> pooled;
    sheet.reserveRows(static_cast<int>(std::min<unsigned int>(rows, MaxRows)));
    for (unsigned int r = 0; r < rows && r < MaxRows; ++r) {
        for (unsigned short c = 0; c < columns && c < MaxColumns; ++c) {
            FreeXL_CellValue value;
            if (freexl_get_cell_value(handle, r, c, &value) != FREEXL_OK)
                throw Error(
                    Error::Kind::Damaged, path,
                    reasonText(Reason::DamagedCell).arg(sheet.name()).arg(r + 1).arg(c + 1));
            const int row = static_cast<int>(r) + 1;
            const int column = c + 1;
            switch (value.type) {
            case FREEXL_CELL_INT:
                sheet.setNumber(row, column, value.value.int_value);
                break;
            case FREEXL_CELL_DOUBLE:
                if (std::isfinite(value.value.double_value))
                    sheet.setNumber(row, column, value.value.double_value);
                break;
            case FREEXL_CELL_TEXT:
            case FREEXL_CELL_SST_TEXT:
            case FREEXL_CELL_DATE:
            case FREEXL_CELL_DATETIME:
            case FREEXL_CELL_TIME: {
                const char* text = value.value.text_value;
                if (text == nullptr)
                    break;
                auto [it, fresh] = pooled.try_emplace(text, 0);
                if (fresh) {
                    QString s = QString::fromUtf8(text);
                    if (s.size() > MaxTextLength)
                        s.truncate(MaxTextLength);
                    it->second = sheet.addString(s);
                }
                sheet.setStringCell(row, column, it->second);
                break;
            }
            default:
                break;
            }
        }
    }
}

} // namespace

namespace detail {

CompoundFile openCompoundFile(const QString& path) {
    try {
        const CompoundImage image = CompoundImage::read(path);
        const std::span<const std::uint8_t> stream = image.workbook();
        return {image.state(), {stream.begin(), stream.end()}};
    } catch (const Error& e) {
        return {e.kind() == Error::Kind::Io ? CompoundFile::State::Unreadable
                                            : CompoundFile::State::Damaged,
                {}};
    }
}

Book readWithFreeXl(const QString& path) {
    checkFile(path);
    FreeXlHandle handle;
    const int rc = freexl_open(QFile::encodeName(path).constData(), handle.out());
    if (rc != FREEXL_OK)
        throw Error(Error::Kind::Damaged, path, freexlReason(rc));
    if (handle.get() == nullptr) // FreeXL can report success without a workbook
        throw Error(Error::Kind::Damaged, path, reasonText(Reason::NoReadableWorkbook));

    unsigned int info = 0;
    if (freexl_get_info(handle.get(), FREEXL_BIFF_PASSWORD, &info) == FREEXL_OK &&
        info == FREEXL_BIFF_OBFUSCATED)
        throw Error(Error::Kind::Encrypted, path, reasonText(Reason::PasswordProtected));
    unsigned int sheets = 0;
    if (freexl_get_info(handle.get(), FREEXL_BIFF_SHEET_COUNT, &sheets) != FREEXL_OK)
        throw Error(Error::Kind::Damaged, path, reasonText(Reason::SheetsUnreadable));
    if (sheets == 0)
        throw Error(Error::Kind::Damaged, path, reasonText(Reason::NoWorksheet));

    Book book;
    for (unsigned int i = 0; i < sheets; ++i) {
        const char* name = nullptr;
        if (freexl_get_worksheet_name(handle.get(), static_cast<unsigned short>(i), &name) !=
                FREEXL_OK ||
            freexl_select_active_worksheet(handle.get(), static_cast<unsigned short>(i)) !=
                FREEXL_OK)
            throw Error(Error::Kind::Damaged, path,
                        reasonText(Reason::SheetNumberUnreadable).arg(i + 1));
        Sheet& sheet = book.appendSheet(name != nullptr ? QString::fromUtf8(name) : QString());
        readSheet(handle.get(), sheet, path);
    }
    return book;
}

void throwUnlessWorkbook(CompoundFile::State state, const QString& path) {
    switch (state) {
    case CompoundFile::State::Unreadable:
        throw Error(Error::Kind::Io, path, reasonText(Reason::CannotRead));
    case CompoundFile::State::Damaged:
        throw Error(Error::Kind::Damaged, path, reasonText(Reason::CompoundDamaged));
    case CompoundFile::State::NoWorkbook:
        throw Error(Error::Kind::NotWorkbook, path, reasonText(Reason::OfficeFileWithoutWorkbook));
    case CompoundFile::State::OldWorkbook:
    case CompoundFile::State::Workbook:
        break;
    }
}

} // namespace detail

namespace {

// The workbook at `path` read by our reader as `reading` asks, or by FreeXL for an older
// version; `look`, when given, is filled from the same stream.
Book readWorkbook(const QString& path, biff::CellReading reading, BookLook* look) {
    checkFile(path);
    std::optional<detail::CompoundImage> image;
    image.emplace(detail::CompoundImage::read(path));
    const detail::CompoundFile::State state = image->state();
    detail::throwUnlessWorkbook(state, path);
    if (state == detail::CompoundFile::State::OldWorkbook)
        return detail::readWithFreeXl(path);
    biff::StreamResult result = biff::readStream(image->workbook(), reading);
    if (look != nullptr && result.verdict == biff::StreamResult::Verdict::Read)
        *look = biff::readLook(image->workbook());
    image.reset();
    switch (result.verdict) {
    case biff::StreamResult::Verdict::Read:
        return std::move(*result.book);
    case biff::StreamResult::Verdict::Encrypted:
        throw Error(Error::Kind::Encrypted, path, reasonText(Reason::PasswordProtected));
    case biff::StreamResult::Verdict::Damaged:
        throw Error(Error::Kind::Damaged, path, reasonText(Reason::Damaged).arg(result.reason));
    case biff::StreamResult::Verdict::Unsupported:
        break;
    }
    return detail::readWithFreeXl(path);
}

} // namespace

Book readBook(const QString& path) {
    return readWorkbook(path, biff::CellReading::Store, nullptr);
}

ViewedBook readForViewing(const QString& path) {
    ViewedBook viewed;
    viewed.book = readWorkbook(path, biff::CellReading::Viewer, &viewed.look);
    for (int i = 0; i < viewed.book.sheetCount(); ++i) // shown, never added to
        viewed.book.sheet(i).releaseTextIndex();
    // A look that does not match the sheets (a file the look reader could not follow) is
    // left out: the sheets show plain.
    if (viewed.look.sheets.size() != viewed.book.sheets().size())
        viewed.look = BookLook();
    return viewed;
}

FileState fileState(const QString& path) {
    try {
        readBook(path);
        return FileState::Readable;
    } catch (const Error& e) {
        return e.kind() == Error::Kind::Missing ? FileState::Missing : FileState::Unreadable;
    }
}

} // namespace workbook
