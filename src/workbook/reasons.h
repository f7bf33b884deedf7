#pragma once
// The reasons the workbook component and the day's store give for a failure, in the one
// language the operator reads. Every reason text lives in the table of reasons.cpp; a
// reason with particulars (a sheet's name, a row, a system error) has %1, %2 ... for them.

#include <QString>

#include <span>

namespace workbook {

enum class Reason {
    // Finding and opening the file
    NoSuchFile,
    IsFolder,
    CannotOpen, // %1: the system's error
    CannotRead,
    // What the first bytes show
    EmptyFile,
    ZipArchive,
    OldFormat,
    TextFile,
    NotWorkbook,
    HeaderCut,
    CompoundDamaged,
    SectorShared,
    OfficeFileWithoutWorkbook,
    // The older reader's verdicts
    OutOfMemory,
    EndsEarly,
    HeaderDamaged,
    ChainsDamaged,
    NoWorkbookStream,
    RecordsDamaged,
    SharedTextsDamaged,
    UnknownCharacterSet,
    BadlyDamaged,
    OtherReadError, // %1: the reader's error number
    NoReadableWorkbook,
    PasswordProtected,
    SheetsUnreadable,
    NoWorksheet,
    SheetNumberUnreadable, // %1: the sheet's number
    SheetUnreadable,       // %1: the sheet's name
    DamagedCell,           // %1 sheet, %2 row, %3 column
    Damaged,               // %1: what is damaged
    // What is damaged inside the workbook stream
    SheetOutsideStream,
    StreamEndsEarly,
    RecordPastEnd,
    CharacterSplit,
    TextPastRecords,
    TextPastRecord,
    NoStartRecord,
    OlderVersion,
    NoGlobals,
    GlobalsUnended,
    NumberFormatShort,
    CellFormatShort,
    SheetEntryShort,
    SheetNamePastRecord,
    CellRecordShort,
    CellBeyondLastColumn,
    CellFormatMissing,
    SheetNoStartRecord,
    SheetOfOtherKind,
    SharedTextMissing,
    NumberListLength,
    TooManySheetsListed,
    // Cells, sheets and names
    NoSuchCell,      // %1 row, %2 column
    RowBeyond,       // %1 row
    ColumnBeyond,    // %1 column
    CellTextTooLong, // %1 row, %2 column, %3 characters
    CellNotANumber,  // %1 row, %2 column
    SheetNeedsName,
    SheetNameTooLong,    // %1 name, %2 characters
    SheetNameCharacter,  // %1 name, %2 the character
    SheetNameApostrophe, // %1 name
    SheetNameTaken,      // %1 name
    NeedsSheet,
    TooManySheets,     // %1 sheets, %2 the most
    TwoSheetsSameName, // %1 name
    SheetTooLarge,     // %1 name
    SheetTextTooLong,  // %1 name
    NoSheetNamed,      // %1 name
    NoSheetNumber,     // %1 number
    // An editor of a stream alone
    NeverSaved,
    // Writing
    FolderMissing,
    CannotCreateTemporary, // %1: the system's error
    CannotWrite,           // %1: the system's error
    WriteFailed,           // %1: the system's error
    CannotReplace,         // %1: the system's error
    // The day's store
    RowCounterInvalid, // %1: the counter's text
    CannotSetAside,    // %1: the new name
    // Editing a workbook in place
    NotPlainWorksheet,         // %1: the sheet's name
    NotPlainWorksheetNumbered, // %1: the sheet's number, for a sheet without a name
    TextTooLong,
    NoSuchTextNumber, // %1 the number
    SheetLimitReached,
    CannotCopy, // %1: the copy's name
    // What the record-level editor cannot keep whole
    NoSheetListed,
    MultiCellLength,
    StartRecordShort,
    SheetOlderVersion,
    SheetUnended,
    SheetsOverlap,
    StreamTooLarge,
    TwoSharedStringTables,
    SharedStringCountWrong,
    TooManyEmbeddedCharts,
    CellOutsideCellTable,
    DimensionsShort,
    RowRecordShort,
    RowsOutOfOrder,
    CellsOutOfOrder,
    RowBlocksOutOfOrder,
    RowBlockUnended,
    IndexLength,
    IndexPointsAstray,
    NoCellFormats,
    CellAnchorsSharedFormula,
    NoDimensions,         // %1: the sheet's name
    NoDimensionsNumbered, // %1: the sheet's number, for a sheet without a name
    SheetIdsFull,
    TooManySharedStrings,
    IndexFull,
    EditsOverlap,
    // Bringing a store to the disk
    CannotSyncFolder, // %1: the system's error
    OutOfMemoryStoring,
    StoreUnexpected,
    // Viewing a workbook
    ViewerNotStarted,
};

// The text of a reason, its particulars still to be filled in with QString::arg.
QString reasonText(Reason reason);

struct ReasonEntry {
    Reason reason;
    const char16_t* text;
};
// The whole table, for checks that walk every text an operator can be shown.
std::span<const ReasonEntry> reasonTable();

// What a system error (an errno value) means, for the operator. `writing` tells the refusal
// of a write from that of a read where the system gives one code for both.
QString systemErrorText(int error, bool writing = true);

} // namespace workbook
