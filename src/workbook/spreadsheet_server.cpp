#include "workbook/spreadsheet_server.h"
#include "workbook/reasons.h"

namespace workbook {

namespace {
[[noreturn]] void misuse(const QString& file, const QString& reason) {
    throw Error(Error::Kind::InvalidUse, file, reason);
}
} // namespace

// Worksheet

QString Worksheet::name() const {
    return m_workbook->book().sheet(m_index).name();
}

void Worksheet::activate() {
    m_workbook->liveBook().setActiveSheet(m_index);
}

Value Worksheet::cells(int row, int column) const {
    return m_workbook->book().sheet(m_index).cell(row, column);
}

void Worksheet::setCells(int row, int column, const QString& text) {
    Sheet& sheet = m_workbook->liveBook().sheet(m_index);
    if (text.isEmpty())
        sheet.clearCell(row, column);
    else if (const auto number = numberFromText(text))
        sheet.setNumber(row, column, *number);
    else
        sheet.setText(row, column, text);
    m_workbook->m_dirty = true;
}

void Worksheet::saveAs(const QString& path) {
    m_workbook->saveAs(path);
}

// Workbook

Workbook::Workbook(Book book, QString path, bool readOnly)
    : m_book(std::move(book)), m_path(std::move(path)), m_readOnly(readOnly) {}

const Book& Workbook::book() const {
    checkOpen();
    return m_book;
}

Book& Workbook::liveBook() {
    checkOpen();
    return m_book;
}

void Workbook::checkOpen() const {
    if (!m_open)
        misuse(m_path, reasonText(Reason::WorkbookClosed));
}

Worksheet& Workbook::handle(int index) {
    const auto i = static_cast<std::size_t>(index);
    if (m_worksheets.size() <= i)
        m_worksheets.resize(i + 1);
    if (!m_worksheets[i])
        m_worksheets[i].reset(new Worksheet(this, index));
    return *m_worksheets[i];
}

Worksheet& Workbook::worksheets(const QString& name) {
    const int index = book().indexOf(name);
    if (index < 0)
        throw Error(Error::Kind::NoSuchSheet, m_path, reasonText(Reason::NoSheetNamed).arg(name));
    return handle(index);
}

Worksheet& Workbook::worksheets(int index) {
    if (index < 1 || index > book().sheetCount())
        throw Error(Error::Kind::NoSuchSheet, m_path, reasonText(Reason::NoSheetNumber).arg(index));
    return handle(index - 1);
}

Worksheet& Workbook::addWorksheet(const QString& name) {
    liveBook().addSheet(name);
    m_dirty = true;
    return handle(m_book.sheetCount() - 1);
}

void Workbook::saveAs(const QString& path) {
    writeBook(book(), path);
    m_path = path;
    m_readOnly = false;
    m_dirty = false;
}

void Workbook::close(bool saveChanges) {
    checkOpen();
    if (saveChanges && m_dirty) {
        if (m_path.isEmpty())
            misuse(m_path, reasonText(Reason::NeverSaved));
        if (m_readOnly)
            misuse(m_path, reasonText(Reason::OpenedReadOnly));
        writeBook(m_book, m_path);
        m_dirty = false;
    }
    m_open = false;
    m_book = Book();
}

// Workbooks

Workbook& Workbooks::keep(std::unique_ptr<Workbook> workbook) {
    if (m_application->m_quit)
        misuse({}, reasonText(Reason::InstanceEnded));
    m_workbooks.push_back(std::move(workbook));
    return *m_workbooks.back();
}

Workbook& Workbooks::open(const QString& path, bool readOnly) {
    if (m_application->m_quit)
        misuse(path, reasonText(Reason::InstanceEnded));
    return keep(std::unique_ptr<Workbook>(new Workbook(readBook(path), path, readOnly)));
}

Workbook& Workbooks::add() {
    Book book;
    book.addSheet(QStringLiteral("Sheet1"));
    return keep(std::unique_ptr<Workbook>(new Workbook(std::move(book), {}, false)));
}

// Application

Application::Application() = default;

Workbooks& Application::workbooks() {
    if (m_quit)
        misuse({}, reasonText(Reason::InstanceEnded));
    return m_workbooks;
}

void Application::quit() {
    for (const auto& workbook : m_workbooks.m_workbooks)
        if (workbook->m_open)
            workbook->close(false);
    m_quit = true;
}

} // namespace workbook
