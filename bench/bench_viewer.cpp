// How long the operator waits for a full day's workbook to show: from choosing a workbook of
// 65,536 rows in the dialog to the first paint of the viewer's table (the viewing run in this
// process, as the viewing process runs it). Prints the medians of several runs, and the
// memory the first viewer took at its peak and once shown, beside the file's size; then the
// resident memory of the viewing process itself (the test build started as `--view FILE`,
// read once its window is up) for the full day and for a workbook of one row, Qt's base.
// With "--png FILE" it also saves a picture of the last viewer.

#include "app/workbook_viewer.h"
#include "doubles/fake_comm_control.h"
#include "support/form_harness.h"
#include "support/resident.h"
#include "workbook/file_io.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTableView>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <vector>

namespace {

constexpr int kRuns = 7;

// A full sheet as the store writes it: the header row and 65,535 weighings.
void writeFullDay(const QString& path) {
    workbook::Book book;
    workbook::Sheet& s = book.addSheet(QStringLiteral("sheet1"));
    const QStringList header = {"序号", "日期", "时间", "车号", "毛重", "皮重", "净重"};
    for (int c = 1; c <= 7; ++c)
        s.setText(1, c, header[c - 1]);
    s.setNumber(1, 8, workbook::MaxRows);
    for (int r = 2; r <= workbook::MaxRows; ++r) {
        const int second = r % 86400;
        const double gross = 15000 + (r * 37) % 30000 + (r % 4) * 0.25;
        const double tare = 8000 + (r * 13) % 4000;
        s.setNumber(r, 1, r - 1);
        s.setText(r, 2, QStringLiteral("2010/8/4"));
        s.setText(r, 3, QTime(0, 0).addSecs(second).toString(QStringLiteral("HH:mm:ss")));
        s.setText(r, 4, QStringLiteral("浙A%1").arg(10000 + r % 90000, 5, 10, QLatin1Char('0')));
        s.setNumber(r, 5, gross);
        s.setNumber(r, 6, tare);
        s.setNumber(r, 7, gross - tare);
    }
    workbook::writeBook(book, path);
}

// Notes when the table of a viewer first paints.
class FirstPaint final : public QObject {
public:
    QElapsedTimer* clock = nullptr;
    qint64 at = -1;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (at < 0 && event->type() == QEvent::Paint) {
            auto* w = qobject_cast<QWidget*>(watched);
            if (w && qobject_cast<QTableView*>(w->parentWidget()) &&
                qobject_cast<records::WorkbookViewer*>(w->window()))
                at = clock->nsecsElapsed();
        }
        return false;
    }
};

#ifdef WEIGHBRIDGE_TESTPORT_EXE
// The resident set and its peak, in kB, of a viewing process of `path` once its window has
// been up for a while.
std::pair<long, long> viewingProcessKb(const QString& path) {
    QProcess viewing;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    viewing.setProcessEnvironment(env);
    viewing.start(QStringLiteral(WEIGHBRIDGE_TESTPORT_EXE), {QStringLiteral("--view"), path});
    viewing.waitForStarted();
    QThread::msleep(3000);
    std::pair<long, long> kb{0, 0};
    QFile status(QStringLiteral("/proc/%1/status").arg(viewing.processId()));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.value(0) == "VmRSS:")
                kb.first = f.value(1).toLong();
            if (f.value(0) == "VmHWM:")
                kb.second = f.value(1).toLong();
        }
    viewing.kill();
    viewing.waitForFinished();
    return kb;
}
#endif

double medianMs(std::vector<qint64> ns) {
    std::sort(ns.begin(), ns.end());
    return static_cast<double>(ns[ns.size() / 2]) / 1e6;
}

records::WorkbookViewer* openViewer() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* v = qobject_cast<records::WorkbookViewer*>(w); v && v->isVisible())
            return v;
    return nullptr;
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QStringList args = QApplication::arguments();
    const qsizetype png = args.indexOf(QStringLiteral("--png"));

    support::FormHarness h(std::make_unique<doubles::FakeCommControl>());
    h->start();
    const QString path = h.folder.filePath(QStringLiteral("2010-8-4.xls"));
    writeFullDay(path);

    QElapsedTimer clock;
    FirstPaint watch;
    watch.clock = &clock;
    application.installEventFilter(&watch);
    h.dialog->whileShown = [&] { clock.start(); };

    std::vector<qint64> shown, painted, read;
    malloc_trim(0); // what writing the file took is given back before the base is read
    const long baseKb = support::residentKb(), basePeakKb = support::peakResidentKb();
    long peakKb = 0, openKb = 0;
    for (int run = 0; run < kRuns; ++run) {
        watch.at = -1;
        h.dialog->chosen << path;
        h->Command3->click();
        shown.push_back(clock.nsecsElapsed());
        QElapsedTimer limit;
        limit.start();
        while (watch.at < 0 && limit.elapsed() < 10000)
            QApplication::processEvents(QEventLoop::AllEvents, 50);
        if (watch.at < 0) {
            std::fprintf(stderr, "bench_viewer: the viewer never painted\n");
            return 1;
        }
        painted.push_back(watch.at);

        records::WorkbookViewer* viewer = openViewer();
        if (run == 0) {
            // Once the first viewer has settled (what it frees after its first paint).
            QElapsedTimer settle;
            settle.start();
            while (settle.elapsed() < 500)
                QApplication::processEvents(QEventLoop::AllEvents, 50);
            peakKb = support::peakResidentKb() - basePeakKb;
            openKb = support::residentKb() - baseKb;
        }
        if (run == kRuns - 1 && png >= 0 && png + 1 < args.size())
            viewer->grab().save(args[png + 1]);
        viewer->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

        QElapsedTimer alone;
        alone.start();
        const workbook::Book book = workbook::readBook(path);
        read.push_back(alone.nsecsElapsed());
    }

    std::printf("bench_viewer: 65,536-row workbook, median of %d runs\n", kRuns);
    std::printf("  reading the file alone         %8.1f ms\n", medianMs(read));
    std::printf("  choice to viewer shown         %8.1f ms\n", medianMs(shown));
    std::printf("  choice to first paint          %8.1f ms  (target <= 300 ms)\n",
                medianMs(painted));
    const double fileKb = static_cast<double>(QFileInfo(path).size()) / 1024;
    std::printf("  file                           %8.0f kB\n", fileKb);
    std::printf("  first viewer, peak above base  %8ld kB  (%.2f x the file; target <= 2)\n",
                peakKb, static_cast<double>(peakKb) / fileKb);
    std::printf("  first viewer, settled          %8ld kB  (%.2f x the file)\n", openKb,
                static_cast<double>(openKb) / fileKb);
    std::printf("  base (Qt, the window)          %8ld kB\n", baseKb);
#ifdef WEIGHBRIDGE_TESTPORT_EXE
    workbook::Book one;
    one.addSheet(QStringLiteral("sheet1")).setText(1, 1, QStringLiteral("序号"));
    const QString small = h.folder.filePath(QStringLiteral("2010-8-5.xls"));
    workbook::writeBook(one, small);
    const auto [baseRss, basePeak] = viewingProcessKb(small);
    const auto [fullRss, fullPeak] = viewingProcessKb(path);
    std::printf("viewing process (--view), resident once shown / peak:\n");
    std::printf("  a workbook of one row (base)   %8ld / %ld kB\n", baseRss, basePeak);
    std::printf("  the full day                   %8ld / %ld kB\n", fullRss, fullPeak);
    std::printf("  above the base                 %8ld / %ld kB  (%.2f / %.2f x the file; "
                "target <= 2)\n",
                fullRss - baseRss, fullPeak - basePeak,
                static_cast<double>(fullRss - baseRss) / fileKb,
                static_cast<double>(fullPeak - basePeak) / fileKb);
#endif
    return 0;
}
