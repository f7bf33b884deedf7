#pragma once
// The journal of held rows: every recorded row is also written, at once, to a file in the
// program's folder, so that rows not yet in the day's workbook outlive a crash, a kill or a
// power cut. One line per row: its six texts and a check value. Before a store replaces the
// day's workbook it writes a commit line naming the workbook, the sheet and row its last row
// goes to, that row's serial number and its time; a successful store then empties the
// journal. At start-up the rows left behind are read back, except those before a commit line
// whose workbook holds that last row (the run ended after the workbook was replaced).
//
// Rows are written on the caller's thread (a write into the page cache); a worker thread
// brings them to the disk (fdatasync) 20 ms after the first row not yet there, together with
// every row written meanwhile, so the serial path never waits for the disk and the disk sees
// at most one sync per pause. A sync that fails puts the journal in its error state, as a
// failed write does: the rows since the last good sync count as held in memory only.
// Every name the journal makes (the file itself, its rewrite, a damaged journal's copy)
// reaches the disk with a sync of the folder before anyone is told of it.

#include <QString>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace records {

struct HeldRow {
    QString date, time, carNo, gross, tare, net;
    friend bool operator==(const HeldRow&, const HeldRow&) = default;
};

class Journal {
public:
    // What a previous run left behind.
    struct Recovery {
        std::vector<HeldRow> rows; // not yet stored, in the order they were recorded
        int damagedLines = 0;      // lines whose check value did not match
        QString keptAside;         // the journal as it was, when it held damaged lines
    };

    explicit Journal(QString folder);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // The journal's file name in the program's folder (hidden), and the name pattern of a
    // damaged journal kept aside.
    static QString fileName();
    static QString keptAsideName(int n);

    // Reads the rows a previous run left, keeps a damaged journal aside, and opens the
    // journal for this run holding exactly the recovered rows. When the journal cannot be
    // written the rows are still returned and isOpen() is false; lastError() says why. A
    // damaged journal that cannot be kept aside is left as it is and none of its rows are
    // returned: they come back, once, at a start that can keep it.
    Recovery open();

    // Called on the worker thread when a sync of rows failed (the journal is then in its
    // error state; the next append reports it too).
    void onSyncFailed(std::function<void()> hook);

    // Writes one row. False when the journal is not open or the write failed (lastError()).
    bool append(const HeldRow& row);
    // Before a store replaces the day's workbook `dayFile` (a name in the folder): the commit
    // line with the sheet and row the store's last row goes to (the sheet's row counter after
    // the store), its serial number and its time text (the journal need not hold that row: it
    // may have been held in memory only), on the disk when this returns; the journal is opened
    // again first when it is in its error state. False when the line cannot be brought to the
    // disk while the journal may hold rows: the store must not go ahead, or the rows would
    // come back after it (lastError() says why). The journal is not emptied instead: a power
    // cut before the workbook is replaced would leave the rows nowhere.
    bool beginStore(const QString& dayFile, const QString& sheet, int lastRow,
                    std::int64_t lastSerial, const QString& lastTime = {});
    // After a store that failed: its commit line no longer counts (the workbook it named may
    // by chance show the serial number the store would have given it).
    void storeFailed();
    // After a successful store, or rows the operator discarded: the journal is emptied, on
    // the disk when this returns. Reopens a journal that could not be opened or written
    // before (the folder may have been mended); false if it still fails.
    bool clear();

    bool isOpen() const { return m_fd >= 0; }
    // Open, and no write or sync has failed since it was opened.
    bool isHealthy() const;
    // Why the journal is not open or in its error state (a failed sync included).
    QString lastError() const;
    QString path() const;

    // Blocks until every row written so far is on the disk; `now`: without the pause in which
    // the worker lets rows gather (a store, the end of the run). False when a sync failed.
    bool waitSynced(bool now = true);
    std::uint64_t syncCount() const;

    // One journal line, and its reading: the fields of a valid line, or nothing when the
    // check value does not match. Exposed for the tests.
    static QByteArray rowLine(const HeldRow& row);
    static QByteArray commitLine(const QString& dayFile, const QString& sheet, int lastRow,
                                 std::int64_t lastSerial, const QString& lastTime = {});
    static QByteArray failedLine();
    static bool parseLine(const QByteArray& line, QList<QString>* fields);

private:
    std::optional<QByteArray> readText();
    std::size_t firstUnstored(const std::vector<QList<QString>>& entries) const;
    bool keepDamagedAside(Recovery& out, const QByteArray& text);
    bool rewrite(const std::vector<HeldRow>& rows);
    bool openForAppend();
    bool reopen();
    bool emptyDurably();
    int syncError() const;
    bool writeAll(const QByteArray& line);
    void markWritten();
    void closeFile();
    void fail(const QString& what, int error);
    QString failText(const QString& what, int error) const;
    void syncLoop();
    void startSyncer();
    void stopSyncer();

    QString m_folder;
    int m_fd = -1;
    QString m_error;

    std::thread m_syncer;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_synced;
    std::uint64_t m_written = 0; // rows and truncations handed to the file
    std::uint64_t m_onDisk = 0;  // of them, known to be on the disk
    std::uint64_t m_syncs = 0;
    int m_syncError = 0; // the errno value of a failed sync since the journal was opened
    std::function<void()> m_syncFailed;
    bool m_stop = false;
    bool m_urgent = false;
    // The journal found at start-up could not be read or kept aside: it stays as it is.
    bool m_untouchable = false;
    // The file may hold rows written by this run or recovered from the last one: false only
    // after it was emptied on the disk.
    bool m_mayHoldRows = false;
    // The next line starts with a line feed: the file's end on the disk is uncertain.
    bool m_freshLine = false;
};

} // namespace records
