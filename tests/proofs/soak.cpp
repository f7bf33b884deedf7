// The soak proof: the simulator streams reply frames at the line's full rate (with negative
// and zero readings and 5 % corrupted frames) into the window on a real pseudo-terminal,
// while a clock that runs a minute per second brings an hourly save every minute (and a
// midnight), and "记录" and "保存" are pressed at random. Every read the window made is
// recorded where it leaves the serial port; at the end the rows in the day's workbooks,
// read with xlrd, must be exactly the rows those reads and presses call for, in order, and
// the resident set must stay flat.
//
// usage: soak [--seconds N] [--seed S] [--keep DIR]

#include "doubles/recording_comm_control.h"
#include "doubles/scripted_messages.h"
#include "platform/serial_comm_control.h"
#include "xls_test_support.h"

#include "app/form1.h"
#include "support/resident.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <array>
#include <cmath>
#include <csignal>
#include <cstdio>

namespace {

using support::residentKb;

// A clock on which every real second is a minute: an hourly save comes once a real minute,
// and midnight half a minute after the start (halfway through a shorter run).
class FastClock final : public platform::LocaleClock {
public:
    explicit FastClock(int seconds)
        : LocaleClock(QLocale(QLocale::Chinese, QLocale::China)),
          m_base(QDate(2026, 12, 8).startOfDay().addSecs(-60 * qMin(30, seconds / 2))) {
        m_real.start();
    }
    QDateTime now() const override { return m_base.addSecs(m_real.elapsed() / 1000 * 60); }

private:
    QElapsedTimer m_real;
    QDateTime m_base;
};

// The last minute of an hour and the first of the next.
bool nearTheHour(const QTime& time) {
    return time.minute() == 59 || time.minute() == 0;
}

struct Event {
    enum Kind { Read, Record } kind;
    QByteArray bytes;
};

// What the rows must be, worked out from the reads and presses alone: a reply frame's
// bytes are kept from read to read; a read that passes the check and brought a change
// carries a new reading; after every read and on every "记录" a row is due when the last
// read brought a change, the reading is not negative, not zero, and the last read passed.
QList<double> expectedRows(const QList<Event>& events, int& aligned) {
    std::array<std::uint8_t, 31> stored{};
    bool changed = false;
    bool good = false;
    double weight = 0;
    QList<double> rows;
    aligned = 0;
    auto record = [&] {
        if (changed && stored[3] != '-' && weight != 0 && good)
            rows << weight;
    };
    for (const Event& e : events) {
        if (e.kind == Event::Record) {
            record();
            continue;
        }
        if (e.bytes.size() == 14 && e.bytes[0] == 0x02 && e.bytes[13] == 0x03)
            ++aligned;
        changed = false;
        bool started = false;
        std::size_t at = 0;
        for (const char c : e.bytes) {
            const auto b = static_cast<std::uint8_t>(c);
            if (!started) {
                started = b == 0x02;
                at = 1;
                continue;
            }
            if (stored[at] != b) {
                stored[at] = b;
                changed = true;
            }
            ++at;
            if (b == 0x03)
                break;
        }
        int x = 0;
        for (std::size_t i = 1; i <= 10; ++i)
            x ^= stored[i];
        const char* hex = "0123456789ABCDEF";
        good = stored[11] == hex[x / 16] && stored[12] == hex[x % 16];
        if (good && changed) {
            long n = 0;
            for (std::size_t i = 4; i <= 9; ++i)
                n = n * 10 + (stored[i] - '0');
            weight = static_cast<double>(n) / std::pow(10.0, stored[10] - '0');
        }
        record();
    }
    return rows;
}

int fail(const QString& why) {
    std::printf("soak: FAILED: %s\n0 passed, 1 failed\n", qPrintable(why));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser options;
    options.addOption({"seconds", "How long to stream.", "n", "600"});
    options.addOption({"seed", "The simulator's traffic.", "s", "1"});
    options.addOption({"keep", "Keep the workbooks and logs in this folder.", "dir"});
    options.process(app);
    const int seconds = options.value("seconds").toInt();

    QTemporaryDir temp;
    const QString folder = options.isSet("keep") ? options.value("keep") : temp.path();
    QDir().mkpath(folder);
    const QString simLog = folder + "/frames.log";

    QProcess sim;
    sim.start(QStringLiteral(WEIGHBRIDGE_SIMULATOR),
              {"--pty", "--mode", "stream", "--seed", options.value("seed"), "--negative", "--zero",
               "--bad-check", "5", "--decimals", "1", "--log", simLog, "--quiet"});
    if (!sim.waitForReadyRead(5000))
        return fail("the simulator did not start");
    const QString line = QString::fromLocal8Bit(sim.readLine()).trimmed();

    QList<Event> events;
    app::Platform parts;
    auto port = std::make_unique<doubles::RecordingCommControl>(
        std::make_unique<platform::SerialCommControl>(line));
    port->onInput = [&](const QByteArray& bytes) {
        // A copy of its own: Qt may hand over its whole read chunk (32 kB) as the bytes.
        events.append(Event{Event::Read, QByteArray(bytes.constData(), bytes.size())});
    };
    parts.comm = std::move(port);
    auto messages = std::make_unique<doubles::ScriptedMessages>();
    doubles::ScriptedMessages* boxes = messages.get();
    parts.messages = std::move(messages);
    auto fastClock = std::make_unique<FastClock>(seconds);
    const FastClock* simulated = fastClock.get();
    parts.clock = std::move(fastClock);
    parts.programFolder = folder;
    parts.endProgram = [] {};
    app::Form1 form(std::move(parts));
    int hourlySaves = 0;
    QObject::connect(form.Label4, &app::VbLabel::Change, &form, [&] {
        if (form.Label4->caption() == QStringLiteral("数据自动保存中..."))
            ++hourlySaves;
    });
    form.start();

    // The operator presses "记录" and "保存" now and then.
    QRandomGenerator random(options.value("seed").toUInt());
    int records = 0;
    int saves = 0;
    QTimer presses;
    presses.setSingleShot(true);
    QObject::connect(&presses, &QTimer::timeout, &form, [&] {
        if (random.bounded(10) < 7) {
            events.append(Event{Event::Record, QByteArray()});
            ++records;
            form.Command1->click();
        } else if (form.Command4->isEnabled() && !nearTheHour(simulated->now().time())) {
            // Not at the turn of an hour: a store running then, or one that has just emptied
            // the rows, rightly leaves the hour's save nothing to do, and the run would count
            // no hourly save at all.
            ++saves;
            form.Command4->click();
        }
        presses.start(200 + random.bounded(2800));
    });
    presses.start(1000);

    long rssAfterWarmUp = 0;
    long peak = 0;
    const int warmUp = qMin(60, seconds / 3);
    QElapsedTimer clock;
    clock.start();
    qint64 lastTrace = -1;
    while (clock.elapsed() < qint64(seconds) * 1000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        if (qEnvironmentVariableIsSet("SOAK_TRACE") && clock.elapsed() / 5000 != lastTrace) {
            lastTrace = clock.elapsed() / 5000;
            std::printf("  %3lld s: %.1f MB, %lld reads\n", clock.elapsed() / 1000,
                        residentKb() / 1024.0, static_cast<long long>(events.size()));
        }
        if (clock.elapsed() >= warmUp * 1000) {
            const long rss = residentKb();
            if (rssAfterWarmUp == 0)
                rssAfterWarmUp = rss;
            peak = qMax(peak, rss);
        }
    }
    presses.stop();
    sim.terminate();
    sim.waitForFinished(5000);
    QElapsedTimer drain;
    drain.start();
    while (drain.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (form.Command4->isEnabled())
        form.Command4->click();
    if (form.Rec_Count != 0)
        return fail("the last save did not store the held rows");

    // The rows as xlrd reads them, day by day, sheet by sheet.
    QStringList days = QDir(folder).entryList({"*.xls"}, QDir::Files);
    std::sort(days.begin(), days.end(), [](const QString& a, const QString& b) {
        return QDate::fromString(a.chopped(4), "yyyy-M-d") <
               QDate::fromString(b.chopped(4), "yyyy-M-d");
    });
    QList<double> found;
    for (const QString& day : days) {
        QString error;
        const workbook::Book book = wbtest::xlrdBook(folder + "/" + day, &error);
        if (!error.isEmpty())
            return fail(error);
        int serial = 0;
        for (const workbook::Sheet& sheet : book.sheets()) {
            const int last = static_cast<int>(sheet.cell(1, 8).numberValue());
            if (last != sheet.rowCount())
                return fail(QString("%1 %2: row counter %3, rows %4")
                                .arg(day, sheet.name())
                                .arg(last)
                                .arg(sheet.rowCount()));
            for (int r = 2; r <= last; ++r) {
                if (sheet.cell(r, 1).numberValue() != ++serial)
                    return fail(QString("%1: serial numbers have a gap at row %2").arg(day).arg(r));
                found << sheet.cell(r, 5).numberValue();
            }
        }
    }

    int sent = 0;
    int corrupted = 0;
    QFile log(simLog);
    if (log.open(QIODevice::ReadOnly)) {
        while (!log.atEnd()) {
            const QByteArray l = log.readLine();
            if (l.startsWith('#'))
                continue;
            ++sent;
            corrupted += l.contains("bad-check") ? 1 : 0;
        }
    }
    int aligned = 0;
    const QList<double> expected = expectedRows(events, aligned);
    std::printf("soak: %d s; frames sent %d (%d corrupted), reads %lld (%d whole frames); "
                "presses 记录 %d, 保存 %d; hourly saves %d; boxes %lld; day workbooks %lld\n",
                seconds, sent, corrupted, static_cast<long long>(events.size()) - records, aligned,
                records, saves, hourlySaves, static_cast<long long>(boxes->shown.size()),
                static_cast<long long>(days.size()));
    std::printf("soak: rows expected %lld, found %lld; resident set after %d s %.1f MB, peak "
                "%.1f MB\n",
                static_cast<long long>(expected.size()), static_cast<long long>(found.size()),
                warmUp, rssAfterWarmUp / 1024.0, peak / 1024.0);
    if (found != expected) {
        qsizetype i = 0;
        while (i < found.size() && i < expected.size() && found[i] == expected[i])
            ++i;
        return fail(QString("rows differ from row %1 on: found %2, expected %3")
                        .arg(i + 1)
                        .arg(i < found.size() ? found[i] : -1)
                        .arg(i < expected.size() ? expected[i] : -1));
    }
    if (expected.isEmpty() || hourlySaves == 0)
        return fail("nothing was recorded or saved automatically");
#ifndef WEIGHBRIDGE_SANITIZED
    if (peak > rssAfterWarmUp + rssAfterWarmUp / 10)
        return fail(QString("resident set grew from %1 kB to %2 kB").arg(rssAfterWarmUp).arg(peak));
#endif
    std::printf("1 passed, 0 failed\n");
    return 0;
}
