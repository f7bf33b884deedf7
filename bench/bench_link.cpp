// Prints the handling time of one serial notification (read, parse, display update, the row
// recorded and written to the journal) as p50/p99 over many frames fed through a
// pseudo-terminal, with the journal of held rows and without it, in alternating rounds; the
// rows per second the journal takes with its syncs on this machine's disk; and the time from
// the program's start to its query on the line (median of several starts).
// How long a row waits for the disk in a burst of rows; "journal" as the argument prints the
// journal's figures alone.

#include "app/form1.h"
#include "platform/serial_comm_control.h"
#include "records/journal.h"
#include "support/form_harness.h"
#include "support/pty.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

QByteArray frameFor(int n) {
    QByteArray body = "+" + QByteArray::number(n % 1000000).rightJustified(6, '0') + "1";
    int x = 'A' ^ 'B';
    for (char c : body)
        x ^= static_cast<unsigned char>(c);
    const char* digits = "0123456789ABCDEF";
    return QByteArray::fromHex("024142") + body + digits[x / 16] + digits[x % 16] +
           QByteArray::fromHex("03");
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

struct Times {
    double p50 = 0, p99 = 0, max = 0;
};

Times notificationTimes(int frames, bool journal) {
    support::Pty pty;
    support::FormHarness h(std::make_unique<platform::SerialCommControl>(pty.slavePath()), {},
                           journal);
    h->start();
    pty.read(500, 6);
    // Time the window's own handler, entered the way the port enters it.
    QObject::disconnect(h->MSComm1, &platform::CommControl::OnComm, h.form.get(), nullptr);
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(frames));
    bool handled = false;
    QObject::connect(h->MSComm1, &platform::CommControl::OnComm, h.form.get(), [&] {
        QElapsedTimer t;
        t.start();
        h->runEvent([&] { h->MSComm1_OnComm(); });
        us.push_back(static_cast<double>(t.nsecsElapsed()) / 1000.0);
        handled = true;
    });
    for (int i = 0; i < frames; ++i) {
        handled = false;
        pty.write(frameFor(i + 1));
        while (!handled)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    const Times t{percentile(us, 0.5), percentile(us, 0.99), percentile(us, 1.0)};
    std::printf("notification handling over %d frames, journal %s: p50 %.1f us, p99 %.1f us, "
                "max %.1f us (last display %s)\n",
                frames, journal ? "on " : "off", t.p50, t.p99, t.max, qPrintable(h.display()));
    return t;
}

// Rows written as fast as the caller can, each reaching the disk through the batched syncs:
// rows per second until the last is on the disk, rows per sync; and how long one row waits
// for the disk when the journal is idle (the worker's pause and the sync).
void journalThroughput(int rows, int runs) {
    std::vector<double> perSecond, perSync, idleMs, appendUs;
    const records::HeldRow row{"2026/12/7", "08:15:30", "浙A12345", " 35200", " 15000", " 20200"};
    for (int r = 0; r < runs; ++r) {
        QTemporaryDir folder(QCoreApplication::applicationDirPath() + "/journal-XXXXXX");
        records::Journal journal(folder.path());
        journal.open();
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < rows; ++i) {
            const qint64 before = t.nsecsElapsed();
            journal.append(row);
            if (r == 0)
                appendUs.push_back(static_cast<double>(t.nsecsElapsed() - before) / 1000.0);
        }
        journal.waitSynced();
        perSecond.push_back(rows / (static_cast<double>(t.nsecsElapsed()) / 1e9));
        perSync.push_back(static_cast<double>(rows) / static_cast<double>(journal.syncCount()));
        for (int i = 0; i < 20; ++i) {
            QElapsedTimer one;
            one.start();
            journal.append(row);
            journal.waitSynced(false);
            idleMs.push_back(static_cast<double>(one.nsecsElapsed()) / 1e6);
        }
    }
    std::printf("journal: %.0f rows/s with every row on the disk (median of %d runs of %d rows, "
                "%.0f rows a sync); one row on an idle journal on the disk after %.2f ms "
                "(median, max %.2f ms); one append on the caller's thread p50 %.1f us, "
                "p99 %.1f us\n",
                percentile(perSecond, 0.5), runs, rows, percentile(perSync, 0.5),
                percentile(idleMs, 0.5), percentile(idleMs, 1.0), percentile(appendUs, 0.5),
                percentile(appendUs, 0.99));
}

// A burst of rows a millisecond apart, as when readings come in quick succession: how long
// each row waits until it is on the disk (the worker's pause, a sync that was already running
// when it came, and its own sync). Each row's waiter starts right after its append, so a
// waiter that starts late only overstates the wait.
void journalBurst(int rows, int runs) {
    std::vector<double> waitMs;
    const records::HeldRow row{"2026/12/7", "08:15:30", "浙A12345", " 35200", " 15000", " 20200"};
    for (int r = 0; r < runs; ++r) {
        QTemporaryDir folder(QCoreApplication::applicationDirPath() + "/journal-XXXXXX");
        records::Journal journal(folder.path());
        journal.open();
        std::vector<std::thread> waiters;
        std::vector<double> waits(static_cast<std::size_t>(rows));
        for (int i = 0; i < rows; ++i) {
            QElapsedTimer t;
            t.start();
            journal.append(row);
            waiters.emplace_back([&journal, &waits, i, t] {
                journal.waitSynced(false);
                waits[static_cast<std::size_t>(i)] = static_cast<double>(t.nsecsElapsed()) / 1e6;
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (std::thread& w : waiters)
            w.join();
        waitMs.insert(waitMs.end(), waits.begin(), waits.end());
    }
    std::printf("journal: a burst of %d rows 1 ms apart (%d runs): a row is on the disk after "
                "p50 %.2f ms, p99 %.2f ms, at most %.2f ms\n",
                rows, runs, percentile(waitMs, 0.5), percentile(waitMs, 0.99),
                percentile(waitMs, 1.0));
}

void startToQuery(const QString& program, const QString& linkPath, int runs) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        support::Pty pty;
        QFile::remove(linkPath);
        QFile::link(pty.slavePath(), linkPath);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(env);
        QElapsedTimer t;
        t.start();
        p.start(program, {});
        const QByteArray q = pty.read(5000, 6);
        const double elapsed = static_cast<double>(t.nsecsElapsed()) / 1e6;
        p.kill();
        p.waitForFinished();
        if (q != QByteArray::fromHex("024142303303")) {
            std::printf("run %d: no query seen (%s)\n", i, q.toHex(' ').constData());
            continue;
        }
        ms.push_back(elapsed);
    }
    QFile::remove(linkPath);
    if (!ms.empty())
        std::printf("process start to query on the line: median %.1f ms over %zu starts "
                    "(min %.1f, max %.1f)\n",
                    percentile(ms, 0.5), ms.size(), percentile(ms, 0.0), percentile(ms, 1.0));
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "journal") == 0) { // the journal's figures alone
        journalThroughput(100000, 5);
        journalBurst(200, 5);
        return 0;
    }
    const int frames = argc > 1 ? std::atoi(argv[1]) : 100000;
    // Rounds alternate, so both sides meet the same machine load; medians of the rounds.
    std::vector<double> off50, off99, on50, on99;
    for (int round = 0; round < 3; ++round) {
        const Times off = notificationTimes(frames / 3, false);
        const Times on = notificationTimes(frames / 3, true);
        off50.push_back(off.p50);
        off99.push_back(off.p99);
        on50.push_back(on.p50);
        on99.push_back(on.p99);
    }
    std::printf("notification handling, median of 3 rounds: journal off p50 %.1f us, p99 %.1f us;"
                " journal on p50 %.1f us, p99 %.1f us\n",
                percentile(off50, 0.5), percentile(off99, 0.5), percentile(on50, 0.5),
                percentile(on99, 0.5));
    journalThroughput(100000, 5);
    journalBurst(200, 5);
    startToQuery(QStringLiteral(WEIGHBRIDGE_TESTPORT_EXE), QStringLiteral(WEIGHBRIDGE_TEST_COM1),
                 9);
    return 0;
}
