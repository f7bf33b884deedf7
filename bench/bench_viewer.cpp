// How long the operator waits for a full day's workbook to show: from choosing a workbook of
// 65,536 rows in the dialog to the first paint of the viewer's table. Prints the medians of
// several runs. With "--png FILE" it also saves a picture of the last viewer.

#include "app/workbook_viewer.h"
#include "doubles/fake_comm_control.h"
#include "support/form_harness.h"
#include "workbook/file_io.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTableView>

#include <algorithm>
#include <cstdio>
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
    return 0;
}
