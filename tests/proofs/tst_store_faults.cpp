// Stores that the disk refuses: a full filesystem (a small tmpfs, or a file-size limit where
// mounting is not allowed) and a read-only folder (a tmpfs remounted read-only, or a folder
// without write permission for a user other than root). Each store must fail with the
// message naming the folder, keep the rows and the save button, leave the previous day's
// workbook byte for byte as it was with no stray file beside it, and succeed once the
// cause is gone, with every row in the workbook.

#include "records/journal.h"
#include "support/store_rig.h"
#include "workbook/aftercare.h"

#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

using support::contents;
using support::reply;
using support::Rig;

namespace {

bool run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A tmpfs mounted over the rig's folder for as long as it lives; `mounted` is false where
// the system does not let this process mount.
struct SmallFilesystem {
    QString path;
    bool mounted = false;
    SmallFilesystem(const QString& where, int kb) : path(where) {
        mounted = run("mount", {"-t", "tmpfs", "-o", QString("size=%1k").arg(kb), "tmpfs", path});
    }
    bool remount(bool readOnly) const {
        return run("mount", {"-o", readOnly ? "remount,ro" : "remount,rw", path});
    }
    ~SmallFilesystem() {
        if (mounted)
            run("umount", {path});
    }
};

// Fills the filesystem holding `folder` until writing fails; returns the filler's path.
QString fill(const QString& folder) {
    const QString filler = folder + "/filler";
    QFile f(filler);
    if (!f.open(QIODevice::WriteOnly))
        return filler;
    const QByteArray block(4096, '\0');
    while (f.write(block) == block.size() && f.flush()) {
    }
    return filler;
}

QStringList entries(const QString& folder) {
    workbook::settle(); // what the store left to its helper thread done
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    names.removeAll("filler");
    names.removeAll(records::Journal::fileName()); // the held rows' journal belongs there
    return names;
}

} // namespace

class TstStoreFaults : public QObject {
    Q_OBJECT

    // Two rows stored, two more held: returns the stored workbook's bytes.
    static QByteArray storedAndHeld(Rig& r) {
        r.feed(reply(85.6));
        r.feed(reply(90.1));
        r.save();
        r.feed(reply(120.5));
        r.feed(reply(130.5));
        return contents(r.dayFile());
    }

    // The store failed: message, rows, button and the previous file as they were.
    static void checkRefused(Rig& r, const QByteArray& before, const char* reason) {
        QCOMPARE(r.h.messages->shown.size(), 1);
        const QString prompt = r.h.messages->shown[0].prompt;
        QVERIFY2(prompt.startsWith("数据保存失败！"), qPrintable(prompt));
        QVERIFY2(prompt.contains(QDir::toNativeSeparators(r.h.folder.path())), qPrintable(prompt));
        QVERIFY2(prompt.contains(reason), qPrintable(prompt));
        QCOMPARE(r.h->Rec_Count, 2);
        QVERIFY(r.h->Command4->isEnabled());
        QCOMPARE(contents(r.dayFile()), before);
        QCOMPARE(entries(r.h.folder.path()), QStringList{"2010-8-4.xls"});
    }

    // The cause gone: the next store writes all four rows.
    static void checkStoredAfterwards(Rig& r) {
        r.save();
        QCOMPARE(r.h.messages->shown.size(), 1);
        QCOMPARE(r.h.status(), QString("数据保存成功！"));
        QCOMPARE(r.h->Rec_Count, 0);
        const QList<QStringList> rows = r.rows(r.dayFile());
        QCOMPARE(rows.size(), 5);
        QCOMPARE(rows[4][0].trimmed(), QString("4"));
        QCOMPARE(rows[4][4].trimmed(), QString("130.5"));
    }

private slots:
    void fullFilesystem() {
        Rig r;
        SmallFilesystem fs(r.h.folder.path(), 256);
        if (!fs.mounted)
            QSKIP("this process may not mount a tmpfs; the file-size limit case still runs");
        const QByteArray before = storedAndHeld(r);
        QVERIFY(!before.isEmpty());
        const QString filler = fill(r.h.folder.path());
        r.save();
        checkRefused(r, before, "磁盘空间已满");
        QVERIFY(QFile::remove(filler));
        checkStoredAfterwards(r);
    }

    // Where mounting is not allowed: a file-size limit stops the write part way, as a full
    // disk would.
    void fileSizeLimit() {
        Rig r;
        const QByteArray before = storedAndHeld(r);
        rlimit old{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &old) == 0);
        rlimit small = old;
        small.rlim_cur = static_cast<rlim_t>(before.size() / 2);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        r.save();
        QVERIFY(setrlimit(RLIMIT_FSIZE, &old) == 0);
        std::signal(SIGXFSZ, previous);
        checkRefused(r, before, "文件太大");
        checkStoredAfterwards(r);
    }

    void readOnlyFolder() {
        Rig r;
        SmallFilesystem fs(r.h.folder.path(), 1024);
        const QByteArray before = storedAndHeld(r);
        QVERIFY(!before.isEmpty());
        if (fs.mounted) {
            QVERIFY(fs.remount(true));
        } else if (geteuid() != 0) {
            QVERIFY(QFile::setPermissions(r.h.folder.path(), QFile::ReadOwner | QFile::ExeOwner));
        } else {
            QSKIP("root may write anywhere and may not mount here: no read-only folder to try");
        }
        r.save();
        if (fs.mounted)
            QVERIFY(fs.remount(false));
        else
            QVERIFY(QFile::setPermissions(r.h.folder.path(),
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        checkRefused(r, before, fs.mounted ? "文件系统是只读的" : "没有写入权限");
        checkStoredAfterwards(r);
    }
};

QTEST_MAIN(TstStoreFaults)
#include "tst_store_faults.moc"
