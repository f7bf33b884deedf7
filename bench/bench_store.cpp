// Prints the median time of the store (Save_date) writing 10,001 held rows into a day's
// workbook that already holds 50,000 rows, over several runs, and the peak resident set.

#include "app/form1.h"
#include "doubles/fake_comm_control.h"
#include "platform/workbook/file_io.h"
#include "support/form_harness.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 7;
    support::FormHarness h(std::make_unique<doubles::FakeCommControl>());
    const QString day = h.folder.filePath("2010-8-4.xls");

    // A day's workbook with 50,000 rows, as earlier stores of the day left it.
    workbook::Book existing;
    workbook::Sheet& s = existing.addSheet("Sheet1");
    const char16_t* captions[] = {u"序号", u"日期", u"时间", u"车号", u"毛重", u"皮重", u"净重"};
    for (int c = 0; c < 7; ++c)
        s.setText(1, c + 1, QString::fromUtf16(captions[c]));
    for (int r = 2; r <= 50001; ++r) {
        s.setNumber(r, 1, r - 1);
        s.setText(r, 2, "2010/8/4");
        s.setText(r, 3, QString("%1:%2:%3").arg(8 + r / 3600 % 12).arg(r / 60 % 60, 2, 10,
                                                                          QChar('0')).arg(r % 60, 2, 10, QChar('0')));
        s.setText(r, 4, QString("浙A%1").arg(r % 100000, 5, 10, QChar('0')));
        s.setNumber(r, 5, 10000 + r % 30000 + 0.5);
        s.setNumber(r, 6, 8000);
        s.setNumber(r, 7, 2000 + r % 30000 + 0.5);
    }
    s.setNumber(1, 8, 50001);

    std::vector<double> ms;
    for (int run = 0; run < runs; ++run) {
        workbook::writeBook(existing, day);
        for (std::size_t i = 0; i < app::kRecSlots; ++i) {
            h->Rec_Date[i] = "2010/8/4";
            h->Rec_Time[i] = QString("10:%1:%2").arg(i / 60 % 60, 2, 10, QChar('0')).arg(i % 60, 2, 10, QChar('0'));
            h->Rec_CarNo[i] = QString("浙B%1").arg(i, 5, 10, QChar('0'));
            h->Rec_Gross[i] = QString(" %1.5").arg(20000 + i);
            h->Rec_Tare[i] = " 8000";
            h->Rec_Net[i] = QString(" %1.5").arg(12000 + i);
        }
        h->Rec_Count = app::kRecSlots;
        QElapsedTimer t;
        t.start();
        h->Save_date();
        ms.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    std::printf("Save_date, 10,001 rows into a 50,000-row day's workbook: median %.1f ms over %d "
                "runs (min %.1f, max %.1f); peak RSS %.1f MB\n",
                ms[ms.size() / 2], runs, ms.front(), ms.back(), double(u.ru_maxrss) / 1024.0);
    std::printf("status: %s\n", qPrintable(h.status()));
    return 0;
}
