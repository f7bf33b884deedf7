// The indicator simulator: its frames byte for byte, the traffic of its weight script, and the
// indicator_sim executable over a pseudo-terminal as the program meets it.

#include "indicator_sim/frame_log.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <unistd.h>

using namespace indicator_sim;

namespace {

// The program's end of the line (the simulator has made it raw).
struct PeerEnd {
    int fd;
    explicit PeerEnd(const QString& path) : fd(::open(qPrintable(path), O_RDWR | O_NOCTTY)) {}
    ~PeerEnd() { ::close(fd); }
    bool write(const QByteArray& b) { return ::write(fd, b.data(), size_t(b.size())) == b.size(); }
    // What arrives until `count` bytes have come or `ms` milliseconds have passed.
    QByteArray read(qsizetype count, int ms) {
        QByteArray got;
        char buf[256];
        for (QDeadlineTimer end(ms); got.size() < count && !end.hasExpired();) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, int(end.remainingTime())) > 0 && (p.revents & POLLIN))
                got.append(buf, std::max<ssize_t>(0, ::read(fd, buf, sizeof buf)));
        }
        return got;
    }
};

// Starts the simulator on a new pseudo-terminal and returns the path it prints first.
QString startSimulator(QProcess& sim, const QStringList& arguments) {
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(INDICATOR_SIM_PATH), arguments + QStringList{"--pty", "--quiet"});
    while (sim.waitForStarted(5000) && !sim.canReadLine() && sim.waitForReadyRead(5000)) {
    }
    return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

} // namespace

class TstIndicatorSim : public QObject {
    Q_OBJECT

private slots:
    void replyFrame_data();
    void replyFrame();
    void continuousLayout();
    void weightScript();
    void answersQueries();
    void streamsPacedFramesAsLogged();
};

void TstIndicatorSim::replyFrame_data() {
    QTest::addColumn<double>("kg");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<Corruption>("corruption");
    QTest::addColumn<QByteArray>("frame"); // empty: the weight cannot be sent
    QTest::addColumn<bool>("passes");
    QTest::addColumn<QString>("text");

    const auto row = [](const char* name, double kg, int decimals, const char* frame,
                        const char* text, Corruption how = Corruption::None, bool passes = true) {
        QTest::newRow(name) << kg << decimals << how << QByteArray::fromHex(frame) << passes
                            << QString::fromLatin1(text);
    };
    row("85.6", 85.6, 1, "02 41 42 2B 30 30 30 38 35 36 31 31 32 03", "85.6");
    row("-1.25", -1.25, 2, "02 41 42 2D 30 30 30 31 32 35 32 31 41 03", "-1.25");
    row("0.000", 0.0, 3, "02 41 42 2B 30 30 30 30 30 30 33 31 42 03", "0.000");
    row("856", 856.0, 0, "02 41 42 2B 30 30 30 38 35 36 30 31 33 03", "856");
    row("rounded", 0.96, 0, "02 41 42 2B 30 30 30 30 30 31 30 31 39 03", "1");
    row("-0.004 keeps its sign", -0.004, 2, "02 41 42 2D 30 30 30 30 30 30 32 31 43 03", "-0.00");
    row("largest at 4 places", 99.9999, 4, "02 41 42 2B 39 39 39 39 39 39 34 31 43 03", "99.9999");
    row("seven digits", 1000000.0, 0, "", "");
    row("too large at 4 places", 100.0, 4, "", "");
    row("not a number", std::numeric_limits<double>::quiet_NaN(), 0, "", "");
    // Spoilt frames keep their shape, so that they reach the receiver's check.
    row("wrong check", 85.6, 1, "02 41 42 2B 30 30 30 38 35 36 31 31 33 03", "85.6",
        Corruption::WrongCheck, false);
    row("lower-case check 1a", -1.25, 2, "02 41 42 2D 30 30 30 31 32 35 32 31 61 03", "-1.25",
        Corruption::LowerCaseCheck, false);
    row("lower-case check 12 passes", 85.6, 1, "02 41 42 2B 30 30 30 38 35 36 31 31 32 03", "85.6",
        Corruption::LowerCaseCheck, true);
    row("damaged digit", 85.6, 1, "02 41 42 2B 30 30 30 38 35 37 31 31 32 03", "85.6",
        Corruption::DamagedDigit, false);
    row("damaged digit 9", 999999.0, 0, "02 41 42 2B 39 39 39 39 39 38 30 31 38 03", "999999",
        Corruption::DamagedDigit, false);
}

void TstIndicatorSim::replyFrame() {
    QFETCH(double, kg);
    QFETCH(int, decimals);
    QFETCH(Corruption, corruption);
    QFETCH(QByteArray, frame);
    QFETCH(bool, passes);
    QFETCH(QString, text);

    const auto reading = readingFor(kg, decimals);
    QCOMPARE(reading.has_value(), !frame.isEmpty());
    if (reading) {
        QCOMPARE(commandReply(*reading, {'A', 'B', corruption}), frame);
        QCOMPARE(replyCheckPasses(frame), passes);
        QCOMPARE(reading->text(), text);
    }
}

void TstIndicatorSim::continuousLayout() {
    const Reading r = *readingFor(-15.0, 2);
    QCOMPARE(continuousFrame(r), QByteArray::fromHex("02 2D 30 30 31 35 30 30 32 03"));
    QCOMPARE(continuousFrame(r, "  "), QByteArray::fromHex("02 2D 30 30 31 35 30 30 32 20 20 03"));
}

void TstIndicatorSim::weightScript() {
    // seed, kind, decimals, negative, zero, bad-check %, noise %
    const ScriptOptions cases[] = {
        {42, FrameKind::CommandReply, 0, false, false, 0, 0, {}},
        {42, FrameKind::CommandReply, 2, true, true, 20, 5, {}},
        {42, FrameKind::Continuous, 4, true, false, 0, 10, {}},
    };
    for (const ScriptOptions& o : cases) {
        WeightScript script(o), again(o);
        QList<std::pair<std::int64_t, int>> runs; // signed readings, with how often each repeats
        int frames = 0, corrupted = 0, noise = 0, negatives = 0, zeros = 0;
        for (int i = 0; i < 4000; ++i) {
            const ScriptFrame f = script.next();
            QCOMPARE(again.next().bytes, f.bytes); // the seed decides everything
            noise += f.noise;
            if (f.noise)
                continue;
            const Reading& r = f.reading;
            ++frames;
            QCOMPARE(r.decimals, char('0' + o.decimals));
            QCOMPARE(f.corrupted, o.kind == FrameKind::CommandReply && !replyCheckPasses(f.bytes));
            if (!f.corrupted)
                QCOMPARE(f.bytes,
                         o.kind == FrameKind::Continuous ? continuousFrame(r) : commandReply(r));
            corrupted += f.corrupted;
            negatives += r.negative();
            zeros += r.counts() == 0;
            const std::int64_t v = r.negative() ? -r.counts() : r.counts();
            if (!runs.isEmpty() && runs.back().first == v)
                ++runs.back().second;
            else
                runs.append({v, 1});
        }
        const auto near = [&](int got, double percent) {
            return std::abs(got - frames * percent / 100) <= 0.003 * frames * percent + 3;
        };
        QVERIFY(near(corrupted, o.badCheckPercent) && near(noise, o.noisePercent));
        QCOMPARE(negatives > 0, o.negative);
        QCOMPARE(zeros > 0, o.zero);
        // Every peak between lower readings is a truck settled for at least three frames, and
        // many trucks come by.
        int peaks = 0;
        for (qsizetype i = 1; i + 1 < runs.size(); ++i) {
            if (runs[i].first > runs[i - 1].first && runs[i].first > runs[i + 1].first) {
                ++peaks;
                QVERIFY(runs[i].second >= 3);
            }
        }
        QVERIFY2(peaks >= frames / 40 && peaks <= frames / 8, qPrintable(QString::number(peaks)));
    }
    // Another seed, other traffic.
    WeightScript a(cases[0]), b({43, FrameKind::CommandReply, 0, false, false, 0, 0, {}});
    QVERIFY(a.next().bytes + a.next().bytes != b.next().bytes + b.next().bytes);
}

void TstIndicatorSim::answersQueries() {
    QProcess sim;
    const QString path =
        startSimulator(sim, {"--mode", "answer", "--weight", "85.6", "--decimals", "1"});
    {
        PeerEnd peer(path);
        const QByteArray reply = QByteArray::fromHex("02 41 42 2B 30 30 30 38 35 36 31 31 32 03");
        const QByteArray q = commandQuery();
        QVERIFY(peer.write(q));
        QCOMPARE(peer.read(kReplyLength, 3000), reply);
        // After stray bytes and a broken-off query, and in pieces, it is one query; a near miss
        // is none.
        QVERIFY(peer.write(QByteArray::fromHex("FF 03 02 41 42") + q.left(2)));
        QTest::qWait(30);
        QVERIFY(peer.write(q.mid(2) + QByteArray::fromHex("02 41 42 30 34 03")));
        QCOMPARE(peer.read(kReplyLength, 3000), reply);
        QCOMPARE(peer.read(1, 300), QByteArray());
    }
    QVERIFY(sim.waitForFinished(3000)); // the peer closed the line
    QCOMPARE(sim.exitCode(), 0);
}

void TstIndicatorSim::streamsPacedFramesAsLogged() {
    QTemporaryDir dir;
    const QString link = dir.filePath("com1"), logPath = dir.filePath("frames.log");
    QProcess sim;
    startSimulator(sim, {"--link", link, "--mode", "stream", "--count", "25", "--seed", "3",
                         "--bad-check", "20", "--noise", "10", "--negative", "--zero", "--lead-ms",
                         "300", "--log", logPath});
    PeerEnd peer(link);
    QElapsedTimer timer;
    timer.start();
    QByteArray got = peer.read(1, 3000);
    QVERIFY2(timer.restart() >= 270, "the first frame waits for the lead time");
    qint64 lastMs = 0; // when the last byte came, give or take 50 ms
    for (QByteArray more; !(more = peer.read(1000, 50)).isEmpty(); lastMs = timer.elapsed())
        got += more;
    // 9600 baud carries at most 960 bytes a second.
    QVERIFY2(lastMs >= 0.9 * (got.size() - 1) * 1000 / 960, qPrintable(QString::number(lastMs)));
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY2(!QFileInfo(link).isSymLink(), "the link is removed");
    got += peer.read(1000, 100);

    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly | QIODevice::Text));
    QByteArray logged;
    int frames = 0, corrupted = 0;
    while (!log.atEnd()) {
        const auto e = parseLogLine(QString::fromUtf8(log.readLine()));
        logged += e ? e->bytes : QByteArray(); // no entry: a comment
        if (!e || e->noise)
            continue;
        ++frames;
        corrupted += e->corrupted;
        QCOMPARE(replyCheckPasses(e->bytes), !e->corrupted);
        if (!e->corrupted) // the weight logged is the one on the line
            QCOMPARE(commandReply(*readingFor(e->weight.toDouble(), 0)), e->bytes);
    }
    QCOMPARE(frames, 25);
    QVERIFY(corrupted > 0);
    QCOMPARE(got, logged);
}

QTEST_GUILESS_MAIN(TstIndicatorSim)
#include "tst_indicator_sim.moc"
