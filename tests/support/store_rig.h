#pragma once
// A window on a scripted port whose day's workbooks go to a temp folder, for the tests of
// record capture and of the store: readings fed in one notification at a time, "保存"
// pressed, and the day's workbook read back with an independent reader (xlrd).

#include "doubles/fake_comm_control.h"
#include "indicator_sim/frames.h"
#include "support/form_harness.h"
#include "xls_test_support.h"

#include <QFile>

namespace support {

// The bytes of a file, empty when it cannot be read.
inline QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline QByteArray reply(double kg, int decimals = 1) {
    return indicator_sim::commandReply(*indicator_sim::readingFor(kg, decimals));
}

// A window on a scripted port, its day's workbook in a temp folder.
struct Rig {
    doubles::FakeCommControl* port;
    FormHarness h;
    Rig() : Rig(std::make_unique<doubles::FakeCommControl>()) {}

    // One notification carrying `bytes`.
    void feed(const QByteArray& bytes,
              std::int16_t event = doubles::FakeCommControl::comEvReceive) {
        port->received = bytes;
        h->runEvent([&] {
            port->event = event;
            h->MSComm1_OnComm();
        });
    }
    void save() {
        h->runEvent([&] { h->Command4_Click(); });
    }
    QString dayFile(const QString& name = "2010-8-4") const {
        return h.folder.filePath(name + ".xls");
    }
    // The day's workbook as xlrd reads it, sheet by sheet, each row as "A|B|...|G" texts
    // (numbers as their number text).
    QList<QStringList> rows(const QString& file, int sheet = 0) const {
        QString error;
        const workbook::Book book = wbtest::xlrdBook(file, &error);
        if (!error.isEmpty())
            qWarning("%s", qPrintable(error));
        QList<QStringList> out;
        if (sheet >= book.sheetCount())
            return out;
        const workbook::Sheet& s = book.sheet(sheet);
        for (int r = 1; r <= s.rowCount(); ++r) {
            QStringList cells;
            for (int c = 1; c <= 8; ++c)
                cells << s.cell(r, c).toString();
            out << cells;
        }
        return out;
    }

private:
    explicit Rig(std::unique_ptr<doubles::FakeCommControl> c) : port(c.get()), h(std::move(c)) {
        h->start();
    }
};

} // namespace support
