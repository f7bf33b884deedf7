// Viewing a saved workbook on "查看": the dialog settings and the cancel test, the viewing
// started for the chosen file and its arguments, the viewer windows (cells, tabs, copying, no
// editing, independence), unreadable files, and the Qt file dialog itself. (That a viewing is a
// process of its own that outlives the recorder: test_viewing_e2e.py.)

#include "app/viewing_mode.h"
#include "app/workbook_viewer.h"
#include "doubles/fake_comm_control.h"
#include "support/form_harness.h"
#include "support/test_classes.h"
#include "workbook/file_io.h"

#include <QClipboard>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>

using records::WorkbookViewer;

namespace {

struct Rig {
    support::FormHarness h{std::make_unique<doubles::FakeCommControl>()};
    Rig() { h->start(); }

    QString file(const QString& name) const { return h.folder.filePath(name); }
    void view(const QString& answer) {
        h.dialog->chosen << answer;
        h->Command3->click();
    }
    // Rows held in the record store, not yet saved.
    void hold(const QStringList& carNumbers) {
        for (const QString& car : carNumbers) {
            const auto k = static_cast<std::size_t>(h->Rec_Count++);
            h->Rec_Date[k] = "2010/8/4", h->Rec_Time[k] = "09:05:03", h->Rec_CarNo[k] = car;
            h->Rec_Gross[k] = " 2000.5", h->Rec_Tare[k] = " 1500", h->Rec_Net[k] = " 500.5";
        }
        h->Command4->setEnabled(true);
    }
};

// The viewer windows open now; closed ones are freed first.
QList<WorkbookViewer*> viewers() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QList<WorkbookViewer*> found;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* v = qobject_cast<WorkbookViewer*>(w))
            found << v;
    return found;
}

QString cell(WorkbookViewer* v, int sheet, int row, int column) {
    const QAbstractItemModel* m = v->sheetView(sheet)->model();
    return m->data(m->index(row - 1, column - 1)).toString();
}

const QString kLongPlace = "浙江省杭州市萧山区城厢街道";

void writeSample(const QString& path) {
    workbook::Book book;
    workbook::Sheet& s = book.addSheet("sheet1");
    const QStringList header = {"序号", "日期", "时间", "车号", "毛重", "皮重", "净重"};
    for (int c = 1; c <= 7; ++c)
        s.setText(1, c, header[c - 1]);
    s.setNumber(1, 8, 4);
    s.setNumber(2, 1, 1);
    s.setText(2, 2, "2010/8/4");
    s.setText(2, 4, "ABCDEFGHIJKLMN");
    s.setText(3, 4, kLongPlace);
    s.setNumber(4, 5, -1234567.25);
    book.addSheet("备注").setText(2, 2, "过磅员：张三");
    workbook::writeBook(book, path);
}

} // namespace

class TstWorkbookViewing : public QObject {
    Q_OBJECT
private slots:
    void cleanup() {
        for (WorkbookViewer* v : viewers())
            v->close();
        QCOMPARE(viewers().size(), 0);
    }

    // Only the exact initial name read back counts as "nothing chosen".
    void cancel_data() {
        QTest::addColumn<QString>("name"); // in the program's folder; null: cancelled
        QTest::addColumn<bool>("cancelled");
        QTest::newRow("cancel") << QString() << true;
        QTest::newRow("initial name chosen") << "*.xls" << true;
        QTest::newRow("other case") << "*.XLS" << false; // opens "*.XLS": no such file
    }
    void cancel() {
        QFETCH(QString, name);
        QFETCH(bool, cancelled);
        Rig r;
        const QString folder = QDir::toNativeSeparators(r.h.folder.path()) + QDir::separator();
        r.view(name.isNull() ? name : folder + name);
        QCOMPARE(r.h.dialog->calls, (QStringList{"Filter=工作表(*.xls)|*.xls", "FilterIndex=1",
                                                 "FileName=" + folder + "*.xls", "ShowOpen"}));
        QCOMPARE(r.h.status() == "您没有选择要导入的文件！", cancelled);
        QCOMPARE(r.h.messages->shown.size(), cancelled ? 0 : 1);
        QCOMPARE(viewers().size(), 0);
    }

    // The chosen file goes to a viewing of its own; a viewing that cannot be started is told
    // with the file's name and the reason, and the status line stays as it was.
    void viewingStarted() {
        Rig r;
        const QString path = r.file("2010-8-4.xls");
        writeSample(path);
        const QString before = r.h.status();
        r.h.viewingsStart = false;
        r.view(path);
        QVERIFY(r.h.viewings.isEmpty());
        QCOMPARE(viewers().size(), 0);
        QCOMPARE(r.h.messages->shown.size(), 1);
        QCOMPARE(r.h.messages->shown[0].prompt, "无法打开所选的文件：\n" +
                                                    QDir::toNativeSeparators(path) +
                                                    "\n原因：查看窗口无法启动");
        r.h.viewingsStart = true;
        r.view(path);
        QCOMPARE(r.h.viewings, QStringList{path});
        QCOMPARE(viewers().size(), 1);
        QCOMPARE(r.h.status(), before);
    }

    // Only the program's name, "--view" and a file start a viewing; any other start is the
    // recorder's.
    void viewingArguments_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("viewed"); // null: the recorder starts
        const QString exe = "/opt/weighbridge/weighbridge";
        QTest::newRow("viewing") << QStringList{exe, "--view", "/d/2010-8-4.xls"}
                                 << "/d/2010-8-4.xls";
        QTest::newRow("a file named like an option")
            << QStringList{exe, "--view", "-v.xls"} << "-v.xls";
        QTest::newRow("no arguments") << QStringList{exe} << QString();
        QTest::newRow("no file") << QStringList{exe, "--view"} << QString();
        QTest::newRow("empty file") << QStringList{exe, "--view", ""} << QString();
        QTest::newRow("a file alone") << QStringList{exe, "/d/2010-8-4.xls"} << QString();
        QTest::newRow("two files") << QStringList{exe, "--view", "a.xls", "b.xls"} << QString();
        QTest::newRow("another option") << QStringList{exe, "--View", "a.xls"} << QString();
    }
    void viewingArguments() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, viewed);
        const std::optional<QString> path = app::viewingPath(arguments);
        QCOMPARE(path.has_value(), !viewed.isNull());
        if (path) {
            QCOMPARE(*path, viewed);
            QCOMPARE(app::viewingPath(arguments.mid(0, 1) + app::viewingArguments(viewed)), path);
        }
    }

    // A chosen workbook opens in a read-only viewer of its own, its cells as the file has them.
    void viewerShowsTheWorkbook() {
        Rig r;
        writeSample(r.file("2010-8-4.xls"));
        const QString before = r.h.status();
        r.view(r.file("2010-8-4.xls"));
        QCOMPARE(viewers().size(), 1);
        WorkbookViewer* v = viewers().first();
        QCOMPARE(v->windowTitle(), QString("2010-8-4.xls [只读]"));
        QVERIFY(v->isVisible() && !v->parent() && !v->isModal());
        QCOMPARE(v->tabs()->tabText(1), QString("备注"));
        QCOMPARE(cell(v, 0, 1, 8), QString("4"));
        QCOMPARE(cell(v, 0, 4, 5), QString("-1234567.25"));
        QCOMPARE(cell(v, 1, 2, 2), QString("过磅员：张三"));
        QCOMPARE(r.h.status(), before);

        records::SheetView* view = v->sheetView(0);
        QCOMPARE(view->model()->headerData(7, Qt::Horizontal).toString(), QString("H"));
        // Wide enough to read: the Chinese text outweighs longer Latin ones.
        QVERIFY(view->columnWidth(3) > view->fontMetrics().horizontalAdvance(kLongPlace));

        // No editing; Ctrl+C copies the rectangle around the selection as tab-separated rows.
        view->setCurrentIndex(view->model()->index(1, 3));
        QTest::keyClicks(view, "x");
        QTest::keyClick(view, Qt::Key_F2);
        QVERIFY(view->findChildren<QLineEdit*>().isEmpty());
        QCOMPARE(cell(v, 0, 2, 4), QString("ABCDEFGHIJKLMN"));
        QItemSelection selection(view->model()->index(0, 0), view->model()->index(1, 1));
        selection.select(view->model()->index(2, 3), view->model()->index(2, 3));
        view->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 "序号\t日期\t\t\n1\t2010/8/4\t\t\n\t\t\t" + kLongPlace + "\n");

        // A second viewing is a window of its own: it outlives the first and the main window.
        r.view(r.file("2010-8-4.xls"));
        const QList<WorkbookViewer*> two = viewers();
        QCOMPARE(two.size(), 2);
        QPointer<WorkbookViewer> first = v, second = two[two[0] == v ? 1 : 0];
        first->close();
        QCOMPARE(viewers(), QList<WorkbookViewer*>{second});
        QVERIFY(!first);
        r.h->close();
        r.h.form.reset();
        QCOMPARE(viewers(), QList<WorkbookViewer*>{second});
        QVERIFY(second->isVisible());
        QCOMPARE(cell(second, 0, 1, 1), QString("序号"));
    }

    // The viewer's cells hold what the sheet held, cell for cell (texts shared or not, numbers,
    // truth values, gaps, empty rows), and a full day's sheet of different texts in less than
    // its file.
    void viewerCells() {
        workbook::Sheet s("sheet1");
        s.setText(1, 1, "序号");
        s.setText(1, 3, "序号");
        s.setNumber(1, 8, -0.5);
        s.setBoolean(3, 2, true);
        s.setBoolean(3, 4, false);
        s.setText(3, 5, QString());
        s.setText(5, 256, kLongPlace);
        const records::ViewerCells cells(s);
        QCOMPARE(cells.name(), QString("sheet1"));
        QCOMPARE(cells.rowCount(), s.rowCount());
        QCOMPARE(cells.columnCount(), s.columnCount());
        for (int r = 0; r <= s.rowCount() + 1; ++r)
            for (int c = 0; c <= 257; ++c)
                QVERIFY2(cells.cell(r, c) == s.cell(r, c),
                         qPrintable(QString("%1,%2").arg(r).arg(c)));

        QTemporaryDir folder;
        const QString path = folder.filePath("full.xls");
        workbook::Book book;
        workbook::Sheet& full = book.addSheet("sheet1");
        for (int r = 1; r <= workbook::MaxRows; ++r) {
            full.setNumber(r, 1, r);
            full.setText(r, 2, "2010/8/4");
            full.setText(r, 3, QTime(0, 0).addSecs(r % 86400).toString("HH:mm:ss"));
            full.setText(r, 4, QString("浙A%1").arg(r, 5, 10, QChar('0')));
            full.setNumber(r, 5, 15000 + r * 0.25);
        }
        workbook::writeBook(book, path);
        const records::ViewerCells held(workbook::readForViewing(path).book.sheet(0));
        QVERIFY2(held.bytes() < static_cast<std::size_t>(QFileInfo(path).size()),
                 qPrintable(QString("%1 of %2").arg(held.bytes()).arg(QFileInfo(path).size())));
        QCOMPARE(held.cell(workbook::MaxRows, 4).textValue(), QString("浙A65536"));
    }

    // The day's workbook while rows wait in memory: the viewer shows the stored rows only and
    // leaves the record store alone.
    void todaysWorkbookWithRowsUnsaved() {
        Rig r;
        r.hold({"浙A00001", "浙A00002"});
        r.h->Command4->click();
        r.hold({"浙A00003"});
        const auto held = r.h->Rec_CarNo;
        r.view(r.file("2010-8-4.xls"));
        WorkbookViewer* v = viewers().first();
        QCOMPARE(cell(v, 0, 3, 4), QString("浙A00002"));
        QCOMPARE(cell(v, 0, 4, 4), QString());
        QCOMPARE(r.h->Rec_Count, 1);
        QVERIFY(r.h->Rec_CarNo == held);
    }

    // A file that cannot be read is reported with its name and the reason, and opens nothing.
    void unreadableFiles() {
        Rig r;
        const QString text = r.file("text.xls"), cut = r.file("cut.xls");
        QFile f(text);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("序号,日期\n1,2010/8/4\n") > 0);
        f.close();
        writeSample(cut);
        QVERIFY(QFile::resize(cut, QFileInfo(cut).size() / 2));
        const QString before = r.h.status();
        for (const QString& bad : {text, cut}) {
            r.h.messages->shown.clear();
            r.view(bad);
            QCOMPARE(viewers().size(), 0);
            QCOMPARE(r.h.messages->shown.size(), 1);
            const QString prompt = r.h.messages->shown[0].prompt;
            QVERIFY2(prompt.startsWith("无法打开所选的文件：\n" + QDir::toNativeSeparators(bad) +
                                       "\n原因：") &&
                         !prompt.endsWith("原因："),
                     qPrintable(prompt));
        }
        QCOMPARE(r.h.status(), before);
    }

    // The Qt dialog starts in the folder of the name set, filtered by its pattern; a cancel
    // keeps the name, a choice gives the file's full path.
    void qtDialog() {
        QTemporaryDir folder;
        writeSample(folder.filePath("2010-8-4.xls"));
        const QString initial =
            QDir::toNativeSeparators(folder.path()) + QDir::separator() + "*.xls";
        platform::QtFileDialog dialog;
        dialog.setFilter("工作表(*.xls)|*.xls");
        dialog.setFilterIndex(1);
        for (const bool choose : {false, true}) {
            dialog.setFileName(initial);
            QString directory, nameFilter;
            QTimer::singleShot(0, [&] {
                auto* shown = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                QVERIFY(shown);
                directory = shown->directory().absolutePath();
                nameFilter = shown->selectedNameFilter();
                if (!choose)
                    return shown->reject();
                shown->selectFile("2010-8-4.xls");
                static_cast<QDialog*>(shown)->accept();
            });
            dialog.ShowOpen();
            QCOMPARE(directory, QDir(folder.path()).absolutePath());
            QCOMPARE(nameFilter, QString("工作表(*.xls)"));
            QCOMPARE(dialog.fileName(),
                     choose ? QDir::toNativeSeparators(folder.filePath("2010-8-4.xls")) : initial);
        }
    }
};

WB_TEST_CLASS(TstWorkbookViewing, "tst_workbook_viewing")
#include "tst_workbook_viewing.moc"
