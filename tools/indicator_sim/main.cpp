// indicator_sim: plays the weighing indicator on a pseudo-terminal or a serial device, so that
// the program, its tests and its benchmarks have a real peer on the line.

#include "indicator_sim/frame_log.h"
#include "indicator_sim/frames.h"
#include "indicator_sim/weight_script.h"
#include "serial_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <limits>
#include <unistd.h>

using namespace indicator_sim;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic_bool g_stop{false};

void onSignal(int) {
    g_stop = true;
}

enum class Mode { Answer, Stream, Continuous, RandomBytes };

struct Config {
    bool pty = false;
    QString device;
    QString link;
    Mode mode = Mode::Answer;
    double intervalMs = 0; // 0: back to back at the line rate
    double leadMs = 0;     // unasked frames start this long after the peer opens the line
    ScriptOptions script;
    qint64 count = -1;
    double seconds = -1;
    QString logPath;
    bool fast = false;
    bool quiet = false;
    bool stay = false;
};

constexpr int kRandomChunk = 16;
// One byte at 9600 baud, 8N1: start bit, eight data bits, stop bit.
constexpr std::chrono::nanoseconds kByteTime{1'000'000'000LL * 10 / 9600};
constexpr std::chrono::milliseconds kMaxPoll{50};
constexpr std::chrono::milliseconds kLinger{300};

const char* const kDescription = R"(Plays the weighing indicator on a serial line.

Modes:
  answer      answer every query 02 41 42 30 33 03 with one 14-byte reply frame
              carrying the next reading of the weight script (default)
  stream      send 14-byte reply frames unasked, one per interval
  continuous  send continuous-mode frames (02 sign digits decimals 03) unasked

The weight script imitates trucks driving on, settling and driving off. With
--pty the first line of standard output is the path of the pseudo-terminal to
point the program at; the simulator waits for the program to open it and ends
when it closes it again (unless --stay). Output is paced at 9600 baud (at most
960 bytes/s) unless --fast.

Exit status: 0 after a signal, the peer closing, --count or --seconds;
1 when the line cannot be opened; 2 for bad options.)";

bool fail(const QString& message) {
    std::fprintf(stderr, "indicator_sim: %s\n", qPrintable(message));
    return false;
}

bool parseNumber(const QCommandLineParser& p, const QString& name, double low, double high,
                 double* out) {
    if (!p.isSet(name))
        return true;
    bool ok = false;
    const double v = p.value(name).toDouble(&ok);
    if (!ok || v < low || v > high)
        return fail(
            QStringLiteral("--%1 wants a number from %2 to %3").arg(name).arg(low).arg(high));
    *out = v;
    return true;
}

bool parseArguments(const QCoreApplication& app, Config* c) {
    QCommandLineParser p;
    p.setApplicationDescription(QString::fromLatin1(kDescription));
    p.addHelpOption();
    p.addOptions({
        {"pty", "Create a pseudo-terminal and print its path."},
        {"device", "Use the serial device <path> at 9600 8N1.", "path"},
        {"link",
         "With --pty: make a symbolic link <path> to the pseudo-terminal (removed on exit).",
         "path"},
        {"stay", "With --pty: keep serving after the peer closes, until a signal."},
        {"mode", "answer, stream or continuous (default answer).", "mode", "answer"},
        {"interval-ms", "Unasked frames: one every <ms> milliseconds (default: back to back).",
         "ms"},
        {"fps", "Unasked frames: <n> frames per second.", "n"},
        {"lead-ms",
         "Unasked frames: begin <ms> milliseconds after the peer opens the line (default 0),"
         " so that a program which empties its input buffer after opening sees the first one.",
         "ms"},
        {"seed", "Seed of the weight script (default 1).", "n", "1"},
        {"decimals", "Decimal places of the readings, 0 to 4 (default 0).", "d", "0"},
        {"weight", "Send this fixed weight in kg instead of the script.", "kg"},
        {"negative", "Include negative readings (the empty scale drifting below zero)."},
        {"zero", "Include zero readings (the empty scale between trucks)."},
        {"bad-check", "Send <percent> of the reply frames with a failing check.", "percent"},
        {"noise", "Put a burst of random bytes before <percent> of the frames.", "percent"},
        {"random-bytes", "Send only random bytes at the full line rate (robustness tests)."},
        {"count", "Stop after <n> frames (chunks of 16 bytes with --random-bytes).", "n"},
        {"seconds", "Stop after <s> seconds.", "s"},
        {"log", "Write one line per frame sent to <file>.", "file"},
        {"fast", "Do not pace the output at 9600 baud."},
        {"quiet", "Print nothing but the line's path."},
    });
    if (!p.parse(app.arguments()))
        return fail(p.errorText());
    if (p.isSet("help")) {
        std::fputs(qPrintable(p.helpText()), stdout);
        std::exit(0);
    }
    if (!p.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1").arg(p.positionalArguments().first()));

    c->pty = p.isSet("pty");
    c->device = p.value("device");
    if (c->pty == !c->device.isEmpty())
        return fail(QStringLiteral("give either --pty or --device PATH"));
    c->link = p.value("link");
    if (!c->link.isEmpty() && !c->pty)
        return fail(QStringLiteral("--link needs --pty"));
    c->stay = p.isSet("stay");

    const QString mode = p.value("mode");
    if (mode == QLatin1String("answer"))
        c->mode = Mode::Answer;
    else if (mode == QLatin1String("stream"))
        c->mode = Mode::Stream;
    else if (mode == QLatin1String("continuous"))
        c->mode = Mode::Continuous;
    else
        return fail(QStringLiteral("unknown mode %1").arg(mode));
    if (p.isSet("random-bytes"))
        c->mode = Mode::RandomBytes;
    c->script.kind = c->mode == Mode::Continuous ? FrameKind::Continuous : FrameKind::CommandReply;

    if (!parseNumber(p, "interval-ms", 0, 3'600'000, &c->intervalMs))
        return false;
    double fps = 0;
    if (!parseNumber(p, "fps", 0.001, 1'000'000, &fps))
        return false;
    if (p.isSet("fps"))
        c->intervalMs = 1000.0 / fps;
    if (!parseNumber(p, "lead-ms", 0, 3'600'000, &c->leadMs))
        return false;

    bool ok = false;
    c->script.seed = p.value("seed").toULongLong(&ok);
    if (!ok)
        return fail(QStringLiteral("--seed wants a whole number"));
    double decimals = 0;
    if (!parseNumber(p, "decimals", 0, kMaxDecimals, &decimals))
        return false;
    c->script.decimals = static_cast<int>(decimals);
    if (p.isSet("weight")) {
        double kg = 0;
        if (!parseNumber(p, "weight", -1e9, 1e9, &kg))
            return false;
        c->script.fixedKg = kg;
    }
    c->script.negative = p.isSet("negative");
    c->script.zero = p.isSet("zero");
    if (!parseNumber(p, "bad-check", 0, 100, &c->script.badCheckPercent) ||
        !parseNumber(p, "noise", 0, 100, &c->script.noisePercent))
        return false;
    if (c->script.badCheckPercent > 0 && c->mode == Mode::Continuous)
        return fail(
            QStringLiteral("continuous-mode frames carry no check; --bad-check does not apply"));

    double count = -1;
    if (!parseNumber(p, "count", 0, 1e15, &count) ||
        !parseNumber(p, "seconds", 0, 1e9, &c->seconds))
        return false;
    c->count = static_cast<qint64>(count);
    c->logPath = p.value("log");
    c->fast = p.isSet("fast");
    c->quiet = p.isSet("quiet");
    if (!WeightScript(c->script).valid())
        return fail(QStringLiteral("--weight %1 does not fit six digits with %2 decimal places")
                        .arg(p.value("weight"))
                        .arg(c->script.decimals));
    return true;
}

// Keeps the output at the line rate: a piece may go out once the line has sent the previous one.
class Pacer {
public:
    explicit Pacer(bool fast) : m_fast(fast) {}
    Clock::time_point readyAt() const { return m_freeAt; }
    void sent(qsizetype bytes) {
        if (m_fast)
            return;
        m_freeAt = std::max(m_freeAt, Clock::now()) + kByteTime * bytes;
    }

private:
    bool m_fast;
    Clock::time_point m_freeAt = Clock::now();
};

// The symbolic link of --link, removed again when it still points at our pseudo-terminal.
class PeerLink {
public:
    bool make(const QString& link, const QString& target) {
        const QFileInfo existing(link);
        if (existing.isSymLink()) {
            QFile::remove(link);
        } else if (existing.exists()) {
            return fail(QStringLiteral("%1 exists and is not a symbolic link").arg(link));
        }
        if (::symlink(target.toLocal8Bit().constData(), link.toLocal8Bit().constData()) != 0)
            return fail(QStringLiteral("cannot make the link %1").arg(link));
        m_link = link;
        m_target = target;
        return true;
    }
    ~PeerLink() {
        if (!m_link.isEmpty() && QFileInfo(m_link).symLinkTarget() == m_target)
            QFile::remove(m_link);
    }

private:
    QString m_link;
    QString m_target;
};

struct Totals {
    qint64 frames = 0; // frames, or random chunks
    qint64 corrupted = 0;
    qint64 noise = 0;
    qint64 queries = 0;
};

class Simulator {
public:
    Simulator(const Config& config, SerialLine& line, QFile* log)
        : m_config(config), m_line(line), m_log(log), m_script(config.script),
          m_pacer(config.fast) {}

    void run();
    const Totals& totals() const { return m_totals; }

private:
    bool countReached() const { return m_config.count >= 0 && m_totals.frames >= m_config.count; }
    Clock::time_point nextDue() const;
    void sendNext();
    void send(const ScriptFrame& item);
    void info(const QString& message) const {
        if (!m_config.quiet)
            std::fprintf(stderr, "indicator_sim: %s\n", qPrintable(message));
    }

    const Config& m_config;
    SerialLine& m_line;
    QFile* m_log;
    WeightScript m_script;
    Pacer m_pacer;
    QueryScanner m_scanner;
    Totals m_totals;
    qint64 m_sequence = 0;
    int m_pendingReplies = 0;
    bool m_afterNoise = false; // the frame behind a noise burst goes out at once
    Clock::time_point m_nextFrameAt = Clock::now();
};

Clock::time_point Simulator::nextDue() const {
    if (countReached())
        return Clock::time_point::max();
    switch (m_config.mode) {
    case Mode::Answer:
        return m_pendingReplies > 0 ? m_pacer.readyAt() : Clock::time_point::max();
    case Mode::Stream:
    case Mode::Continuous:
        return m_afterNoise ? m_pacer.readyAt() : std::max(m_pacer.readyAt(), m_nextFrameAt);
    case Mode::RandomBytes:
        return m_pacer.readyAt();
    }
    return Clock::time_point::max();
}

void Simulator::send(const ScriptFrame& item) {
    if (!m_line.writeAll(item.bytes, g_stop))
        return; // the peer went away or we are stopping; the wait loop notices
    m_pacer.sent(item.bytes.size());
    ++m_sequence;
    if (item.noise)
        ++m_totals.noise;
    else
        ++m_totals.frames;
    if (item.corrupted)
        ++m_totals.corrupted;
    if (m_log) {
        m_log->write(formatLogLine(m_sequence, item).toUtf8() + '\n');
        m_log->flush();
    }
}

void Simulator::sendNext() {
    if (m_config.mode == Mode::RandomBytes) {
        ScriptFrame chunk;
        chunk.noise = true;
        chunk.bytes = m_script.randomBytes(kRandomChunk);
        send(chunk);
        --m_totals.noise;
        ++m_totals.frames; // chunks count as frames, towards --count
        return;
    }
    const ScriptFrame item = m_script.next();
    send(item);
    if (item.noise) {
        m_afterNoise = true;
        return;
    }
    m_afterNoise = false;
    if (m_config.mode == Mode::Answer) {
        --m_pendingReplies;
        return;
    }
    const auto now = Clock::now();
    m_nextFrameAt += std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(m_config.intervalMs));
    if (m_nextFrameAt < now - std::chrono::seconds(1))
        m_nextFrameAt = now; // fell far behind (the peer stopped reading): do not burst
}

void Simulator::run() {
    const auto start = Clock::now();
    const auto deadline = m_config.seconds >= 0
                              ? start + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(m_config.seconds))
                              : Clock::time_point::max();
    bool peerSeen = !m_config.pty;
    Clock::time_point lingerUntil = Clock::time_point::max();

    while (!g_stop) {
        auto now = Clock::now();
        if (now >= deadline)
            break;
        if (countReached()) {
            // Give the peer time to read the last frame before the line goes away.
            if (lingerUntil == Clock::time_point::max())
                lingerUntil = std::max(now, m_pacer.readyAt()) + kLinger;
            if (now >= lingerUntil)
                break;
        }
        const auto until = std::min({nextDue(), deadline, lingerUntil, now + kMaxPoll});
        const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(
            std::max(until - now, Clock::duration::zero()));
        bool readable = false;
        const auto peer = m_line.wait(static_cast<int>(timeout.count()), &readable);
        if (peer == SerialLine::Peer::Unknown)
            continue;
        if (peer == SerialLine::Peer::Absent) {
            if (!peerSeen)
                continue;
            info(QStringLiteral("the peer closed the line"));
            if (!m_config.stay || countReached())
                break;
            peerSeen = false;
            m_scanner = QueryScanner();
            m_pendingReplies = 0;
            continue;
        }
        if (!peerSeen) {
            peerSeen = true;
            m_nextFrameAt =
                Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double, std::milli>(m_config.leadMs));
            info(QStringLiteral("the peer opened the line"));
        }
        if (readable) {
            const int queries = m_scanner.feed(m_line.readAvailable());
            m_totals.queries += queries;
            if (m_config.mode == Mode::Answer)
                m_pendingReplies += queries;
        }
        now = Clock::now();
        if (nextDue() <= now)
            sendNext();
    }
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("indicator_sim"));
    Config config;
    if (!parseArguments(app, &config))
        return 2;

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no restart: a signal cuts the wait short
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    QString error;
    auto line =
        config.pty ? SerialLine::openPty(&error) : SerialLine::openDevice(config.device, &error);
    if (!line) {
        fail(error);
        return 1;
    }
    PeerLink link;
    if (!config.link.isEmpty() && !link.make(config.link, line->peerPath()))
        return 1;

    QFile log(config.logPath);
    if (!config.logPath.isEmpty()) {
        if (!log.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            fail(QStringLiteral("cannot write %1: %2").arg(config.logPath, log.errorString()));
            return 1;
        }
        log.write("# indicator_sim " + QCoreApplication::arguments().mid(1).join(' ').toUtf8() +
                  '\n');
        log.write("# sequence\tbytes\tweight\tstatus\n");
        log.flush();
    }

    std::fprintf(stdout, "%s\n", qPrintable(line->peerPath()));
    std::fflush(stdout);

    Simulator sim(config, *line, config.logPath.isEmpty() ? nullptr : &log);
    sim.run();

    const Totals& t = sim.totals();
    if (!config.quiet)
        std::fprintf(stderr,
                     "indicator_sim: sent %lld frames (%lld with a bad check), %lld noise bursts; "
                     "%lld queries received\n",
                     static_cast<long long>(t.frames), static_cast<long long>(t.corrupted),
                     static_cast<long long>(t.noise), static_cast<long long>(t.queries));
    return 0;
}
