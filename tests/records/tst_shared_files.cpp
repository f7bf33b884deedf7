// The files the program makes in its folder are its group's: the journal made, continued and
// rewritten, its damaged copy, the day's workbook made and replaced, each under a lax and a
// strict umask, in a setgid folder whose group they take.

#include "records/day_workbook.h"
#include "records/journal.h"
#include "records/journal_samples.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using journal_samples::journalPath;
using journal_samples::put;
using journal_samples::row;

namespace {

struct stat statOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        st.st_mode = 0;
    return st;
}

// One store of `rows` rows into the day's workbook "2010-8-4.xls" of `folder`.
void storeOneRow(const QString& folder, int rows = 1) {
    const auto column = [rows](const char* text) {
        return std::vector<QString>(static_cast<std::size_t>(rows), QString::fromUtf8(text));
    };
    records::DayWorkbook day(
        folder, QStringLiteral("2010-8-4"),
        {[](const records::StoreNotice&) {}, [](const records::StoreEnd&) {}, [] {}});
    day.store({column("2010-8-4"), column("8:00:00"), column("浙A1"), column(" 1000"), column(" 0"),
               column(" 1000"), rows});
}

// Makes the file `made` (its name in the folder) the way `what` says, from a file of mode
// `before` where there was one (-1: none).
QString make(const QString& what, const QString& folder, int before) {
    const QString journal = journalPath(folder);
    const QString day = QDir(folder).filePath("2010-8-4.xls");
    if (what == "day" || what == "big day") { // a big one is continued in place
        if (before >= 0) {
            storeOneRow(folder, what == "day" ? 1 : 300);
            ::chmod(QFile::encodeName(day).constData(), static_cast<mode_t>(before));
        }
        storeOneRow(folder);
        return day;
    }
    if (before >= 0) {
        const QByteArray kept = what == "recovered" ? records::Journal::rowLine(row(1))
                                : what == "damaged" ? QByteArray("R\tcut off\n")
                                                    : QByteArray();
        put(journal, kept);
        ::chmod(QFile::encodeName(journal).constData(), static_cast<mode_t>(before));
    }
    records::Journal j(folder);
    const records::Journal::Recovery found = j.open();
    j.append(row(2));
    return what == "damaged" ? found.keptAside : journal;
}

} // namespace

class TstSharedFiles : public QObject {
    Q_OBJECT
private slots:
    void modes_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<int>("mask");
        QTest::addColumn<int>("before"); // the mode of the file it replaces or continues
        QTest::addColumn<int>("mode");
        QTest::newRow("journal made") << "journal" << 022 << -1 << 0664;
        QTest::newRow("journal made, strict umask") << "journal" << 077 << -1 << 0664;
        QTest::newRow("journal made, no umask") << "journal" << 0 << -1 << 0664;
        QTest::newRow("journal of a run before, 0644") << "journal" << 022 << 0644 << 0664;
        QTest::newRow("journal of a run before, 0600") << "journal" << 022 << 0600 << 0660;
        QTest::newRow("journal rewritten, 0644") << "recovered" << 022 << 0644 << 0664;
        QTest::newRow("journal rewritten, 0640") << "recovered" << 077 << 0640 << 0660;
        QTest::newRow("damaged journal's copy") << "damaged" << 077 << 0600 << 0664;
        QTest::newRow("day's workbook made") << "day" << 022 << -1 << 0664;
        QTest::newRow("day's workbook made, strict umask") << "day" << 077 << -1 << 0664;
        QTest::newRow("day's workbook replaced, 0644") << "day" << 022 << 0644 << 0664;
        QTest::newRow("day's workbook replaced, 0600") << "day" << 077 << 0600 << 0660;
        QTest::newRow("day's workbook replaced, 0775") << "day" << 077 << 0775 << 0775;
        QTest::newRow("day's workbook continued, 0644") << "big day" << 022 << 0644 << 0664;
        QTest::newRow("day's workbook continued, 0600") << "big day" << 077 << 0600 << 0660;
        QTest::newRow("set-user-id not taken over") << "day" << 022 << 04644 << 0664;
    }
    void modes() {
        QFETCH(QString, what);
        QFETCH(int, mask);
        QFETCH(int, before);
        QFETCH(int, mode);
        QTemporaryDir folder;
        // The package's folder: setgid, its group's (another group than this process's where
        // the test may give it one).
        const QByteArray name = QFile::encodeName(folder.path());
        if (::geteuid() == 0)
            QCOMPARE(::chown(name.constData(), 0, ::getegid() == 20 ? 1 : 20), 0);
        QCOMPARE(::chmod(name.constData(), 02775), 0);
        const mode_t old = ::umask(static_cast<mode_t>(mask));
        const auto restore = qScopeGuard([old] { ::umask(old); });
        const QString made = make(what, folder.path(), before);
        QVERIFY(!made.isEmpty());
        const struct stat st = statOf(made);
        QCOMPARE(QString::number(st.st_mode & 07777, 8), QString::number(mode, 8));
        QCOMPARE(st.st_gid, statOf(folder.path()).st_gid);
    }
};

QTEST_APPLESS_MAIN(TstSharedFiles)
#include "tst_shared_files.moc"
