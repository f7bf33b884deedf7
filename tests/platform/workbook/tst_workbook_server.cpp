// The spreadsheet-server model as the day's workbook store and the viewing use it.

#include "platform/workbook/spreadsheet_server.h"
#include "xls_test_support.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <sys/stat.h>

using namespace workbook;

namespace {

const char* const Captions[] = {"序号", "日期", "时间", "车号", "毛重", "皮重", "净重"};

// What the store does with one batch of rows: open (or, when the day's file is missing,
// add and save a new workbook with the header first), continue below the row counter in H1,
// save and close. Returns the last row written.
int store(const QString& path, int rows) {
    Application app;
    app.setVisible(false);
    app.setDisplayAlerts(false);
    Workbook* wb = nullptr;
    try {
        wb = &app.workbooks().open(path);
    } catch (const Error& e) {
        if (e.kind() != Error::Kind::Missing)
            throw;
        Workbook& fresh = app.workbooks().add();
        Worksheet& first = fresh.worksheets(1);
        for (int c = 0; c < 7; ++c)
            first.setCells(1, c + 1, QString::fromUtf8(Captions[c]));
        first.setCells(1, 8, QStringLiteral("1"));
        first.saveAs(path);
        fresh.close(true);
        wb = &app.workbooks().open(path);
    }
    Worksheet& ws = wb->worksheets(QStringLiteral("sheet1"));
    ws.activate();
    int last = workbook::numberFromText(ws.cells(1, 8).toString())
                   .value_or(ws.cells(1, 8).toString().toInt());
    for (int k = 0; k < rows; ++k) {
        ++last;
        ws.setCells(last, 1, workbook::numberText(last - 1));
        ws.setCells(last, 2, QStringLiteral("2026/12/7"));
        ws.setCells(last, 3, QStringLiteral("8:04:%1").arg(last, 2, 10, QLatin1Char('0')));
        ws.setCells(last, 4, QStringLiteral("00123"));
        ws.setCells(last, 5, QStringLiteral(" 15.25"));
        ws.setCells(last, 6, QStringLiteral(" 5"));
        ws.setCells(last, 7, QStringLiteral(" 10.25"));
    }
    ws.setCells(1, 8, workbook::numberText(last));
    ws.saveAs(path);
    wb->close(true);
    app.quit();
    return last;
}

ino_t inode(const QString& path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_ino;
}

} // namespace

class TestWorkbookServer : public QObject {
    Q_OBJECT
private slots:
    void storesOfADay();
    void cellTexts_data();
    void cellTexts();
    void closeSavesOnlyChanges();
    void readOnlyOpen();
    void lookups();
    void spillSheet();
    void openTellsMissingFromUnreadable();
    void closedAndQuit();

private:
    QTemporaryDir m_dir;
};

void TestWorkbookServer::storesOfADay() {
    const QString path = m_dir.filePath(QStringLiteral("2026-12-7.xls"));
    QCOMPARE(store(path, 3), 4);
    QCOMPARE(store(path, 2), 6);

    const Book book = readBook(path);
    QCOMPARE(book.sheetCount(), 1);
    const Sheet& sheet = book.sheet(0);
    QCOMPARE(sheet.name(), QStringLiteral("Sheet1"));
    QCOMPARE(sheet.rowCount(), 6);
    QCOMPARE(sheet.cell(1, 1).toString(), QString::fromUtf8("序号"));
    QCOMPARE(sheet.cell(1, 8), Value::number(6));
    for (int r = 2; r <= 6; ++r) {
        QCOMPARE(sheet.cell(r, 1), Value::number(r - 1)); // serial numbers go on
        QCOMPARE(sheet.cell(r, 4), Value::text(QStringLiteral("00123")));
        QCOMPARE(sheet.cell(r, 5), Value::number(15.25));
    }
    // An independent reader sees numbers where weights are, so that they can be summed.
    QString error;
    const Book byXlrd = wbtest::xlrdBook(path, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(byXlrd.sheet(0).cell(6, 7), Value::number(10.25));
    QCOMPARE(byXlrd.sheet(0).cell(6, 2), Value::text(QStringLiteral("2026/12/7")));
}

void TestWorkbookServer::cellTexts_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<Value::Kind>("stored");
    QTest::newRow("weight") << " 15.25" << Value::Kind::Number;
    QTest::newRow("zero") << " 0" << Value::Kind::Number;
    QTest::newRow("negative") << "-1.5" << Value::Kind::Number;
    QTest::newRow("counter as plain digits") << "1" << Value::Kind::Text;
    QTest::newRow("vehicle with zeros") << "00123" << Value::Kind::Text;
    QTest::newRow("date") << "2026/12/7" << Value::Kind::Text;
    QTest::newRow("time") << "8:04:07" << Value::Kind::Text;
    QTest::newRow("error text of the net box") << QString::fromUtf8("出错！") << Value::Kind::Text;
    QTest::newRow("empty text") << "" << Value::Kind::Text;
}

// A text written through "cells" reads back as the same text, after a save and an open too.
void TestWorkbookServer::cellTexts() {
    QFETCH(QString, text);
    QFETCH(Value::Kind, stored);
    const QString path = m_dir.filePath(QStringLiteral("cell.xls"));
    Application app;
    Workbook& wb = app.workbooks().add();
    wb.worksheets(1).setCells(2, 5, text);
    QCOMPARE(wb.worksheets(1).cells(2, 5).kind(), stored);
    QCOMPARE(wb.worksheets(1).cells(2, 5).toString(), text);
    wb.worksheets(1).saveAs(path);
    wb.close(true);
    const Value back = app.workbooks().open(path).worksheets(1).cells(2, 5);
    QCOMPARE(back.kind(), stored);
    QCOMPARE(back.toString(), text);
}

void TestWorkbookServer::closeSavesOnlyChanges() {
    const QString path = m_dir.filePath(QStringLiteral("close.xls"));
    store(path, 1);
    const ino_t saved = inode(path);
    {
        Application app;
        Workbook& wb = app.workbooks().open(path);
        wb.worksheets(1).saveAs(path);
        const ino_t afterSaveAs = inode(path);
        QVERIFY(afterSaveAs != saved);
        wb.close(true); // nothing changed since saveas: no second write
        QCOMPARE(inode(path), afterSaveAs);
    }
    Application app;
    Workbook& wb = app.workbooks().open(path);
    wb.worksheets(1).setCells(9, 9, QStringLiteral("x"));
    QVERIFY(!wb.saved());
    const ino_t before = inode(path);
    wb.close(true); // a change: saved to its own file
    QVERIFY(inode(path) != before);
    QCOMPARE(readBook(path).sheet(0).cell(9, 9), Value::text(QStringLiteral("x")));
}

void TestWorkbookServer::readOnlyOpen() {
    const QString path = m_dir.filePath(QStringLiteral("view.xls"));
    store(path, 2);
    const ino_t before = inode(path);
    Application app;
    app.setVisible(true);
    Workbook& wb = app.workbooks().open(path, true);
    QVERIFY(wb.readOnly());
    QCOMPARE(wb.worksheets(1).cells(3, 4).toString(), QStringLiteral("00123"));
    wb.worksheets(1).setCells(3, 4, QStringLiteral("changed"));
    QVERIFY_THROWS_EXCEPTION(Error, wb.close(true));
    QCOMPARE(inode(path), before);
    wb.close(false);
    QCOMPARE(inode(path), before);
}

void TestWorkbookServer::lookups() {
    Application app;
    Workbook& wb = app.workbooks().add();
    QCOMPARE(&wb.worksheets(QStringLiteral("SHEET1")), &wb.worksheets(1));
    QVERIFY(wb.worksheets(1).cells(1, 8).isEmpty());
    for (auto lookup : {std::function<void()>([&] { wb.worksheets(QStringLiteral("sheet2")); }),
                        std::function<void()>([&] { wb.worksheets(0); }),
                        std::function<void()>([&] { wb.worksheets(2); })}) {
        try {
            lookup();
            QFAIL("found a sheet that is not there");
        } catch (const Error& e) {
            QCOMPARE(e.kind(), Error::Kind::NoSuchSheet);
        }
    }
}

// Rows beyond one sheet go on in "sheet2"; the saved file keeps both, the second active.
void TestWorkbookServer::spillSheet() {
    const QString path = m_dir.filePath(QStringLiteral("spill.xls"));
    Application app;
    Workbook& wb = app.workbooks().add();
    wb.worksheets(1).setCells(MaxRows, 1, QStringLiteral(" 65535"));
    QVERIFY_THROWS_EXCEPTION(Error, wb.worksheets(1).setCells(MaxRows + 1, 1, QStringLiteral("x")));
    Worksheet& next = wb.addWorksheet(QStringLiteral("sheet2"));
    next.activate();
    next.setCells(1, 1, QStringLiteral(" 65536"));
    next.saveAs(path);
    wb.close(true);
    const Book book = readBook(path);
    QCOMPARE(book.sheetCount(), 2);
    QCOMPARE(book.sheet(1).name(), QStringLiteral("sheet2"));
    QCOMPARE(book.sheet(0).cell(MaxRows, 1), Value::number(65535));
    QCOMPARE(book.sheet(1).cell(1, 1), Value::number(65536));
}

void TestWorkbookServer::openTellsMissingFromUnreadable() {
    const QString missing = m_dir.filePath(QStringLiteral("none.xls"));
    const QString text = m_dir.filePath(QStringLiteral("text.xls"));
    QFile f(text);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("not a workbook\n");
    f.close();
    Application app;
    for (const auto& [path, kind] :
         {std::pair(missing, Error::Kind::Missing), std::pair(text, Error::Kind::NotWorkbook)}) {
        try {
            app.workbooks().open(path, true);
            QFAIL("opened");
        } catch (const Error& e) {
            QCOMPARE(e.kind(), kind);
        }
    }
    QCOMPARE(app.workbooks().count(), 0);
}

void TestWorkbookServer::closedAndQuit() {
    const QString path = m_dir.filePath(QStringLiteral("quit.xls"));
    store(path, 1);
    const ino_t before = inode(path);
    Application app;
    Workbook& closed = app.workbooks().open(path);
    Worksheet& ws = closed.worksheets(1);
    closed.close(false);
    QVERIFY_THROWS_EXCEPTION(Error, ws.cells(1, 1));
    Workbook& open = app.workbooks().open(path);
    open.worksheets(1).setCells(5, 5, QStringLiteral("dropped"));
    QCOMPARE(app.workbooks().count(), 1);
    app.quit(); // closes without saving
    QVERIFY(!open.isOpen());
    QCOMPARE(inode(path), before);
    QVERIFY_THROWS_EXCEPTION(Error, app.workbooks());
}

QTEST_GUILESS_MAIN(TestWorkbookServer)
#include "tst_workbook_server.moc"
