#include "workbook/reasons.h"

#include <cerrno>
#include <clocale>
#include <cstring>
#include <iterator>
#include <locale.h>

namespace workbook {

namespace {

using R = Reason;

// Every reason, in the order of the enumeration.
constexpr ReasonEntry Table[] = {
    {R::NoSuchFile, u"文件不存在"},
    {R::IsFolder, u"这是一个文件夹，不是文件"},
    {R::CannotOpen, u"无法打开文件（%1）"},
    {R::CannotRead, u"文件无法读取"},

    {R::EmptyFile, u"文件是空的，不是 .xls 工作簿"},
    {R::ZipArchive, u"这是一个压缩包（例如 .xlsx 工作簿），不是 .xls 工作簿"},
    {R::OldFormat, u"这是早期电子表格格式的工作簿，不是 .xls 工作簿"},
    {R::TextFile, u"这是一个文本文件，不是 .xls 工作簿"},
    {R::NotWorkbook, u"不是 .xls 工作簿（文件内容无法识别）"},
    {R::HeaderCut, u"文件已损坏：文件在其文件头中间结束"},
    {R::CompoundDamaged, u"文件已损坏：复合文件结构损坏"},
    {R::SectorShared, u"文件已损坏：复合文件的一个扇区同时属于两处"},
    {R::OfficeFileWithoutWorkbook, u"这是一个办公文档，但其中没有工作簿，不是 .xls 工作簿"},

    {R::OutOfMemory, u"内存不足，无法读取"},
    {R::EndsEarly, u"文件已损坏：文件提前结束或无法读取"},
    {R::HeaderDamaged, u"文件已损坏：复合文件头损坏"},
    {R::ChainsDamaged, u"文件已损坏：扇区链损坏"},
    {R::NoWorkbookStream, u"文件已损坏：其中没有工作簿数据"},
    {R::RecordsDamaged, u"文件已损坏：工作簿记录损坏"},
    {R::SharedTextsDamaged, u"文件已损坏：共享文本表损坏"},
    {R::UnknownCharacterSet, u"文件中的文本使用了无法识别的字符集"},
    {R::BadlyDamaged, u"文件已严重损坏"},
    {R::OtherReadError, u"无法作为工作簿读取（读取错误代码 %1）"},
    {R::NoReadableWorkbook, u"文件中没有可读取的工作簿"},
    {R::PasswordProtected, u"工作簿受密码保护"},
    {R::SheetsUnreadable, u"文件已损坏：工作表无法读取"},
    {R::NoWorksheet, u"文件已损坏：工作簿中没有工作表"},
    {R::SheetNumberUnreadable, u"文件已损坏：第 %1 个工作表无法读取"},
    {R::SheetUnreadable, u"文件已损坏：工作表“%1”无法读取"},
    {R::DamagedCell, u"文件已损坏：工作表“%1”第 %2 行第 %3 列的单元格损坏"},
    {R::Damaged, u"文件已损坏：%1"},

    {R::SheetOutsideStream, u"有工作表位于工作簿数据之外"},
    {R::StreamEndsEarly, u"工作簿数据在最后一条记录之前结束"},
    {R::RecordPastEnd, u"有记录超出了工作簿数据的末尾"},
    {R::CharacterSplit, u"文本中有字符被拆分在两条记录之间"},
    {R::TextPastRecords, u"有文本超出了其所在记录的末尾"},
    {R::TextPastRecord, u"有文本超出了其所在记录的末尾"},
    {R::NoStartRecord, u"工作簿数据不以起始记录开头"},
    {R::OlderVersion, u"这是早期版本的工作簿数据"},
    {R::NoGlobals, u"工作簿数据不以工作簿全局信息开头"},
    {R::GlobalsUnended, u"工作簿全局信息没有结束记录"},
    {R::NumberFormatShort, u"数字格式记录过短"},
    {R::CellFormatShort, u"单元格格式记录过短"},
    {R::SheetEntryShort, u"工作表目录记录过短"},
    {R::SheetNamePastRecord, u"工作表名称超出了其所在记录的末尾"},
    {R::CellRecordShort, u"单元格记录过短"},
    {R::CellBeyondLastColumn, u"有单元格位于第 256 列之后"},
    {R::CellFormatMissing, u"有单元格引用了不存在的单元格格式"},
    {R::SheetNoStartRecord, u"有工作表不以起始记录开头"},
    {R::SheetOfOtherKind, u"有工作表的起始记录表明它是另一种表"},
    {R::SharedTextMissing, u"有单元格引用了不存在的共享文本"},
    {R::NumberListLength, u"多数值记录的长度错误"},
    {R::TooManySheetsListed, u"列出的工作表多于一个工作簿所能容纳的数量"},

    {R::NoSuchCell, u"第 %1 行第 %2 列不是有效的单元格"},
    {R::RowBeyond, u"第 %1 行超出了一个工作表最多 65,536 行的范围"},
    {R::ColumnBeyond, u"第 %1 列超出了一个工作表最多 256 列的范围"},
    {R::CellTextTooLong, u"第 %1 行第 %2 列的文本有 %3 个字符，一个单元格最多容纳 32,767 个字符"},
    {R::CellNotANumber, u"第 %1 行第 %2 列：单元格不能保存无穷大或非数字的值"},
    {R::SheetNeedsName, u"工作表必须有名称"},
    {R::SheetNameTooLong, u"工作表名称“%1”超过了 %2 个字符"},
    {R::SheetNameCharacter, u"工作表名称“%1”中含有不允许的字符“%2”"},
    {R::SheetNameApostrophe, u"工作表名称“%1”以撇号开头或结尾"},
    {R::SheetNameTaken, u"工作簿中已有名为“%1”的工作表"},
    {R::NeedsSheet, u"工作簿至少要有一个工作表"},
    {R::TooManySheets, u"%1 个工作表超过了本程序可写入的 %2 个"},
    {R::TwoSheetsSameName, u"有两个工作表都名为“%1”"},
    {R::SheetTooLarge, u"工作表“%1”超出了 .xls 工作表的大小"},
    {R::SheetTextTooLong, u"工作表“%1”中有文本超过 32,767 个字符"},
    {R::NoSheetNamed, u"工作簿中没有名为“%1”的工作表"},
    {R::NoSheetNumber, u"工作簿中没有第 %1 个工作表"},

    {R::NeverSaved, u"新工作簿从未以文件名保存过"},

    {R::FolderMissing, u"所在的文件夹不存在"},
    {R::CannotCreateTemporary, u"无法在其旁边创建临时文件：%1"},
    {R::CannotWrite, u"无法写入：%1"},
    {R::WriteFailed, u"写入工作簿失败：%1"},
    {R::CannotReplace, u"无法替换原文件：%1"},

    {R::RowCounterInvalid, u"第 1 行的行计数“%1”不是有效的行号"},
    {R::CannotSetAside, u"无法将无法使用的文件改名保存为 %1"},

    {R::NotPlainWorksheet, u"“%1”不是普通工作表，不能写入"},
    {R::NotPlainWorksheetNumbered, u"第 %1 个工作表不是普通工作表，不能写入"},
    {R::TextTooLong, u"文本超过 32767 个字符"},
    {R::NoSuchTextNumber, u"没有编号为 %1 的文本"},
    {R::SheetLimitReached, u"工作表数量已达上限"},
    {R::CannotCopy, u"无法复制为 %1"},

    {R::NoSheetListed, u"工作簿中没有工作表"},
    {R::MultiCellLength, u"多单元格记录的长度有误"},
    {R::StartRecordShort, u"起始记录过短"},
    {R::SheetOlderVersion, u"工作表不是 97-2003 格式"},
    {R::SheetUnended, u"工作表没有结束记录"},
    {R::SheetsOverlap, u"两个工作表的记录相互重叠"},
    {R::StreamTooLarge, u"工作簿数据流过大"},
    {R::TwoSharedStringTables, u"工作簿有两个共享字符串表"},
    {R::SharedStringCountWrong, u"共享字符串表的计数与其内容不符"},
    {R::TooManyEmbeddedCharts, u"工作表中嵌套的图表过多"},
    {R::CellOutsideCellTable, u"有单元格记录不在工作表的单元格表中"},
    {R::DimensionsShort, u"工作表范围记录过短"},
    {R::RowRecordShort, u"行记录过短"},
    {R::RowsOutOfOrder, u"单元格表中的行次序颠倒"},
    {R::CellsOutOfOrder, u"单元格表中的单元格次序颠倒"},
    {R::RowBlocksOutOfOrder, u"单元格表中的行块次序颠倒"},
    {R::RowBlockUnended, u"单元格表中有不以行块索引记录结束的行块"},
    {R::IndexLength, u"行索引记录的长度有误"},
    {R::IndexPointsAstray, u"行索引记录指向的位置不是行块索引记录"},
    {R::NoCellFormats, u"工作簿中没有单元格格式记录"},
    {R::CellAnchorsSharedFormula, u"要写入的单元格是共享公式或数组公式的起点"},
    {R::NoDimensions, u"工作表“%1”没有范围记录"},
    {R::NoDimensionsNumbered, u"第 %1 个工作表没有范围记录"},
    {R::SheetIdsFull, u"工作表编号记录已满"},
    {R::TooManySharedStrings, u"共享字符串过多"},
    {R::IndexFull, u"行索引记录已满"},
    {R::EditsOverlap, u"编辑相互重叠"},

    {R::CannotSyncFolder, u"无法把文件夹中的更改写到磁盘：%1"},
    {R::OutOfMemoryStoring, u"内存不足，无法保存"},
    {R::StoreUnexpected, u"程序内部出错"},

    {R::ViewerNotStarted, u"查看窗口无法启动"},
};

constexpr bool inOrder() {
    for (std::size_t i = 0; i < std::size(Table); ++i)
        if (static_cast<std::size_t>(Table[i].reason) != i)
            return false;
    return Table[std::size(Table) - 1].reason == R::ViewerNotStarted;
}
static_assert(inOrder(), "the table lists every reason once, in the enumeration's order");

struct SystemError {
    int code;
    const char16_t* text;
};

// The system errors a store or a read meets in practice. The refusals that differ between
// reading and writing are answered by systemErrorText itself.
constexpr SystemError SystemErrors[] = {
    {ENOSPC, u"磁盘空间已满"},
    {EDQUOT, u"磁盘配额已用完"},
    {EROFS, u"文件系统是只读的"},
    {EFBIG, u"文件太大，超出了允许的大小"},
    {EIO, u"磁盘读写出错"},
    {ENOENT, u"文件或文件夹不存在"},
    {EBUSY, u"设备或文件正忙"},
    {ETXTBSY, u"文件正被其他程序使用"},
    {EEXIST, u"文件已存在"},
    {EISDIR, u"这是一个文件夹"},
    {ENOTDIR, u"路径中有一部分不是文件夹"},
    {ENAMETOOLONG, u"文件名太长"},
    {ELOOP, u"符号链接层数过多"},
    {EMFILE, u"打开的文件过多"},
    {ENFILE, u"系统中打开的文件过多"},
    {ENOMEM, u"内存不足"},
    {EINTR, u"操作被中断"},
    {EAGAIN, u"资源暂时不可用"},
    {EXDEV, u"不能跨文件系统改名"},
    {ENXIO, u"设备不存在"},
    {ENODEV, u"没有这个设备"},
    {EINVAL, u"参数无效"},
    {ESTALE, u"网络文件已失效"},
    {ETIMEDOUT, u"操作超时"},
    {EHOSTDOWN, u"网络主机已关闭"},
    {ENOLCK, u"无法给文件加锁"},
};

bool hasLatinWord(const QString& text) {
    int run = 0;
    for (const QChar c : text) {
        run = (c.unicode() < 0x80 && c.isLetter()) ? run + 1 : 0;
        if (run >= 2)
            return true;
    }
    return false;
}

// The C library's own text under a Chinese locale, where that locale is installed.
QString libraryText(int error) {
    static const locale_t chinese = newlocale(LC_ALL_MASK, "zh_CN.UTF-8", locale_t(nullptr));
    if (chinese == locale_t(nullptr))
        return {};
    const QString text = QString::fromUtf8(strerror_l(error, chinese));
    return hasLatinWord(text) ? QString() : text;
}

} // namespace

QString reasonText(Reason reason) {
    return QString::fromUtf16(Table[static_cast<std::size_t>(reason)].text);
}

std::span<const ReasonEntry> reasonTable() {
    return Table;
}

QString systemErrorText(int error, bool writing) {
    if (error == EACCES || error == EPERM)
        return writing ? QStringLiteral("没有写入权限") : QStringLiteral("没有读取权限");
    for (const SystemError& known : SystemErrors)
        if (known.code == error)
            return QString::fromUtf16(known.text);
    const QString library = libraryText(error);
    if (!library.isEmpty())
        return library;
    return QStringLiteral("系统错误，错误号 %1").arg(error);
}

} // namespace workbook
