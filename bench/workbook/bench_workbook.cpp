// Times the workbook component on the day's workbook at full size and prints medians:
//   write  - writeBook() of 65,535 rows x 8 columns (atomic save with fsync included)
//   read   - readBook() of that file, and FreeXL alone on it for comparison
//   append - the store by value: read a 50,000-row workbook whole, read H1, set 10,001 rows
//            of 7 cells as the store makes them of the boxes' texts, write H1, write it whole
// Each figure runs in a child process of its own, so that its peak RSS is its own.

#include "support/resident.h"
#include "workbook/biff_writer.h"
#include "workbook/file_io.h"
#include "workbook/readers.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

using namespace workbook;

namespace {

const char* const Captions[] = {"序号", "日期", "时间", "车号", "毛重", "皮重", "净重"};

struct Row {
    QString date, time, vehicle, gross, tare, net;
};

Row rowText(int n) {
    const int second = (n * 3) % 86400;
    const double gross = 15000 + (n * 37) % 30000 + (n % 4) * 0.5;
    const double tare = 6000 + (n * 13) % 4000;
    return {QStringLiteral("2026/12/7"),
            QStringLiteral("%1:%2:%3")
                .arg(second / 3600)
                .arg(second / 60 % 60, 2, 10, QLatin1Char('0'))
                .arg(second % 60, 2, 10, QLatin1Char('0')),
            QString::fromUtf8("粤B%1").arg(10000 + (n * 7919) % 900, 5, 10, QLatin1Char('0')),
            numberText(gross),
            numberText(tare),
            numberText(gross - tare)};
}

// One data row as the store writes it: seven cells, each a text.
void writeRow(Sheet& ws, int row, const Row& t) {
    const QString texts[] = {
        numberText(row - 1), t.date, t.time, t.vehicle, t.gross, t.tare, t.net};
    for (int c = 0; c < 7; ++c)
        ws.setValue(row, c + 1, storedValue(texts[c]));
}

// A day's sheet with the header and rows 2 to lastRow, written as the store writes cells.
Book dayBook(int lastRow) {
    Book book;
    Sheet& ws = book.addSheet(QStringLiteral("Sheet1"));
    for (int c = 0; c < 7; ++c)
        ws.setText(1, c + 1, QString::fromUtf8(Captions[c]));
    for (int r = 2; r <= lastRow; ++r)
        writeRow(ws, r, rowText(r));
    ws.setValue(1, 8, storedValue(numberText(lastRow)));
    return book;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double timed(const std::function<void()>& f) {
    QElapsedTimer t;
    t.start();
    f();
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

long peakRssKb() {
    return support::peakResidentKb();
}

void report(const char* what, const std::vector<double>& ms) {
    std::printf("%-44s median %7.1f ms  (min %.1f, max %.1f, %zu runs)\n", what, median(ms),
                *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()),
                ms.size());
}

int benchWrite(const QString& dir, int runs) {
    const Book book = dayBook(65535);
    const QString path = dir + QStringLiteral("/write.xls");
    std::vector<double> all, stream;
    for (int i = 0; i < runs; ++i) {
        all.push_back(timed([&] { writeBook(book, path); }));
        stream.push_back(timed([&] { (void)biff::workbookStream(book); }));
    }
    report("write 65,535 rows x 8 (writeBook, fsync)", all);
    report("  of which BIFF8 records in memory", stream);
    std::printf("  file size %lld bytes; peak RSS %ld kB\n",
                static_cast<long long>(QFile(path).size()), peakRssKb());
    return 0;
}

int benchRead(const QString& dir, int runs) {
    const QString path = dir + QStringLiteral("/read.xls");
    writeBook(dayBook(65535), path);
    std::vector<double> ours, container, freexl;
    for (int i = 0; i < runs; ++i) {
        ours.push_back(timed([&] { (void)readBook(path); }));
        container.push_back(timed([&] { (void)detail::openCompoundFile(path); }));
        freexl.push_back(timed([&] { (void)detail::readWithFreeXl(path); }));
    }
    report("read 65,535 rows x 8 (readBook)", ours);
    report("  of which compound file (libgsf)", container);
    report("same file with FreeXL alone", freexl);
    std::printf("  peak RSS %ld kB (FreeXL included)\n", peakRssKb());
    return 0;
}

int benchAppend(const QString& dir, int runs) {
    const QString base = dir + QStringLiteral("/base.xls");
    const QString path = dir + QStringLiteral("/2026-12-7.xls");
    writeBook(dayBook(50001), base); // header and 50,000 rows
    std::vector<Row> rows;
    for (int k = 0; k < 10001; ++k)
        rows.push_back(rowText(60000 + k));
    std::vector<double> all, open, cells, save;
    for (int i = 0; i < runs; ++i) {
        QFile::remove(path);
        QFile::copy(base, path);
        QElapsedTimer t;
        t.start();
        Book book = readBook(path);
        Sheet& ws = book.sheet(book.indexOf(u"sheet1"));
        int last = static_cast<int>(numberFromText(ws.cell(1, 8).toString()).value_or(0));
        const double opened = static_cast<double>(t.nsecsElapsed()) / 1e6;
        for (const Row& r : rows)
            writeRow(ws, ++last, r);
        ws.setValue(1, 8, storedValue(numberText(last)));
        const double written = static_cast<double>(t.nsecsElapsed()) / 1e6;
        writeBook(book, path);
        const double done = static_cast<double>(t.nsecsElapsed()) / 1e6;
        all.push_back(done);
        open.push_back(opened);
        cells.push_back(written - opened);
        save.push_back(done - written);
        if (last != 60002)
            std::fprintf(stderr, "unexpected last row %d\n", last);
    }
    report("append 10,001 rows to 50,000 by value (read..write)", all);
    report("  open and read H1", open);
    report("  70,008 cell writes", cells);
    report("  write whole", save);
    std::printf("  peak RSS %ld kB\n", peakRssKb());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4) { // a child: mode, folder, runs
        const int runs = args[3].toInt();
        if (args[1] == u"write")
            return benchWrite(args[2], runs);
        if (args[1] == u"read")
            return benchRead(args[2], runs);
        if (args[1] == u"append")
            return benchAppend(args[2], runs);
        return 2;
    }
    const QString runs = args.size() > 1 ? args[1] : QStringLiteral("9");
    // Beside the build, on the same disk as the program's folder would be (not tmpfs).
    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/bench-XXXXXX"));
    for (const char* mode : {"write", "read", "append"}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(app.applicationFilePath(), {QLatin1String(mode), dir.path(), runs});
        child.waitForFinished(-1);
        if (child.exitCode() != 0)
            return 1;
    }
    return 0;
}
