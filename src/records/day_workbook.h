#pragma once
// The day's workbook: the held rows appended to "<day>.xls" in the program's folder. A new
// day's file starts with its header; row 1 of each sheet holds the captions and, in H1, the
// number of the sheet's last row in use. The rows continue in "sheet1" until it is full,
// then in the program's own "sheet2", "sheet3" ... An existing file is continued by the
// record-level editor, which keeps everything of it the store does not write; a file the
// editor cannot keep whole is copied beside it first and continued by value; a file that
// cannot take the rows at all is set aside under another name and a new one started.
//
// Expected turns (a copy kept, a file set aside) are told through the hooks as they happen,
// once on the disk; a store that cannot be done throws SaveFailure (whatever stopped it) and
// leaves the day's file as it was.

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace records {

// The held rows as the window keeps them: six columns of texts, the first `count` in use.
struct HeldColumns {
    const std::vector<QString>& date;
    const std::vector<QString>& time;
    const std::vector<QString>& carNo;
    const std::vector<QString>& gross;
    const std::vector<QString>& tare;
    const std::vector<QString>& net;
    std::int32_t count = 0;
};

// Where a store's last row goes: the day's file (its name in the folder), the sheet, the
// row (the sheet's H1 after the store) and its serial number.
struct StoreEnd {
    QString file;
    QString sheet;
    int last = 0;
    std::int64_t serial = 0;
    // The replaced file's name is on the disk (its folder synced). When not, the store has
    // happened but a power cut may still undo it: the journal keeps its commit line.
    bool durable = true;
};

// Something the operator is told about the day's file during a store.
struct StoreNotice {
    enum class Kind {
        KeptBefore, // the editor cannot keep the file whole: a byte-identical copy was kept
                    // and the rows continue in the file by value
        SetAside,   // the file cannot take the rows: renamed, the rows go to a new file
    };
    Kind kind = Kind::KeptBefore;
    QString file;   // the day's file
    QString kept;   // the copy, or the name the file now has
    QString reason; // why, in Chinese
};

struct StoreHooks {
    std::function<void(const StoreNotice&)> notice;
    // Just before the day's file is replaced, with where the last row goes.
    std::function<void(const StoreEnd&)> beforeWrite;
    // The replacement announced by beforeWrite did not happen.
    std::function<void()> writeFailed;
};

class DayWorkbook {
public:
    // The day's file `dayName`.xls in `folder`.
    DayWorkbook(const QString& folder, const QString& dayName, StoreHooks hooks);
    ~DayWorkbook();
    DayWorkbook(const DayWorkbook&) = delete;
    DayWorkbook& operator=(const DayWorkbook&) = delete;

    // Appends the rows and replaces the file atomically. Throws SaveFailure when that could
    // not be done; the file is then as it was (or set aside, as told).
    StoreEnd store(const HeldColumns& rows);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Whether the workbook at `path` holds, in `sheet`, a last row `lastRow` (its row counter)
// with the serial number `lastSerial` and the time text `time`: the store that wrote those
// rows replaced the file. False as well when there is no such file or it cannot be read.
bool workbookShows(const QString& path, const QString& sheet, int lastRow, std::int64_t lastSerial,
                   const QString& time);

} // namespace records
