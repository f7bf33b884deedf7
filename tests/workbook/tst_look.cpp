// How a workbook looks, as read beside its cells: the cell formats kept as runs down each
// column (in order, with gaps, out of order, a full sheet in a few runs), the lookups that
// fall back from a cell to its row, its column and the default format, and a look read from
// streams cut short or damaged anywhere, which never fails and never keeps a reader from
// showing the cells.

#include "workbook/biff_reader.h"
#include "workbook/file_io.h"
#include "workbook/look.h"
#include "workbook/readers.h"

#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

using workbook::CellFormats;

class TstLook : public QObject {
    Q_OBJECT
private slots:
    // Cells set in the order given ("row:format" down column 0); then each row's format.
    void cellFormats_data() {
        QTest::addColumn<QString>("cells");
        QTest::addColumn<QString>("expected"); // formats of rows 0 to 7, "-" for none
        QTest::newRow("none") << ""
                              << "- - - - - - - -";
        QTest::newRow("in order") << "0:15 1:15 2:16"
                                  << "15 15 16 - - - - -";
        QTest::newRow("gap") << "1:15 4:15"
                             << "- 15 - - 15 - - -";
        QTest::newRow("last row again") << "2:15 2:17"
                                        << "- - 17 - - - - -";
        QTest::newRow("above, inside a run") << "0:15 1:15 2:15 3:15 1:20"
                                             << "15 20 15 15 - - - -";
        QTest::newRow("above, in a gap") << "0:15 5:15 2:21"
                                         << "15 - 21 - - 15 - -";
        QTest::newRow("above, same format") << "0:15 1:15 2:15 1:15"
                                            << "15 15 15 - - - - -";
        QTest::newRow("first row last") << "3:15 0:18"
                                        << "18 - - 15 - - - -";
    }
    void cellFormats() {
        QFETCH(QString, cells);
        QFETCH(QString, expected);
        CellFormats f;
        for (const QString& cell : cells.split(u' ', Qt::SkipEmptyParts)) {
            const QStringList p = cell.split(u':');
            f.set(p[0].toInt(), 0, static_cast<std::uint16_t>(p[1].toInt()));
        }
        QStringList got;
        for (int r = 0; r < 8; ++r) {
            const std::uint16_t x = f.at(r, 0);
            got << (x == CellFormats::kNone ? QStringLiteral("-") : QString::number(x));
        }
        QCOMPARE(got.join(u' '), expected);
        QCOMPARE(f.at(0, 1), CellFormats::kNone);
    }

    // A full day's sheet formatted alike down its columns costs a few runs, and cells outside
    // the sheet's limits are ignored.
    void fullSheetInFewRuns() {
        CellFormats f;
        for (int r = 0; r < workbook::MaxRows; ++r)
            for (int c = 0; c < 8; ++c)
                f.set(r, c, r == 0 ? 20 : static_cast<std::uint16_t>(15 + c % 2));
        QVERIFY2(f.runCount() <= 8 * 3, qPrintable(QString::number(f.runCount())));
        QCOMPARE(f.at(workbook::MaxRows - 1, 7), 16);
        QCOMPARE(f.at(0, 3), 20);
        f.set(workbook::MaxRows, 0, 30);
        f.set(0, workbook::MaxColumns, 30);
        f.set(-1, 0, 30);
        QCOMPARE(f.at(workbook::MaxRows, 0), CellFormats::kNone);
        QVERIFY(f.runCount() <= 8 * 3);
    }

    // A cell without a format of its own is drawn with its row's, else its column's, else
    // the default format 15.
    void formatFallsBack() {
        workbook::SheetLook look;
        look.cells.set(0, 0, 21);
        look.rows[0].format = 22;
        look.rows[1].format = 23;
        look.rows[2] = workbook::RowLook{}; // a row of its own height only
        look.columns.push_back({2, 4, 3000, 24, false});
        QCOMPARE(look.formatAt(0, 0), 21);
        QCOMPARE(look.formatAt(0, 1), 22);
        QCOMPARE(look.formatAt(1, 3), 23);
        QCOMPARE(look.formatAt(2, 3), 24);
        QCOMPARE(look.formatAt(2, 5), 15);
        QVERIFY(look.column(1) == nullptr);
        QCOMPARE(look.column(4)->width, 3000);
    }

    // The palette, the fonts (index 4 does not exist in a file's numbering) and the codes.
    void bookLookups() {
        workbook::BookLook look;
        QCOMPARE(look.colour(2, 0), 0xFF0000u);
        QCOMPARE(look.colour(10, 0), 0xFF0000u);
        QCOMPARE(look.colour(63, 0), 0x333333u);
        QCOMPARE(look.colour(64, 0xABCDEF), 0xABCDEFu);
        QCOMPARE(look.colour(workbook::kAutomaticColour, 1), 1u);
        QCOMPARE(look.font(7).name, QString()); // no fonts: a plain one
        for (const char* name : {"a", "b", "c", "d", "e", "f"}) {
            workbook::FontLook font;
            font.name = QString::fromLatin1(name);
            look.fonts.push_back(font);
        }
        QCOMPARE(look.font(3).name, QString("d"));
        QCOMPARE(look.font(5).name, QString("e"));
        QCOMPARE(look.font(40).name, QString("a"));
        look.numberFormats[14] = QStringLiteral("d.m.yyyy");
        QCOMPARE(look.numberFormatCode(14), QString("d.m.yyyy"));
        QCOMPARE(look.numberFormatCode(10), QString("0.00%"));
        QCOMPARE(look.numberFormatCode(200), QString("General"));
    }

    // Records other writers make and ours does not: a hidden worksheet (its cells are read
    // as any other sheet's) and a MULBLANK (a format for each of its cells, none beyond).
    void recordsOfOtherWriters() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("two.xls"));
        workbook::Book book;
        book.addSheet(QStringLiteral("sheet1")).setText(1, 1, QStringLiteral("a"));
        book.addSheet(QStringLiteral("hidden")).setText(2, 2, QStringLiteral("b"));
        workbook::writeBook(book, path);
        std::vector<std::uint8_t> stream = workbook::detail::openCompoundFile(path).stream;
        std::size_t last = 0; // the last sheet's EOF
        for (std::size_t at = 0, sheets = 0; at + 4 <= stream.size();) {
            const auto type = qFromLittleEndian<quint16>(&stream[at]);
            if (type == 0x0085 && ++sheets == 2)
                stream[at + 4 + 4] = 1; // hidden
            if (type == 0x000A)
                last = at;
            at += 4 + qFromLittleEndian<quint16>(&stream[at + 2]);
        }
        // Row 5 (0-based 4), columns C to E with formats 15, 16, 17.
        const std::uint8_t mulBlank[] = {0xBE, 0, 12, 0, 4, 0, 2, 0, 15, 0, 16, 0, 17, 0, 4, 0};
        stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(last), std::begin(mulBlank),
                      std::end(mulBlank));

        const workbook::biff::StreamResult read = workbook::biff::readStream(stream);
        QVERIFY(read.book);
        QCOMPARE(read.book->sheetCount(), 2);
        QCOMPARE(read.book->sheet(1).cell(2, 2).textValue(), QString("b"));
        const workbook::BookLook look = workbook::biff::readLook(stream);
        QCOMPARE(look.sheets.size(), 2u);
        const CellFormats& cells = look.sheets[1].cells;
        QCOMPARE(cells.at(4, 1), CellFormats::kNone);
        QCOMPARE(cells.at(4, 2), 15);
        QCOMPARE(cells.at(4, 4), 17);
        QCOMPARE(cells.at(4, 5), CellFormats::kNone);
    }

    // The LibreOffice day's look as the file holds it (each property against POI:
    // tst_viewer_look); cut short at every length or with any byte changed, the look reader
    // never fails and the cell reader still decides alone whether the file is shown.
    void damagedStreams() {
        const QString path = QStringLiteral(WB_TEST_SOURCE_DIR "/data/lo_look.xls");
        const workbook::detail::CompoundFile file = workbook::detail::openCompoundFile(path);
        QVERIFY(file.state == workbook::detail::CompoundFile::State::Workbook);
        const workbook::BookLook whole = workbook::biff::readLook(file.stream);
        QCOMPARE(whole.sheets.size(), 2u);
        QCOMPARE(whole.sheets[0].merges.size(), 1u);
        QCOMPARE(whole.sheets[0].comments.size(), 1u);
        QCOMPARE(whole.sheets[0].frozenRows, 1);
        QCOMPARE(whole.sheets[1].frozenColumns, 1);

        const std::span<const std::uint8_t> bytes(file.stream);
        for (std::size_t size = 0; size < bytes.size(); size += 1 + size / 50)
            (void)workbook::biff::readLook(bytes.first(size));
        std::vector<std::uint8_t> changed = file.stream;
        for (std::size_t at = 0; at < changed.size(); at += 3) {
            const std::uint8_t was = changed[at];
            changed[at] = static_cast<std::uint8_t>(~was);
            const workbook::BookLook look = workbook::biff::readLook(changed);
            QVERIFY(look.sheets.size() <= 2);
            changed[at] = was;
        }
        const workbook::ViewedBook viewed = workbook::readForViewing(path);
        QCOMPARE(viewed.look.sheets.size(), viewed.book.sheets().size());
        // The viewer's reading keeps numbers as numbers: the date column's formats show them.
        QCOMPARE(viewed.book.sheet(0).cell(2, 2).kind(), workbook::Value::Kind::Number);
        QCOMPARE(workbook::readBook(path).sheet(0).cell(2, 2).textValue(), QString("2026-12-07"));
    }
};

QTEST_GUILESS_MAIN(TstLook)
#include "tst_look.moc"
