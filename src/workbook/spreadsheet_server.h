#pragma once
// An in-process stand-in for the spreadsheet application's automation server, with the
// members the day's workbook store (when it holds the day's workbook by value) and the
// journal's check of a stored row use, by the same names:
//
//   Application app;                          // "Excel.Application": a new instance
//   app.setVisible(false); app.setDisplayAlerts(false);
//   Workbook& wb = app.workbooks().open(path);               // or .add()
//   Worksheet& ws = wb.worksheets(u"sheet1");                 // or wb.worksheets(1)
//   ws.activate();
//   Value h1 = ws.cells(1, 8);                                // empty when never written
//   ws.setCells(2, 1, QStringLiteral(" 1"));                  // a number text: stored as a number
//   ws.saveAs(path); wb.close(true); app.quit();
//
// The workbooks live in memory; files are read with readBook() and written with writeBook(),
// so every save is atomic. Objects handed out stay valid until the Application is destroyed;
// using one after its workbook was closed, or after quit(), throws Error (InvalidUse).

#include "workbook/book.h"
#include "workbook/file_io.h"

#include <memory>
#include <vector>

namespace workbook {

class Workbook;

class Worksheet {
public:
    QString name() const;
    // Makes this the workbook's active sheet, the one shown when the file is opened.
    void activate();
    // The cell's value; empty when never written. A number reads back through
    // Value::toString() as the number text it was written with.
    Value cells(int row, int column) const;
    // Writes a text into a cell. A text that is exactly the number text of a number (" 0",
    // " 15.25", "-1.5") is stored as that number, so a spreadsheet can sum it; any other text
    // (dates, times, "00123") is stored as it is; an empty text leaves the cell empty.
    void setCells(int row, int column, const QString& text);
    // Saves the whole workbook to `path`, replacing a file there.
    void saveAs(const QString& path);
    Workbook& parent() const { return *m_workbook; }

private:
    friend class Workbook;
    Worksheet(Workbook* workbook, int index) : m_workbook(workbook), m_index(index) {}
    Workbook* m_workbook;
    int m_index; // 0-based, in the workbook's book
};

class Workbook {
public:
    // The worksheet named `name`, ignoring case, or the one at the 1-based `index`. Throws
    // Error (NoSuchSheet) when there is none.
    Worksheet& worksheets(const QString& name);
    Worksheet& worksheets(int index);
    // Appends an empty worksheet (for rows beyond what one sheet holds: "sheet2", ...).
    Worksheet& addWorksheet(const QString& name);

    // Writes the workbook to `path`, replacing a file there; from then on it is the
    // workbook's file and it counts as saved.
    void saveAs(const QString& path);
    // Saves to the workbook's own file when `saveChanges` and anything changed since it was
    // opened or last saved, then closes it. Closing without saving drops the changes.
    void close(bool saveChanges);

    const Book& book() const;

private:
    friend class Application;
    friend class Workbooks;
    friend class Worksheet;
    Workbook(Book book, QString path, bool readOnly);
    Book& liveBook();
    void checkOpen() const;
    Worksheet& handle(int index);

    Book m_book;
    QString m_path;
    bool m_readOnly = false;
    bool m_dirty = false;
    bool m_open = true;
    std::vector<std::unique_ptr<Worksheet>> m_worksheets;
};

class Application;

class Workbooks {
public:
    // Opens the workbook at `path`; `readOnly` as for viewing. Throws Error: Missing when
    // there is no file there, NotWorkbook, Damaged, Encrypted or Io when it cannot be read.
    Workbook& open(const QString& path, bool readOnly = false);
    // A new workbook with one empty worksheet, "Sheet1".
    Workbook& add();

private:
    friend class Application;
    explicit Workbooks(Application* application) : m_application(application) {}
    Workbook& keep(std::unique_ptr<Workbook> workbook);

    Application* m_application;
    std::vector<std::unique_ptr<Workbook>> m_workbooks;
};

class Application {
public:
    Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // No window and no prompt is ever shown; kept for the callers that set them.
    void setVisible(bool) {}
    void setDisplayAlerts(bool) {}

    Workbooks& workbooks();
    // Ends the instance: every workbook still open is closed without saving.
    void quit();

private:
    friend class Workbooks;
    bool m_quit = false;
    Workbooks m_workbooks{this};
};

} // namespace workbook
