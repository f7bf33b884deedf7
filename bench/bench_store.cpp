// Prints the median time of the day's first store (10,001 held rows, no workbook yet), and of
// the store (Save_date) writing 10,001 held rows into a day's workbook that already holds
// 50,000 rows, over several runs: the program's own file, and a file LibreOffice wrote with
// formats and a formula column (made by bench/make_lo_day.sh). Beside each, the median time
// of merely copying the same file with fsync, measured in the same run, and the peak
// resident set of a program that does one such store. Beside the times, the pages each
// touched fresh (minor page faults) and what one fresh page costs on this machine: on a
// virtual machine that cost can outweigh the work itself.
//
//   bench_store [RUNS] [LIBREOFFICE_FILE]
//   bench_store --once FILE [KEEP]  one store into a copy of FILE; prints the peak resident set
//   bench_store --own-day FILE  writes the program's own 50,000-row day to FILE (for profiling)

#include "app/form1.h"
#include "doubles/fake_comm_control.h"
#include "support/form_harness.h"
#include "support/resident.h"
#include "workbook/aftercare.h"
#include "workbook/file_io.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

// A day's workbook with 50,000 rows, as earlier stores of the day left it.
void writeOwnDay(const QString& path) {
    workbook::Book existing;
    workbook::Sheet& s = existing.addSheet("Sheet1");
    const char16_t* captions[] = {u"序号", u"日期", u"时间", u"车号", u"毛重", u"皮重", u"净重"};
    for (int c = 0; c < 7; ++c)
        s.setText(1, c + 1, QString::fromUtf16(captions[c]));
    for (int r = 2; r <= 50001; ++r) {
        s.setNumber(r, 1, r - 1);
        s.setText(r, 2, "2010/8/4");
        s.setText(r, 3,
                  QString("%1:%2:%3")
                      .arg(8 + r / 3600 % 12)
                      .arg(r / 60 % 60, 2, 10, QChar('0'))
                      .arg(r % 60, 2, 10, QChar('0')));
        s.setText(r, 4, QString("浙A%1").arg(r % 100000, 5, 10, QChar('0')));
        s.setNumber(r, 5, 10000 + r % 30000 + 0.5);
        s.setNumber(r, 6, 8000);
        s.setNumber(r, 7, 2000 + r % 30000 + 0.5);
    }
    s.setNumber(1, 8, 50001);
    workbook::writeBook(existing, path);
}

void holdRows(support::FormHarness& h) {
    for (std::size_t i = 0; i < app::kRecSlots; ++i) {
        h->Rec_Date[i] = "2010/8/4";
        h->Rec_Time[i] =
            QString("10:%1:%2").arg(i / 60 % 60, 2, 10, QChar('0')).arg(i % 60, 2, 10, QChar('0'));
        h->Rec_CarNo[i] = QString("浙B%1").arg(i, 5, 10, QChar('0'));
        h->Rec_Gross[i] = QString(" %1.5").arg(20000 + i);
        h->Rec_Tare[i] = " 8000";
        h->Rec_Net[i] = QString(" %1.5").arg(12000 + i);
    }
    h->Rec_Count = app::kRecSlots;
}

// Copies `from` to `to` and flushes the copy to disk: the least a save can cost.
void copyWithFsync(const QString& from, const QString& to) {
    QFile in(from);
    in.open(QIODevice::ReadOnly);
    const QByteArray bytes = in.readAll();
    const int fd = ::open(QFile::encodeName(to).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 ||
        ::write(fd, bytes.constData(), static_cast<std::size_t>(bytes.size())) != bytes.size() ||
        ::fsync(fd) != 0)
        std::perror("copy");
    ::close(fd);
}

long minorFaults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

// Microseconds for the first touch of one page of memory just mapped: the median over 16 MB,
// five times.
double freshPageMicroseconds() {
    const std::size_t pages = 4096;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<double> each;
    for (int run = 0; run < 5; ++run) {
        void* map = ::mmap(nullptr, pages * page, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED)
            return 0;
        auto* bytes = static_cast<volatile char*>(map);
        QElapsedTimer t;
        t.start();
        for (std::size_t i = 0; i < pages; ++i)
            bytes[i * page] = 1;
        each.push_back(static_cast<double>(t.nsecsElapsed()) / 1e3 / double(pages));
        ::munmap(map, pages * page);
    }
    std::sort(each.begin(), each.end());
    return each[each.size() / 2];
}

// The same for memory advised into huge pages, as the engine's big buffers are and, with
// GLIBC_TUNABLES=glibc.malloc.hugetlb=1, the whole heap (the copy's buffer too): what a fresh
// page costs on a machine whose page faults are cheap.
double freshHugePageMicroseconds() {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t bytes = std::size_t{16} << 20;
    std::vector<double> each;
    for (int run = 0; run < 5; ++run) {
        void* map =
            ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED)
            return 0;
        ::madvise(map, bytes, MADV_HUGEPAGE);
        auto* memory = static_cast<volatile char*>(map);
        QElapsedTimer t;
        t.start();
        for (std::size_t i = 0; i < bytes; i += page)
            memory[i] = 1;
        each.push_back(static_cast<double>(t.nsecsElapsed()) / 1e3 / double(bytes / page));
        ::munmap(map, bytes);
    }
    std::sort(each.begin(), each.end());
    return each[each.size() / 2];
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double elapsedMs(const QElapsedTimer& t) {
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

// Median store and copy times for the day's workbook `source`.
void measure(const char* what, const QString& source, int runs, const char* self) {
    support::FormHarness h(std::make_unique<doubles::FakeCommControl>());
    const QString day = h.folder.filePath("2010-8-4.xls");
    const QString copy = h.folder.filePath("copy.xls");
    std::vector<double> store, plain, storeFaults, plainFaults;
    QString status;
    for (int run = 0; run < runs; ++run) {
        QFile::remove(day);
        QFile::copy(source, day);
        holdRows(h);
        QElapsedTimer t;
        long faults = minorFaults();
        t.start();
        h->Save_date();
        store.push_back(elapsedMs(t));
        storeFaults.push_back(double(minorFaults() - faults));
        status = h.status();
        // What the store left to its helper thread (the old file's blocks freed, memory
        // given back) is not left to slow the copy.
        workbook::settle();
        faults = minorFaults();
        t.restart();
        copyWithFsync(source, copy);
        plain.push_back(elapsedMs(t));
        plainFaults.push_back(double(minorFaults() - faults));
    }
    QProcess once;
    once.start(QString::fromLocal8Bit(self), {"--once", source});
    once.waitForFinished(120000);
    const QString rss = QString::fromUtf8(once.readAllStandardOutput()).trimmed();
    std::printf("%s: Save_date of 10,001 rows into 50,000: median %.1f ms (min %.1f, max %.1f) "
                "over %d runs; copying the file with fsync: median %.1f ms; ratio %.2f; %s; "
                "file %.1f MB; pages touched fresh: store %.0f, copy %.0f; status: %s\n",
                what, median(store), *std::min_element(store.begin(), store.end()),
                *std::max_element(store.begin(), store.end()), runs, median(plain),
                median(store) / median(plain), qPrintable(rss),
                double(QFile(source).size()) / 1048576.0, median(storeFaults), median(plainFaults),
                qPrintable(status));
}

// Median time of the day's first store: 10,001 held rows and no workbook yet, so the store
// makes a new one.
void measureFirst(int runs) {
    support::FormHarness h(std::make_unique<doubles::FakeCommControl>());
    const QString day = h.folder.filePath("2010-8-4.xls");
    std::vector<double> store;
    for (int run = 0; run < runs; ++run) {
        QFile::remove(day);
        holdRows(h);
        QElapsedTimer t;
        t.start();
        h->Save_date();
        store.push_back(elapsedMs(t));
        workbook::settle();
    }
    std::printf("first store of the day: Save_date of 10,001 rows into no file: median %.1f ms "
                "(min %.1f, max %.1f) over %d runs; file %.1f MB; status: %s\n",
                median(store), *std::min_element(store.begin(), store.end()),
                *std::max_element(store.begin(), store.end()), runs,
                double(QFile(day).size()) / 1048576.0, qPrintable(h.status()));
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if ((argc == 3 || argc == 4) && QByteArray(argv[1]) == "--once") {
        support::FormHarness h(std::make_unique<doubles::FakeCommControl>());
        const QString day = h.folder.filePath("2010-8-4.xls");
        QFile::copy(QString::fromLocal8Bit(argv[2]), day);
        holdRows(h);
        h->Save_date();
        if (argc == 4)
            QFile::copy(day, QString::fromLocal8Bit(argv[3]));
        std::printf("peak RSS of a program doing one store %.1f MB\n",
                    double(support::peakResidentKb()) / 1024.0);
        return 0;
    }
    if (argc == 3 && QByteArray(argv[1]) == "--own-day") {
        writeOwnDay(QString::fromLocal8Bit(argv[2]));
        return 0;
    }
    const int runs = argc > 1 ? std::atoi(argv[1]) : 7;
    std::printf("one fresh page of memory, first touch: median %.2f us (in huge pages: %.2f us)\n",
                freshPageMicroseconds(), freshHugePageMicroseconds());
    support::FormHarness h(std::make_unique<doubles::FakeCommControl>());
    const QString own = h.folder.filePath("own-day.xls");
    writeOwnDay(own);
    measureFirst(runs);
    measure("own day's workbook", own, runs, argv[0]);
    if (argc > 2)
        measure("LibreOffice day's workbook", QString::fromLocal8Bit(argv[2]), runs, argv[0]);
    else
        std::printf("(no LibreOffice file given: make one with bench/make_lo_day.sh FILE)\n");
    return 0;
}
