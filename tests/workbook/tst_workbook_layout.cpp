// The byte layout of written and edited workbook streams: EXTSST indexes the shared strings
// where they really start (bucket size, stream position, offset in the record), for tables in
// one record and over several CONTINUE records, written whole or appended to by the editor;
// and the streams the writer and the editor make for fixed inputs stay byte for byte what
// they were, record for record as data/layouts/ lists them (any change there must be
// deliberate: run the test with WB_UPDATE_LAYOUTS=1 to write the lists anew, and read the diff).

#include "workbook/biff_writer.h"
#include "workbook/editor.h"
#include "workbook/readers.h"
#include "xls_test_support.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <functional>

using namespace workbook;
using Stream = std::vector<std::uint8_t>;
using StreamMaker = std::function<Stream()>;
Q_DECLARE_METATYPE(StreamMaker)

namespace {

std::uint16_t le16(const Stream& s, std::size_t at) {
    return qFromLittleEndian<std::uint16_t>(&s[at]);
}
std::uint32_t le32(const Stream& s, std::size_t at) {
    return qFromLittleEndian<std::uint32_t>(&s[at]);
}

struct Rec {
    std::size_t pos; // of the header
    std::uint16_t type;
    std::size_t size;
};

// The records of the globals, up to their EOF.
std::vector<Rec> globals(const Stream& s) {
    std::vector<Rec> out;
    for (std::size_t pos = 0; pos + 4 <= s.size();) {
        out.push_back({pos, le16(s, pos), le16(s, pos + 2)});
        if (out.back().type == 0x000A)
            break;
        pos += 4 + out.back().size;
    }
    return out;
}

// A stream's layout as data/layouts/ pins it: the record count and the group size, then one
// line for each group of `group` records: the first one's index, type and offset, and a
// digest of the group's bytes (the last group to the stream's end).
QStringList layoutLines(const Stream& s, std::size_t group) {
    std::vector<Rec> recs;
    for (std::size_t pos = 0; pos + 4 <= s.size(); pos += 4 + recs.back().size)
        recs.push_back({pos, le16(s, pos), le16(s, pos + 2)});
    QStringList lines{QStringLiteral("%1 records, %2 bytes, groups of %3")
                          .arg(recs.size())
                          .arg(s.size())
                          .arg(group)};
    for (std::size_t i = 0; i < recs.size(); i += group) {
        const std::size_t from = recs[i].pos;
        const std::size_t to = i + group < recs.size() ? recs[i + group].pos : s.size();
        const QByteArray digest =
            QCryptographicHash::hash(QByteArrayView(reinterpret_cast<const char*>(&s[from]),
                                                    static_cast<qsizetype>(to - from)),
                                     QCryptographicHash::Sha256)
                .toHex()
                .left(16);
        lines << QStringLiteral("record %1 type 0x%2 offset %3 %4")
                     .arg(i)
                     .arg(recs[i].type, 4, 16, QLatin1Char('0'))
                     .arg(from)
                     .arg(QLatin1String(digest));
    }
    return lines;
}

// Where each shared string starts: its stream position and its offset in its record, header
// included. Walks SST and its CONTINUE records as a reader does: a string's characters that
// go on in the next record follow a fresh flags byte there.
std::vector<std::pair<std::uint32_t, std::uint16_t>> stringStarts(const Stream& s,
                                                                  const std::vector<Rec>& g) {
    std::vector<Rec> parts;
    for (const Rec& r : g)
        if (r.type == 0x00FC || (!parts.empty() && r.type == 0x003C &&
                                 parts.back().pos + 4 + parts.back().size == r.pos))
            parts.push_back(r);
    std::size_t part = 0;
    std::size_t off = 0; // in the part's data
    auto next = [&] {
        ++part;
        off = 0;
    };
    auto byte = [&]() -> std::uint8_t {
        if (off == parts[part].size)
            next();
        return s[parts[part].pos + 4 + off++];
    };
    auto bytes = [&](std::size_t n) {
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < n; ++k)
            v |= static_cast<std::uint32_t>(byte()) << (8 * k);
        return v;
    };
    std::vector<std::pair<std::uint32_t, std::uint16_t>> starts;
    bytes(4);
    const std::uint32_t unique = bytes(4);
    for (std::uint32_t i = 0; i < unique; ++i) {
        if (off == parts[part].size)
            next();
        starts.emplace_back(parts[part].pos + 4 + off, 4 + off);
        std::size_t count = bytes(2);
        std::uint8_t flags = byte();
        const std::size_t runs = (flags & 0x08) ? bytes(2) : 0;
        const std::size_t ext = (flags & 0x04) ? bytes(4) : 0;
        while (count > 0) {
            if (off == parts[part].size) {
                next();
                flags = byte();
            }
            const std::size_t charSize = (flags & 1) ? 2 : 1;
            const std::size_t n = std::min(count, (parts[part].size - off) / charSize);
            off += n * charSize;
            count -= n;
        }
        bytes(0);
        for (std::size_t k = 0; k < 4 * runs + ext; ++k)
            byte();
    }
    return starts;
}

// A day's sheet of our writer: `rows` rows, `distinct` of them with a vehicle text of their
// own (others repeat), a long text every 50 rows.
Stream ownDay(int rows, int distinct) {
    Book book;
    Sheet& sheet = book.addSheet(QStringLiteral("Sheet1"));
    sheet.setText(1, 1, QStringLiteral("序号"));
    sheet.setNumber(1, 8, rows + 1);
    for (int r = 2; r <= rows + 1; ++r) {
        sheet.setNumber(r, 1, r - 1);
        sheet.setText(r, 2, QStringLiteral("2026-12-7"));
        sheet.setText(r, 4, QString::fromUtf8("粤B%1").arg(r % distinct));
        sheet.setNumber(r, 5, 20000 + r % 15000 + (r % 4) * 0.25);
        if (r % 50 == 0)
            sheet.setText(r, 6, QString(700 + r % 300, QChar(r % 100 == 0 ? 0x4E00 + r : 'a')));
    }
    return biff::workbookStream(book);
}

// `rows` rows of a number and a short text of their own each.
Stream shortTexts(int rows) {
    Book book;
    Sheet& sheet = book.addSheet(QStringLiteral("Sheet1"));
    sheet.setText(1, 1, QStringLiteral("head"));
    for (int r = 2; r <= rows + 1; ++r) {
        sheet.setNumber(r, 1, r);
        sheet.setText(r, 2,
                      (r % 3 == 0 ? QStringLiteral("B%1") : QString::fromUtf8("粤B%1")).arg(r));
    }
    return biff::workbookStream(book);
}

// The store's writes into sheet 1 of `stream`: `rows` rows below the last with texts of
// their own, then H1.
// 45,000 rows with two texts of their own each: 90,000 shared strings.
Stream bigDay() {
    Book book;
    Sheet& sheet = book.addSheet(QStringLiteral("Sheet1"));
    sheet.setNumber(1, 8, 45001);
    for (int r = 2; r <= 45001; ++r) {
        sheet.setNumber(r, 1, r - 1);
        sheet.setText(r, 3, QStringLiteral("8:%1").arg(r));
        sheet.setText(r, 4, QString::fromUtf8("粤B%1").arg(r));
        sheet.setNumber(r, 5, 20000 + r % 15000 + (r % 4) * 0.25);
    }
    return biff::workbookStream(book);
}

Stream stored(Stream stream, int rows) {
    Editor editor(QStringLiteral("day"), std::move(stream));
    const int last = std::max(editor.lastRow(0), 1);
    for (int k = 1; k <= rows; ++k) {
        const int r = last + k;
        editor.setCell(0, r, 1, numberText(r - 1));
        editor.setCell(0, r, 4, QString::fromUtf8("京A%1").arg(k));
        editor.setCell(0, r, 5, numberText(k * 3.14159));
        if (k % 40 == 0)
            editor.setCell(0, r, 7, QString(900 + k, QChar(k % 80 == 0 ? 0x4E00 + k : 'x')));
    }
    editor.setCell(0, 1, 8, numberText(last + rows));
    return editor.editedStream();
}

// The same, saved over a file of `stream` (512-byte sectors), as a store saves: its rows
// shifted by whole sectors, the shared-string table split again to pad for it.
Stream storedInFile(Stream stream, int rows) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("day.xls"));
    detail::writeStreamFile(stream, path);
    Editor editor(path);
    const int last = std::max(editor.lastRow(0), 1);
    for (int k = 1; k <= rows; ++k) {
        editor.setCell(0, last + k, 1, numberText(last + k - 1));
        editor.setCell(0, last + k, 4, QString::fromUtf8("京A%1").arg(k));
    }
    editor.save();
    return detail::openCompoundFile(path).stream;
}

// Edits inside the rows there are: a cell of row 2 replaced, one added, one emptied; a new
// sheet with a header.
Stream editedInside(Stream stream) {
    Editor editor(QStringLiteral("day"), std::move(stream));
    const int last = std::max(editor.lastRow(0), 1);
    editor.setCell(0, 2, 2, QStringLiteral("中间"));
    editor.setCell(0, 2, 12, numberText(0.1));
    editor.setCell(0, last, 1, QString());
    editor.setCell(0, last / 2 + 1, 3, numberText(3.14159));
    const int added = editor.addWorksheet(QStringLiteral("sheet2"));
    editor.setCell(added, 1, 1, QStringLiteral("序号"));
    editor.setCell(added, 2, 1, numberText(1));
    return editor.editedStream();
}

Stream fixture(const char* name) {
    return detail::openCompoundFile(wbtest::sourceDir() + QStringLiteral("/data/") +
                                    QLatin1String(name))
        .stream;
}

} // namespace

class TestWorkbookLayout : public QObject {
    Q_OBJECT
private slots:
    void extSstIndexesTheStrings_data();
    void extSstIndexesTheStrings();
    void streamsStayTheSame_data();
    void streamsStayTheSame();
};

void TestWorkbookLayout::extSstIndexesTheStrings_data() {
    QTest::addColumn<StreamMaker>("make");
    QTest::addColumn<int>("strings");
    QTest::addColumn<int>("bucket");
    QTest::newRow("written, one record") << StreamMaker([] { return ownDay(20, 10); }) << 12 << 8;
    QTest::newRow("written, several CONTINUE records")
        << StreamMaker([] { return ownDay(3000, 2900); }) << 2935 << 23;
    QTest::newRow("edited, appended in the last record")
        << StreamMaker([] { return stored(ownDay(20, 10), 30); }) << 42 << 8;
    QTest::newRow("edited, appended over new CONTINUE records")
        << StreamMaker([] { return stored(ownDay(3000, 2900), 400); }) << 3345 << 27;
    QTest::newRow("edited, from 8 a bucket to more")
        << StreamMaker([] { return stored(ownDay(1000, 990), 100); }) << 1107 << 9;
    QTest::newRow("LibreOffice's, appended")
        << StreamMaker([] { return stored(fixture("lo_day.xls"), 200); }) << 0 << 8;
    // Saved over the file, padded: the table's last record split before strings and inside
    // them, a few rows (its strings in the old last record) or many (over CONTINUE records).
    // (3 rows: too few places in that record, the file written whole.)
    for (const std::pair<int, int>& p : {std::pair{3, 47}, {40, 48}, {400, 51}, {4000, 79}}) {
        const int rows = p.first;
        QTest::addRow("saved over the file, padded, %d rows", rows)
            << StreamMaker([rows] { return storedInFile(shortTexts(6000), rows); })
            << 6000 + rows + 1 << p.second;
    }
}

void TestWorkbookLayout::extSstIndexesTheStrings() {
    QFETCH(StreamMaker, make);
    QFETCH(int, strings);
    QFETCH(int, bucket);
    const Stream s = make();
    const std::vector<Rec> g = globals(s);
    const auto starts = stringStarts(s, g);
    if (strings > 0)
        QCOMPARE(int(starts.size()), strings);
    const auto ext =
        std::find_if(g.begin(), g.end(), [](const Rec& r) { return r.type == 0x00FF; });
    QVERIFY(ext != g.end());
    QCOMPARE(int(le16(s, ext->pos + 4)), bucket);
    const std::size_t buckets = (starts.size() + bucket - 1) / bucket;
    QCOMPARE(ext->size, 2 + 8 * buckets);
    for (std::size_t b = 0; b < buckets; ++b) {
        const std::size_t at = ext->pos + 6 + 8 * b;
        const auto [pos, offset] = starts[b * bucket];
        QVERIFY2(le32(s, at) == pos && le16(s, at + 4) == offset,
                 qPrintable(QStringLiteral("bucket %1: %2/%3 instead of %4/%5")
                                .arg(b)
                                .arg(le32(s, at))
                                .arg(le16(s, at + 4))
                                .arg(pos)
                                .arg(offset)));
        QCOMPARE(le16(s, at + 6), 0);
    }
}

void TestWorkbookLayout::streamsStayTheSame_data() {
    QTest::addColumn<StreamMaker>("make");
    QTest::addColumn<QString>("layout"); // the file in data/layouts/
    QTest::newRow("written, 40 rows")
        << StreamMaker([] { return ownDay(40, 7); }) << QStringLiteral("written_40_rows.txt");
    QTest::newRow("written, 3000 rows") << StreamMaker([] { return ownDay(3000, 2900); })
                                        << QStringLiteral("written_3000_rows.txt");
    QTest::newRow("own, stored") << StreamMaker([] { return stored(ownDay(40, 7), 300); })
                                 << QStringLiteral("own_stored.txt");
    QTest::newRow("own, edited inside") << StreamMaker([] { return editedInside(ownDay(40, 7)); })
                                        << QStringLiteral("own_edited_inside.txt");
    // Big enough that every large buffer of the editor (the stream, the record list, the
    // string table and its index, the edits, the new rows) is mapped rather than taken from
    // the heap: the same bytes come out either way.
    QTest::newRow("big day, stored 20000 rows")
        << StreamMaker([] { return stored(bigDay(), 20000); })
        << QStringLiteral("big_day_stored_20000_rows.txt");
    QTest::newRow("LibreOffice day, stored")
        << StreamMaker([] { return stored(fixture("lo_day.xls"), 300); })
        << QStringLiteral("libreoffice_day_stored.txt");
    QTest::newRow("LibreOffice rich, edited inside")
        << StreamMaker([] { return editedInside(fixture("lo_rich.xls")); })
        << QStringLiteral("libreoffice_rich_edited_inside.txt");
    QTest::newRow("LibreOffice mixed, stored")
        << StreamMaker([] { return stored(fixture("lo_mixed.xls"), 50); })
        << QStringLiteral("libreoffice_mixed_stored.txt");
    QTest::newRow("Gnumeric rich, stored")
        << StreamMaker([] { return stored(fixture("gnumeric_rich.xls"), 300); })
        << QStringLiteral("gnumeric_rich_stored.txt");
    QTest::newRow("Gnumeric rich, edited inside")
        << StreamMaker([] { return editedInside(fixture("gnumeric_rich.xls")); })
        << QStringLiteral("gnumeric_rich_edited_inside.txt");
}

// The stream record for record as pinned; a difference names the first group of records
// that differs (its first record's index, type and offset).
void TestWorkbookLayout::streamsStayTheSame() {
    QFETCH(StreamMaker, make);
    QFETCH(QString, layout);
    const Stream s = make();
    const QString path = wbtest::sourceDir() + QStringLiteral("/data/layouts/") + layout;
    if (qEnvironmentVariableIsSet("WB_UPDATE_LAYOUTS")) {
        // About 200 lines a stream: one record a line for a small one.
        std::size_t records = 0;
        for (std::size_t pos = 0; pos + 4 <= s.size(); pos += 4 + le16(s, pos + 2))
            ++records;
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(layoutLines(s, std::max<std::size_t>(1, (records + 199) / 200))
                      .join(u'\n')
                      .append(u'\n')
                      .toUtf8());
        QSKIP("layout written");
    }
    QFile in(path);
    QVERIFY2(in.open(QIODevice::ReadOnly), qPrintable(path));
    const QStringList expected = QString::fromUtf8(in.readAll()).trimmed().split(u'\n');
    const qsizetype groupAt = expected[0].lastIndexOf(u' ');
    const QStringList actual = layoutLines(s, expected[0].mid(groupAt + 1).toULong());
    for (qsizetype i = 1; i < std::min(expected.size(), actual.size()); ++i)
        QVERIFY2(actual[i] == expected[i],
                 qPrintable(QStringLiteral("first difference in the group from %1; expected %2")
                                .arg(actual[i], expected[i])));
    QCOMPARE(actual[0], expected[0]);
}

QTEST_GUILESS_MAIN(TestWorkbookLayout)
#include "tst_workbook_layout.moc"
