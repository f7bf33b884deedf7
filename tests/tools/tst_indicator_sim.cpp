// The indicator_sim executable as the program meets it: over a pseudo-terminal it answers the
// query, streams paced frames that match its log, keeps its link, and ends cleanly.

#include "indicator_sim/frame_log.h"
#include "indicator_sim/frames.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace indicator_sim;

namespace {

// The program's end of the line, as a test holds it.
class PeerEnd {
public:
    explicit PeerEnd(const QString& path) {
        m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd >= 0) {
            termios t{};
            tcgetattr(m_fd, &t);
            cfmakeraw(&t);
            tcsetattr(m_fd, TCSANOW, &t);
        }
    }
    ~PeerEnd() { close(); }
    PeerEnd(const PeerEnd&) = delete;
    PeerEnd& operator=(const PeerEnd&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    bool write(const QByteArray& bytes) {
        return ::write(m_fd, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
    }
    // Reads until `count` bytes have come or `timeoutMs` has passed.
    QByteArray read(qsizetype count, int timeoutMs) {
        QByteArray got;
        QElapsedTimer timer;
        timer.start();
        while (got.size() < count && timer.elapsed() < timeoutMs) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
                char buf[256];
                const ssize_t n = ::read(m_fd, buf, sizeof buf);
                if (n > 0)
                    got.append(buf, n);
            }
        }
        return got;
    }

private:
    int m_fd = -1;
};

// Starts the simulator and returns the path it printed on its first line.
QString startSimulator(QProcess& sim, const QStringList& arguments) {
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(INDICATOR_SIM_PATH), arguments);
    if (!sim.waitForStarted(5000))
        return {};
    while (!sim.canReadLine()) {
        if (!sim.waitForReadyRead(5000))
            return {};
    }
    return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

} // namespace

class TstIndicatorSim : public QObject {
    Q_OBJECT

private slots:
    void answersQueries();
    void streamsPacedFramesAsLogged();
    void endsOnSignal();
};

void TstIndicatorSim::answersQueries() {
    QProcess sim;
    const QString path = startSimulator(
        sim, {"--pty", "--mode", "answer", "--weight", "85.6", "--decimals", "1", "--quiet"});
    QVERIFY(path.startsWith("/dev/"));
    PeerEnd peer(path);
    QVERIFY(peer.isOpen());

    const QByteArray expected = QByteArray::fromHex("024142"
                                                    "2B303030383536"
                                                    "31"
                                                    "3132"
                                                    "03");
    QVERIFY(peer.write(commandQuery()));
    QCOMPARE(peer.read(kReplyLength, 3000), expected);

    // A query in pieces behind stray bytes is still one query.
    const QByteArray q = commandQuery();
    QVERIFY(peer.write(QByteArray::fromHex("FF0341") + q.left(2)));
    QTest::qWait(30);
    QVERIFY(peer.write(q.mid(2)));
    QCOMPARE(peer.read(kReplyLength, 3000), expected);
    QCOMPARE(peer.read(1, 200), QByteArray()); // one reply per query

    peer.close();
    QVERIFY(sim.waitForFinished(3000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
}

void TstIndicatorSim::streamsPacedFramesAsLogged() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath("com1");
    const QString logPath = dir.filePath("frames.log");
    constexpr int kFrames = 25;

    QProcess sim;
    const QString path =
        startSimulator(sim, {"--pty", "--link", link, "--mode", "stream", "--count",
                             QString::number(kFrames), "--seed", "3", "--bad-check", "20",
                             "--noise", "10", "--negative", "--zero", "--log", logPath, "--quiet"});
    QVERIFY(!path.isEmpty());
    QCOMPARE(QFileInfo(link).symLinkTarget(), path);
    PeerEnd peer(link);
    QVERIFY(peer.isOpen());

    QElapsedTimer timer;
    QByteArray got = peer.read(1, 3000);
    timer.start();
    got += peer.read(kFrames * kReplyLength, 5000); // noise comes on top; read what arrives
    const qint64 elapsedMs = timer.elapsed();
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY2(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink(), "the link is removed");
    got += peer.read(1000, 100);

    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly | QIODevice::Text));
    QByteArray logged;
    int frames = 0;
    int corrupted = 0;
    while (!log.atEnd()) {
        const auto entry = parseLogLine(QString::fromUtf8(log.readLine()));
        if (!entry)
            continue;
        logged += entry->bytes;
        if (!entry->noise) {
            ++frames;
            QCOMPARE(entry->corrupted, !replyCheckPasses(entry->bytes));
            corrupted += entry->corrupted;
        }
    }
    QCOMPARE(frames, kFrames);
    QVERIFY(corrupted > 0);
    QCOMPARE(got, logged);

    // 9600 baud carries at most 960 bytes a second.
    const double minimumMs = (got.size() - kReplyLength) * 1000.0 / 960.0;
    QVERIFY2(elapsedMs >= 0.9 * minimumMs,
             qPrintable(QStringLiteral("%1 bytes in %2 ms").arg(got.size()).arg(elapsedMs)));
}

void TstIndicatorSim::endsOnSignal() {
    QTemporaryDir dir;
    const QString link = dir.filePath("com1");
    QProcess sim;
    const QString path =
        startSimulator(sim, {"--pty", "--link", link, "--mode", "continuous", "--stay", "--quiet"});
    QVERIFY(!path.isEmpty());
    PeerEnd peer(path);
    const QByteArray got = peer.read(10, 3000);
    QVERIFY(got.size() >= 10);
    QCOMPARE(got.front(), kStart);
    QCOMPARE(got[9], kEnd);

    sim.terminate(); // SIGTERM
    QVERIFY(sim.waitForFinished(3000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

QTEST_GUILESS_MAIN(TstIndicatorSim)
#include "tst_indicator_sim.moc"
