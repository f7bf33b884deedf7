// Writes the seed corpora of the fuzz targets into OUT/command, OUT/continuous and OUT/book:
// what the simulator puts on the line (good, spoiled and noisy frames of both modes) and
// workbooks written by our own writer, plus any .xls files named after OUT.
//
//   make_seeds OUT [file.xls ...]

#include "indicator_sim/frames.h"
#include "workbook/error.h"
#include "workbook/file_io.h"
#include "workbook/readers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

using indicator_sim::Corruption;
using indicator_sim::Reading;

namespace {

bool put(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "make_seeds: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

Reading reading(double kg, int decimals) {
    return *indicator_sim::readingFor(kg, decimals);
}

// The fuzz targets take their first byte as the chunk size less one.
QByteArray chunked(int chunk, const QByteArray& line) {
    return QByteArray(1, static_cast<char>(chunk - 1)) + line;
}

bool lineSeeds(const QDir& out) {
    bool ok = true;
    const QString cmd = out.filePath("command"), cont = out.filePath("continuous");
    ok &= QDir().mkpath(cmd) && QDir().mkpath(cont);
    const double weights[] = {0, 1, 85.6, -15, 999999, 1234.5, -0.25};
    int n = 0;
    for (const double kg : weights) {
        for (int d = 0; d <= 4; ++d) {
            const auto r = indicator_sim::readingFor(kg, d);
            if (!r)
                continue;
            QByteArray replies = indicator_sim::commandReply(*r);
            replies += indicator_sim::commandReply(*r); // the same frame again
            indicator_sim::ReplyOptions spoiled;
            spoiled.corruption = Corruption::WrongCheck;
            replies += indicator_sim::commandReply(*r, spoiled);
            spoiled.corruption = Corruption::DamagedDigit;
            replies += indicator_sim::commandReply(*r, spoiled);
            ok &= put(QDir(cmd).filePath(QString("reply-%1").arg(n)), chunked(14, replies));
            QByteArray frames = indicator_sim::continuousFrame(*r);
            frames += indicator_sim::continuousFrame(*r, "\x20\x21");
            ok &= put(QDir(cont).filePath(QString("frame-%1").arg(n)), chunked(24, frames));
            ++n;
        }
    }
    // Noise in front of a frame, a frame cut in two, a second start byte, an end byte first.
    const QByteArray reply = indicator_sim::commandReply(reading(85.6, 1));
    ok &= put(QDir(cmd).filePath("noise"), chunked(14, "\x7f\x02\x41" + reply));
    ok &= put(QDir(cmd).filePath("cut"), chunked(9, reply + reply));
    const QByteArray frame = indicator_sim::continuousFrame(reading(-15, 2));
    ok &= put(QDir(cont).filePath("restart"), chunked(24, "\x02\x2b\x31" + frame));
    ok &= put(QDir(cont).filePath("end-first"), chunked(24, "\x03\x05" + frame));
    ok &= put(QDir(cont).filePath("cut"), chunked(7, frame + frame));
    return ok;
}

bool bookSeeds(const QDir& out, const QStringList& extra) {
    const QString dir = out.filePath("book");
    if (!QDir().mkpath(dir))
        return false;
    // Rows and columns count from 1, as in a spreadsheet.
    try {
        workbook::Book day;
        workbook::Sheet& s = day.addSheet("sheet1");
        const char* captions[] = {"序号", "日期", "时间", "车号", "毛重", "皮重", "净重"};
        for (int c = 0; c < 7; ++c)
            s.setText(1, c + 1, QString::fromUtf8(captions[c]));
        s.setText(1, 8, "3");
        for (int r = 2; r <= 4; ++r) {
            s.setNumber(r, 1, r - 1);
            s.setText(r, 2, "2026/12/7");
            s.setText(r, 3, "08:04:07");
            s.setText(r, 4, QString::fromUtf8("京A%1").arg(r));
            s.setNumber(r, 5, 18870.5 * r);
            s.setNumber(r, 6, 10);
            s.setNumber(r, 7, 18860.5 * r);
        }
        workbook::Book two;
        two.addSheet("Sheet1").setText(1, 1, "a");
        workbook::Sheet& t = two.addSheet("sheet2");
        t.setBoolean(2, 2, true);
        t.setText(3, 256, QString(300, QChar(0x4E2D)));
        workbook::writeBook(day, QDir(dir).filePath("day.xls"));
        workbook::writeBook(two, QDir(dir).filePath("two.xls"));
    } catch (const workbook::Error& e) {
        std::fprintf(stderr, "make_seeds: %s\n", e.what());
        return false;
    }
    bool ok = true;
    QStringList files = extra;
    files << QDir(dir).filePath("day.xls") << QDir(dir).filePath("two.xls");
    for (const QString& path : files) {
        QFile f(path);
        ok &= f.open(QIODevice::ReadOnly) &&
              put(QDir(dir).filePath(QFileInfo(path).fileName()), f.readAll());
        // The workbook stream alone as well, which the target hands to the editor directly.
        const std::vector<std::uint8_t> stream = workbook::detail::openCompoundFile(path).stream;
        if (!stream.empty())
            ok &= put(QDir(dir).filePath(QFileInfo(path).completeBaseName() + ".stream"),
                      QByteArray(reinterpret_cast<const char*>(stream.data()),
                                 static_cast<qsizetype>(stream.size())));
    }
    return ok;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_seeds OUT [file.xls ...]\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    QStringList extra;
    for (int i = 2; i < argc; ++i)
        extra << QString::fromLocal8Bit(argv[i]);
    return lineSeeds(out) && bookSeeds(out, extra) ? 0 : 1;
}
