// Prints the handling time of one serial notification (read, parse, display update) as
// p50/p99 over many frames fed through a pseudo-terminal, and the time from the program's
// start to its query on the line (median of several starts).

#include "app/form1.h"
#include "platform/serial_comm_control.h"
#include "support/form_harness.h"
#include "support/pty.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cstdio>
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

void notificationTimes(int frames) {
    support::Pty pty;
    support::FormHarness h(std::make_unique<platform::SerialCommControl>(pty.slavePath()));
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
    std::printf("notification handling over %d frames: p50 %.1f us, p99 %.1f us, max %.1f us\n",
                frames, percentile(us, 0.5), percentile(us, 0.99), percentile(us, 1.0));
    std::printf("last display: %s\n", qPrintable(h.display()));
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
    const int frames = argc > 1 ? std::atoi(argv[1]) : 100000;
    notificationTimes(frames);
    startToQuery(QStringLiteral(WEIGHBRIDGE_TESTPORT_EXE), QStringLiteral(WEIGHBRIDGE_TEST_COM1),
                 9);
    return 0;
}
