// Saving is atomic: a saving process killed at any instant leaves the old or the new
// workbook, whole; a save that fails leaves the target untouched and no temporary file.
// The test runs itself as the saving child ("--save-loop", "--save-limited").

#include "platform/workbook/file_io.h"
#include "xls_test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

using namespace workbook;

namespace {

// Two versions of the day's workbook that differ in every row and in size.
Book version(int which) {
    Book book;
    Sheet& sheet = book.addSheet(QStringLiteral("sheet1"));
    const int rows = which == 0 ? 4000 : 9000;
    sheet.setNumber(1, 8, rows);
    for (int r = 2; r <= rows; ++r) {
        sheet.setNumber(r, 1, r - 1 + which * 100000);
        sheet.setText(r, 2, QStringLiteral("2026/12/%1").arg(7 + which));
        sheet.setText(r, 4, QString::fromUtf8("粤B%1").arg(r * (which + 1)));
        sheet.setNumber(r, 5, r * 0.25);
    }
    return book;
}

int saveLoop(const QString& path) {
    const Book books[] = {version(0), version(1)};
    std::puts("ready");
    std::fflush(stdout);
    for (int i = 0;; ++i)
        writeBook(books[i % 2], path);
}

// Saves under a file-size limit too small for the workbook: the save must fail cleanly.
int saveLimited(const QString& path) {
    const Book big = version(1);
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 * 1024, 64 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
        writeBook(big, path);
    } catch (const Error& e) {
        std::printf("%s\n", e.what());
        return e.kind() == Error::Kind::Io ? 0 : 2;
    }
    return 1;
}

QStringList strayFiles(const QString& dir, const QString& keep) {
    QStringList names = QDir(dir).entryList(QDir::Files | QDir::Hidden);
    names.removeAll(keep);
    return names;
}

} // namespace

class TestWorkbookAtomic : public QObject {
    Q_OBJECT
private slots:
    void killedWhileSaving();
    void failedSaveLeavesTarget();
};

void TestWorkbookAtomic::killedWhileSaving() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("day.xls"));
    const Book old = version(0);
    const Book fresh = version(1);
    writeBook(old, path);

    QRandomGenerator random(20261207);
    int sawOld = 0;
    int sawNew = 0;
    const int iterations = 80;
    for (int i = 0; i < iterations; ++i) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--save-loop"), path});
        QVERIFY(child.waitForReadyRead(10000)); // books built; saving starts now
        QThread::usleep(random.bounded(1000, 120000));
        child.kill();
        QVERIFY(child.waitForFinished(10000));

        Book book;
        try {
            book = readBook(path);
        } catch (const Error& e) {
            QFAIL(qPrintable(QStringLiteral("iteration %1: %2").arg(i).arg(e.message())));
        }
        if (wbtest::firstDifference(old, book).isEmpty())
            ++sawOld;
        else if (wbtest::firstDifference(fresh, book).isEmpty())
            ++sawNew;
        else
            QFAIL(qPrintable(QStringLiteral("iteration %1: neither version: %2")
                                 .arg(i)
                                 .arg(wbtest::firstDifference(fresh, book))));
    }
    qInfo("%d kills: old workbook %d times, new %d times", iterations, sawOld, sawNew);
    QVERIFY(sawOld > 0 && sawNew > 0);
    // The temporary files of the writes cut off go with the next save.
    writeBook(fresh, path);
    QCOMPARE(strayFiles(dir.path(), QStringLiteral("day.xls")), QStringList());
}

void TestWorkbookAtomic::failedSaveLeavesTarget() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("day.xls"));
    const Book old = version(0);
    writeBook(old, path);
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--save-limited"), path});
    QVERIFY(child.waitForFinished(30000));
    const QByteArray said = child.readAllStandardOutput();
    QVERIFY2(child.exitCode() == 0, said.constData());
    QVERIFY2(said.contains("day.xls"), said.constData()); // the error names the file
    QVERIFY(wbtest::firstDifference(old, readBook(path)).isEmpty());
    QCOMPARE(strayFiles(dir.path(), QStringLiteral("day.xls")), QStringList());

    // A folder that does not exist: refused before anything is written.
    try {
        writeBook(old, dir.filePath(QStringLiteral("no/such/folder/day.xls")));
        QFAIL("saved into a missing folder");
    } catch (const Error& e) {
        QCOMPARE(e.kind(), Error::Kind::Io);
    }
}

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--save-loop") == 0)
        return saveLoop(QString::fromLocal8Bit(argv[2]));
    if (argc == 3 && std::strcmp(argv[1], "--save-limited") == 0)
        return saveLimited(QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    TestWorkbookAtomic test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_workbook_atomic.moc"
