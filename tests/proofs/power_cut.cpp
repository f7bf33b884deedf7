// The window of the power-cut proof (power_cut.py): the real Form1 on a fake port and clock,
// on a folder the proof names.
//   power_cut record <plan>                 for each line of the plan (scenario, folder, log,
//                                           fault rules, tab-separated): the folder as the
//                                           scenario finds it (an office's day's file, a
//                                           damaged journal), copied to <folder>.initial, then
//                                           the scenario's readings and stores recorded by the
//                                           file-system recorder (loaded with LD_PRELOAD)
//                                           into the log, with the marks
//   power_cut replay <folder>...           for each folder (a disk a power cut could leave):
//                                           start, "保存" if rows came back, start once more
//                                           (and "保存" again if rows came back again), then
//                                           one JSON line: the rows in the day's workbook and
//                                           what the journal still holds
// Each row's gross weight is a number of its own, so a row is known by it wherever it lands.

#include "records/journal.h"
#include "support/store_rig.h"
#include "workbook/file_io.h"
#include "workbook/readers.h"

#include <QApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QRegularExpression>
#include <QtEndian>

#include <cstdio>
#include <dlfcn.h>
#include <functional>
#include <map>

namespace {

const QString kDay = QStringLiteral("2010-8-4");

// A line of our own in the recorder's log; nothing when the recorder is not loaded.
void mark(const QString& text) {
    using Mark = void (*)(const char*);
    static const auto fn = reinterpret_cast<Mark>(dlsym(RTLD_DEFAULT, "wb_fsrec_mark"));
    if (fn != nullptr)
        fn(text.toUtf8().constData());
}

// One run of the window on the folder, as the program's start makes it.
struct Session {
    doubles::FakeCommControl* port = new doubles::FakeCommControl;
    support::FormHarness h;
    qsizetype boxesMarked = 0;

    explicit Session(const QString& folder)
        : h(std::unique_ptr<platform::CommControl>(port), folder) {
        h.clock->time = QDateTime(QDate(2010, 8, 4), QTime(9, 5, 3));
        mark(QStringLiteral("start"));
        h->start();
        markBoxes();
    }
    // What the window tells between events (a sync that failed on the journal's worker) is
    // told now, and marked.
    void markBoxes() {
        QCoreApplication::processEvents();
        for (; boxesMarked < h.messages->shown.size(); ++boxesMarked)
            mark(QStringLiteral("box ") + h.messages->shown[boxesMarked].prompt);
    }
    // A new reading of `kg`: one row.
    void row(int kg) {
        h.clock->time = h.clock->time.addSecs(1);
        port->received = support::reply(kg);
        h->runEvent([&] { h->MSComm1_OnComm(); });
        mark(QStringLiteral("row %1").arg(kg));
        markBoxes();
    }
    // The journal's worker has brought the rows so far to the disk, in its own time.
    void settle() {
        if (h->journal() != nullptr)
            h->journal()->waitSynced(false);
        mark(QStringLiteral("settled"));
        markBoxes();
    }
    QStringList held() const {
        QStringList out;
        for (std::int32_t k = 0; k < h.form->Rec_Count; ++k)
            out << QString::number(h.form->Rec_Gross[static_cast<std::size_t>(k)].toDouble());
        return out;
    }
    // The window closed, the question whether to save answered 否: the rows are discarded.
    void discard() {
        mark(QStringLiteral("discard-begin ") + held().join(','));
        h.messages->answers << platform::msgbox::vbNo;
        h->close();
        mark(QStringLiteral("discarded ") + held().join(','));
        markBoxes();
    }
    // "保存": true when the store said it stored every held row.
    bool store() {
        const QStringList rows = held();
        mark(QStringLiteral("store-begin ") + rows.join(','));
        h->runEvent([&] { h->Command4_Click(); });
        const bool ok = h->Rec_Count == 0 && h.status() == QStringLiteral("数据保存成功！");
        mark(ok ? QStringLiteral("store-ok ") + rows.join(',') : QStringLiteral("store-failed"));
        markBoxes();
        return ok;
    }
};

// A day's file the record-level editor cannot keep whole but that can be read: its cells out
// of order (the second number cell claims row 9).
void writeOddDay(const QString& path) {
    workbook::Book book;
    workbook::Sheet& s = book.addSheet("sheet1");
    const QStringList header = {"序号", "日期", "时间", "车号", "毛重", "皮重", "净重"};
    for (int c = 0; c < 7; ++c)
        s.setText(1, c + 1, header[c]);
    s.setNumber(1, 8, 3);
    s.setNumber(2, 1, 1);
    s.setNumber(3, 1, 2);
    s.setText(2, 10, "备注");
    workbook::writeBook(book, path);
    std::vector<std::uint8_t> stream = workbook::detail::openCompoundFile(path).stream;
    std::size_t pos = 0;
    for (int rk = 0; rk < 2; pos += 4 + qFromLittleEndian<quint16>(&stream[pos + 2]))
        if (qFromLittleEndian<quint16>(&stream[pos]) == 0x027E && ++rk == 2)
            break;
    qToLittleEndian<quint16>(8, &stream[pos + 4]);
    workbook::detail::writeStreamFile(stream, path);
}

records::HeldRow heldRow(int kg) {
    const QString w = QStringLiteral(" %1").arg(kg);
    return {kDay, QStringLiteral("9:00:%1").arg(kg % 60), QString(), w, QStringLiteral(" 0"), w};
}

QString dayPath(const QString& folder) {
    return QDir(folder).filePath(kDay + QStringLiteral(".xls"));
}

bool put(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// What each scenario finds in the folder.
bool prepare(const QString& scenario, const QString& folder) {
    if (scenario == QStringLiteral("copy_first")) {
        writeOddDay(dayPath(folder));
    } else if (scenario == QStringLiteral("set_aside")) {
        workbook::Book book; // no sheet1: it cannot take the rows
        book.addSheet(QStringLiteral("台账")).setText(1, 1, QStringLiteral("车号"));
        workbook::writeBook(book, dayPath(folder));
    } else if (scenario == QStringLiteral("in_place")) {
        // A day of 150 rows, big enough to be continued in place.
        workbook::Book book;
        workbook::Sheet& sheet = book.addSheet("sheet1");
        sheet.setText(1, 1, QStringLiteral("序号"));
        sheet.setNumber(1, 8, 151);
        for (int r = 2; r <= 151; ++r) {
            sheet.setNumber(r, 1, r - 1);
            sheet.setText(r, 4, QStringLiteral("浙B%1").arg(r, 5, 10, QChar('0')));
        }
        workbook::writeBook(book, dayPath(folder));
    } else if (scenario == QStringLiteral("damaged_journal")) {
        QByteArray damaged = records::Journal::rowLine(heldRow(5002));
        damaged[5] = 'X';
        return put(QDir(folder).filePath(records::Journal::fileName()),
                   records::Journal::rowLine(heldRow(5001)) + damaged +
                       records::Journal::rowLine(heldRow(5003)));
    }
    return true;
}

// The scenarios: readings become rows, the worker syncs them in its own time, stores go
// through every path of the day's workbook.
const std::map<QString, std::function<void(Session&)>>& scenarios() {
    static const std::map<QString, std::function<void(Session&)>> all = {
        {"rows",
         [](Session& s) {
             s.row(1001);
             s.settle();
             s.row(1002);
             s.row(1003);
             s.settle();
             s.row(1004);
         }},
        {"stores",
         [](Session& s) {
             s.row(2001);
             s.row(2002);
             s.settle();
             s.store(); // makes the day's file
             s.row(2003);
             s.settle();
             s.row(2004);
             s.store(); // continues it
             s.row(2005);
             s.settle();
         }},
        {"in_place",
         [](Session& s) {
             s.row(8001);
             s.settle();
             s.store(); // into the file as it stands
             s.row(8002);
             s.store(); // again, into the sectors the first store gave up
             s.row(8003);
             s.settle();
         }},
        {"copy_first",
         [](Session& s) {
             s.row(3001);
             s.settle();
             s.store(); // a copy of the file first, the rows by value
             s.row(3002);
             s.store(); // through the editor
         }},
        {"set_aside",
         [](Session& s) {
             s.row(4001);
             s.row(4002);
             s.settle();
             s.store(); // the file renamed aside, a new one made
             s.row(4003);
             s.settle();
         }},
        {"damaged_journal",
         [](Session& s) {
             // The start kept the damaged journal aside and rewrote it.
             s.row(5004);
             s.settle();
             s.store();
             s.row(5005);
             s.settle();
         }},
        {"discarded",
         [](Session& s) {
             s.row(7001);
             s.row(7002);
             s.settle();
             s.discard(); // the rows must not come back
         }},
        {"journal_error",
         [](Session& s) {
             // Run with the journal's second write failing: that row is held in memory only.
             s.row(6001);
             s.settle();
             s.row(6002);
             s.row(6003);
             s.settle();
             s.store();
             s.row(6004);
             s.settle();
         }},
    };
    return all;
}

// The rows of the day's workbook, its sheet1 and the program's spill sheets, by gross weight.
QJsonArray storedRows(const QString& folder, QString& error) {
    QJsonArray out;
    if (!QFile::exists(dayPath(folder)))
        return out;
    try {
        const workbook::Book book = workbook::readBook(dayPath(folder));
        static const QRegularExpression spill(QStringLiteral("^sheet[0-9]+$"),
                                              QRegularExpression::CaseInsensitiveOption);
        for (const workbook::Sheet& sheet : book.sheets()) {
            if (!spill.match(sheet.name()).hasMatch())
                continue;
            for (int r = 2; r <= sheet.rowCount(); ++r) {
                bool ok = false;
                const double gross = sheet.cell(r, 5).toString().trimmed().toDouble(&ok);
                if (ok)
                    out.append(gross);
            }
        }
    } catch (const workbook::Error& e) {
        error = e.message();
    }
    return out;
}

QJsonObject replay(const QString& folder) {
    QJsonObject out;
    QJsonArray boxes;
    QJsonArray recovered;
    QJsonArray stores;
    for (int start = 0; start < 2; ++start) {
        Session s(folder);
        recovered.append(s.h->Rec_Count);
        if (s.h->Rec_Count > 0)
            stores.append(s.store());
        for (const auto& b : s.h.messages->shown)
            boxes.append(b.prompt);
    }
    QString error;
    out[QStringLiteral("folder")] = folder;
    out[QStringLiteral("recovered")] = recovered;
    out[QStringLiteral("stores")] = stores;
    out[QStringLiteral("boxes")] = boxes;
    out[QStringLiteral("rows")] = storedRows(folder, error);
    out[QStringLiteral("error")] = error;
    out[QStringLiteral("journal")] =
        QString::fromUtf8(support::contents(QDir(folder).filePath(records::Journal::fileName())));
    return out;
}

// The scenarios of the plan, each recorded into its own log.
int record(const QString& planPath) {
    using Start = void (*)(const char*, const char*, const char*);
    const auto start = reinterpret_cast<Start>(dlsym(RTLD_DEFAULT, "wb_fsrec_start"));
    QFile plan(planPath);
    if (start == nullptr || !plan.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "power_cut: no plan, or the recorder is not loaded\n");
        return 1;
    }
    for (const QByteArray& line : plan.readAll().split('\n')) {
        const QList<QByteArray> f = line.split('\t');
        if (f.size() != 4 || !scenarios().contains(QString::fromUtf8(f[0])))
            continue;
        const QString folder = QString::fromUtf8(f[1]);
        const QString initial = folder + QStringLiteral(".initial");
        if (!QDir().mkpath(folder) || !QDir().mkpath(initial) ||
            !prepare(QString::fromUtf8(f[0]), folder))
            return 1;
        const QDir dir(folder);
        for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden))
            QFile::copy(dir.filePath(name), QDir(initial).filePath(name));
        start(f[2].constData(), f[1].constData(), f[3].isEmpty() ? nullptr : f[3].constData());
        {
            Session s(folder);
            scenarios().at(QString::fromUtf8(f[0]))(s);
            mark(QStringLiteral("end"));
        }
        start(nullptr, nullptr, nullptr);
    }
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: power_cut record <plan>\n"
                         "       power_cut replay <folder>...\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() >= 2 && args[0] == QStringLiteral("replay")) {
        for (const QString& folder : args.mid(1)) {
            const QByteArray line = QJsonDocument(replay(folder)).toJson(QJsonDocument::Compact);
            std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        }
        return 0;
    }
    if (args.size() == 2 && args[0] == QStringLiteral("record"))
        return record(args[1]);
    return usage();
}
