// Reading workbooks: the compound file is opened with libgsf and its Workbook stream read by
// our BIFF8 reader, which also judges damage and encryption. FreeXL reads the workbooks of
// older BIFF versions (Excel 5 and 95), which ours leaves alone.

#include "platform/workbook/biff_reader.h"
#include "platform/workbook/file_io.h"
#include "platform/workbook/readers.h"

#include <QFile>
#include <QFileInfo>

#include <freexl.h>
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <unordered_map>

namespace workbook {

namespace {

constexpr unsigned char CompoundFileSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// Why the first bytes of a file that is not a compound file show it is no .xls workbook.
QString notCompoundFileReason(const QByteArray& head) {
    if (head.startsWith("PK\x03\x04"))
        return QStringLiteral("it is a zip archive (such as an .xlsx workbook), not an .xls "
                              "workbook");
    if (head.size() >= 4 && static_cast<unsigned char>(head[0]) == 0x09 &&
        (head[1] == 0x00 || head[1] == 0x02 || head[1] == 0x04 || head[1] == 0x08))
        return QStringLiteral("it is a workbook of an old spreadsheet format (before Excel 97)");
    bool text = true;
    for (const char c : head)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\r' && c != '\t')
            text = false;
    if (text)
        return QStringLiteral("it is a text file, not an .xls workbook");
    return QStringLiteral("it is not an .xls workbook");
}

QString freexlReason(int code) {
    switch (code) {
    case FREEXL_INSUFFICIENT_MEMORY:
        return QStringLiteral("there is not enough memory to read it");
    case FREEXL_CFBF_READ_ERROR:
    case FREEXL_CFBF_SEEK_ERROR:
        return QStringLiteral("the file ends too early or cannot be read");
    case FREEXL_INVALID_CFBF_HEADER:
    case FREEXL_CFBF_INVALID_SIGNATURE:
    case FREEXL_CFBF_INVALID_SECTOR_SIZE:
        return QStringLiteral("its compound-file header is damaged");
    case FREEXL_CFBF_EMPTY_FAT_CHAIN:
    case FREEXL_CFBF_ILLEGAL_FAT_ENTRY:
    case FREEXL_INVALID_MINI_STREAM:
    case FREEXL_CFBF_ILLEGAL_MINI_FAT_ENTRY:
        return QStringLiteral("its sector chains are damaged");
    case FREEXL_BIFF_WORKBOOK_NOT_FOUND:
        return QStringLiteral("it holds no workbook stream");
    case FREEXL_BIFF_INVALID_BOF:
        return QStringLiteral("its workbook records are damaged");
    case FREEXL_BIFF_INVALID_SST:
    case FREEXL_BIFF_ILLEGAL_SST_INDEX:
        return QStringLiteral("its shared strings are damaged");
    case FREEXL_INVALID_CHARACTER:
    case FREEXL_UNSUPPORTED_CHARSET:
        return QStringLiteral("it holds text in an unknown character set");
    case FREEXL_CRAFTED_FILE:
        return QStringLiteral("it is badly damaged");
    default:
        return QStringLiteral("it cannot be read as a workbook (FreeXL error %1)").arg(code);
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
        throw Error(Error::Kind::Missing, path, QStringLiteral("there is no such file"));
    if (info.isDir())
        throw Error(Error::Kind::NotWorkbook, path, QStringLiteral("it is a folder"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(Error::Kind::Io, path,
                    QStringLiteral("it cannot be opened (%1)").arg(file.errorString()));
    const QByteArray head = file.read(512);
    if (head.isEmpty())
        throw Error(Error::Kind::NotWorkbook, path, QStringLiteral("the file is empty"));
    if (head.size() < 8 || std::memcmp(head.constData(), CompoundFileSignature, 8) != 0)
        throw Error(Error::Kind::NotWorkbook, path, notCompoundFileReason(head));
    if (head.size() < 512)
        throw Error(Error::Kind::Damaged, path,
                    QStringLiteral("the file ends inside its compound-file header"));
}

void readSheet(const void* handle, Sheet& sheet, const QString& path) {
    unsigned int rows = 0;
    unsigned short columns = 0;
    if (freexl_worksheet_dimensions(handle, &rows, &columns) != FREEXL_OK)
        throw Error(Error::Kind::Damaged, path,
                    QStringLiteral("worksheet \"%1\" cannot be read").arg(sheet.name()));
    // FreeXL hands out each shared string under one pointer, so every string is converted
    // and pooled once.
    std::unordered_map<const char*, std::uint32_t> pooled;
    sheet.reserveRows(static_cast<int>(std::min<unsigned int>(rows, MaxRows)));
    for (unsigned int r = 0; r < rows && r < MaxRows; ++r) {
        for (unsigned short c = 0; c < columns && c < MaxColumns; ++c) {
            FreeXL_CellValue value;
            if (freexl_get_cell_value(handle, r, c, &value) != FREEXL_OK)
                throw Error(Error::Kind::Damaged, path,
                            QStringLiteral("worksheet \"%1\" has a damaged cell at row %2, "
                                           "column %3")
                                .arg(sheet.name())
                                .arg(r + 1)
                                .arg(c + 1));
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
    // libgsf warns on stderr about every damaged file it meets; the damage is reported as an
    // Error instead.
    static const guint quiet = g_log_set_handler(
        "libgsf:msole", static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL),
        [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    (void)quiet;
    struct Unref {
        void operator()(void* object) const { g_object_unref(object); }
    };
    GError* error = nullptr;
    std::unique_ptr<GsfInput, Unref> input(
        gsf_input_stdio_new(QFile::encodeName(path).constData(), &error));
    g_clear_error(&error);
    if (!input)
        return {CompoundFile::State::Unreadable, {}};
    const gsf_off_t fileSize = gsf_input_size(input.get());
    std::unique_ptr<GsfInfile, Unref> ole(gsf_infile_msole_new(input.get(), &error));
    g_clear_error(&error);
    if (!ole)
        return {CompoundFile::State::Damaged, {}};
    std::unique_ptr<GsfInput, Unref> stream(gsf_infile_child_by_name(ole.get(), "Workbook"));
    if (!stream) {
        std::unique_ptr<GsfInput, Unref> old(gsf_infile_child_by_name(ole.get(), "Book"));
        return {old ? CompoundFile::State::OldWorkbook : CompoundFile::State::NoWorkbook, {}};
    }
    const gsf_off_t size = gsf_input_size(stream.get());
    if (size <= 0 || size > fileSize)
        return {CompoundFile::State::Damaged, {}};
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (gsf_input_read(stream.get(), bytes.size(), bytes.data()) == nullptr)
        return {CompoundFile::State::Damaged, {}};
    return {CompoundFile::State::Workbook, std::move(bytes)};
}

namespace {

struct GUnref {
    void operator()(void* object) const { g_object_unref(object); }
};

// Reads the children of `storage` into `into`; false when a stream cannot be read whole.
bool readStorage(GsfInfile* storage, CompoundEntry& into, gsf_off_t fileSize, int depth) {
    if (depth > 32) // a directory that loops back on itself
        return false;
    const int count = gsf_infile_num_children(storage);
    for (int i = 0; i < count; ++i) {
        std::unique_ptr<GsfInput, GUnref> child(gsf_infile_child_by_index(storage, i));
        const char* name = gsf_infile_name_by_index(storage, i);
        if (!child || name == nullptr)
            return false;
        CompoundEntry& entry = into.children.emplace_back();
        entry.name = name;
        if (GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0) {
            entry.storage = true;
            if (GSF_IS_INFILE_MSOLE(child.get()))
                gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(child.get()), entry.classId.data());
            if (!readStorage(GSF_INFILE(child.get()), entry, fileSize, depth + 1))
                return false;
            continue;
        }
        const gsf_off_t size = gsf_input_size(child.get());
        if (size < 0 || size > fileSize)
            return false;
        if (size == 0)
            continue;
        // libgsf hands out the bytes in a buffer of its own: copied once, never cleared first.
        const guint8* bytes = gsf_input_read(child.get(), static_cast<std::size_t>(size), nullptr);
        if (bytes == nullptr)
            return false;
        entry.data.assign(bytes, bytes + size);
    }
    return true;
}

} // namespace

CompoundTree readCompoundTree(const QString& path) {
    CompoundTree tree{CompoundFile::State::Unreadable, {}};
    tree.root.storage = true;
    GError* error = nullptr;
    std::unique_ptr<GsfInput, GUnref> input(
        gsf_input_stdio_new(QFile::encodeName(path).constData(), &error));
    g_clear_error(&error);
    if (!input)
        return tree;
    const gsf_off_t fileSize = gsf_input_size(input.get());
    std::unique_ptr<GsfInfile, GUnref> ole(gsf_infile_msole_new(input.get(), &error));
    g_clear_error(&error);
    tree.state = CompoundFile::State::Damaged;
    if (!ole)
        return tree;
    gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(ole.get()), tree.root.classId.data());
    if (!readStorage(ole.get(), tree.root, fileSize, 0))
        return tree;
    tree.state = CompoundFile::State::NoWorkbook;
    for (const CompoundEntry& entry : tree.root.children) {
        if (entry.storage)
            continue;
        if (entry.name == "Workbook")
            tree.state =
                entry.data.empty() ? CompoundFile::State::Damaged : CompoundFile::State::Workbook;
        else if (entry.name == "Book" && tree.state == CompoundFile::State::NoWorkbook)
            tree.state = CompoundFile::State::OldWorkbook;
    }
    return tree;
}

Book readWithFreeXl(const QString& path) {
    checkFile(path);
    FreeXlHandle handle;
    const int rc = freexl_open(QFile::encodeName(path).constData(), handle.out());
    if (rc != FREEXL_OK)
        throw Error(Error::Kind::Damaged, path, freexlReason(rc));
    if (handle.get() == nullptr) // FreeXL can report success without a workbook
        throw Error(Error::Kind::Damaged, path, QStringLiteral("it holds no readable workbook"));

    unsigned int info = 0;
    if (freexl_get_info(handle.get(), FREEXL_BIFF_PASSWORD, &info) == FREEXL_OK &&
        info == FREEXL_BIFF_OBFUSCATED)
        throw Error(Error::Kind::Encrypted, path,
                    QStringLiteral("the workbook is protected by a password"));
    unsigned int sheets = 0;
    if (freexl_get_info(handle.get(), FREEXL_BIFF_SHEET_COUNT, &sheets) != FREEXL_OK)
        throw Error(Error::Kind::Damaged, path, QStringLiteral("its worksheets cannot be read"));
    if (sheets == 0)
        throw Error(Error::Kind::Damaged, path, QStringLiteral("it holds no worksheet"));

    Book book;
    for (unsigned int i = 0; i < sheets; ++i) {
        const char* name = nullptr;
        if (freexl_get_worksheet_name(handle.get(), static_cast<unsigned short>(i), &name) !=
                FREEXL_OK ||
            freexl_select_active_worksheet(handle.get(), static_cast<unsigned short>(i)) !=
                FREEXL_OK)
            throw Error(Error::Kind::Damaged, path,
                        QStringLiteral("worksheet %1 cannot be read").arg(i + 1));
        Sheet& sheet = book.appendSheet(name != nullptr ? QString::fromUtf8(name) : QString());
        readSheet(handle.get(), sheet, path);
    }
    return book;
}

} // namespace detail

Book readBook(const QString& path) {
    checkFile(path);
    detail::CompoundFile file = detail::openCompoundFile(path);
    switch (file.state) {
    case detail::CompoundFile::State::Unreadable:
        throw Error(Error::Kind::Io, path, QStringLiteral("it cannot be read"));
    case detail::CompoundFile::State::Damaged:
        throw Error(Error::Kind::Damaged, path,
                    QStringLiteral("its compound-file structure is damaged"));
    case detail::CompoundFile::State::NoWorkbook:
        throw Error(Error::Kind::NotWorkbook, path,
                    QStringLiteral("it is an Office file that holds no workbook"));
    case detail::CompoundFile::State::OldWorkbook:
        return detail::readWithFreeXl(path);
    case detail::CompoundFile::State::Workbook:
        break;
    }
    biff::StreamResult result = biff::readStream(file.stream);
    file.stream = {};
    switch (result.verdict) {
    case biff::StreamResult::Verdict::Read:
        return std::move(*result.book);
    case biff::StreamResult::Verdict::Encrypted:
        throw Error(Error::Kind::Encrypted, path,
                    QStringLiteral("the workbook is protected by a password"));
    case biff::StreamResult::Verdict::Damaged:
        throw Error(Error::Kind::Damaged, path, QStringLiteral("it is damaged: ") + result.reason);
    case biff::StreamResult::Verdict::Unsupported:
        break;
    }
    return detail::readWithFreeXl(path);
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
