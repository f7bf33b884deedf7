// The weight script: the same frames for the same seed, trucks that drive on, settle and drive
// off, and corruption and noise in the shares asked for, all within the indicator's range.

#include "indicator_sim/weight_script.h"

#include <QTest>

#include <cmath>
#include <limits>

using namespace indicator_sim;

namespace {

constexpr int kItems = 4000;

std::int64_t signedCounts(const Reading& r) {
    return r.negative() ? -r.counts() : r.counts();
}

} // namespace

class TstWeightScript : public QObject {
    Q_OBJECT

private slots:
    void properties_data();
    void properties();
    void seedDecides();
};

void TstWeightScript::properties_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<bool>("negative");
    QTest::addColumn<bool>("zero");
    QTest::addColumn<double>("badPercent");
    QTest::addColumn<double>("noisePercent");
    QTest::addColumn<double>("fixedKg"); // NaN: the traffic script

    const double none = std::numeric_limits<double>::quiet_NaN();
    const int reply = static_cast<int>(FrameKind::CommandReply);
    const int continuous = static_cast<int>(FrameKind::Continuous);
    QTest::newRow("plain") << reply << 0 << false << false << 0.0 << 0.0 << none;
    QTest::newRow("soak mix") << reply << 0 << true << true << 5.0 << 3.0 << none;
    QTest::newRow("many bad, 2 places") << reply << 2 << false << true << 30.0 << 0.0 << none;
    QTest::newRow("4 places, noisy") << reply << 4 << true << false << 0.0 << 20.0 << none;
    QTest::newRow("continuous") << continuous << 1 << true << true << 0.0 << 10.0 << none;
    QTest::newRow("fixed weight") << reply << 1 << false << false << 10.0 << 0.0 << 85.6;
    QTest::newRow("fixed negative") << continuous << 2 << false << false << 0.0 << 0.0 << -15.0;
}

void TstWeightScript::properties() {
    QFETCH(int, kind);
    QFETCH(int, decimals);
    QFETCH(bool, negative);
    QFETCH(bool, zero);
    QFETCH(double, badPercent);
    QFETCH(double, noisePercent);
    QFETCH(double, fixedKg);

    ScriptOptions o;
    o.seed = 42;
    o.kind = static_cast<FrameKind>(kind);
    o.decimals = decimals;
    o.negative = negative;
    o.zero = zero;
    o.badCheckPercent = badPercent;
    o.noisePercent = noisePercent;
    if (!std::isnan(fixedKg))
        o.fixedKg = fixedKg;
    WeightScript script(o);
    QVERIFY(script.valid());

    QList<std::int64_t> readings;
    int frames = 0, corrupted = 0, noise = 0, negatives = 0, zeros = 0;
    bool previousWasNoise = false;
    for (int i = 0; i < kItems; ++i) {
        const ScriptFrame f = script.next();
        if (f.noise) {
            QVERIFY2(!previousWasNoise, "a noise burst is always followed by a frame");
            QVERIFY(f.bytes.size() >= 1 && f.bytes.size() <= 8);
            ++noise;
            previousWasNoise = true;
            continue;
        }
        previousWasNoise = false;
        ++frames;
        const Reading& r = f.reading;
        QVERIFY(r.counts() >= 0); // six ASCII digits
        QCOMPARE(r.decimals, char('0' + decimals));
        if (o.kind == FrameKind::Continuous) {
            QVERIFY(!f.corrupted);
            QCOMPARE(f.bytes, continuousFrame(r));
        } else {
            QCOMPARE(f.corrupted, !replyCheckPasses(f.bytes));
            if (!f.corrupted)
                QCOMPARE(f.bytes, commandReply(r));
        }
        corrupted += f.corrupted;
        negatives += r.negative();
        zeros += r.counts() == 0;
        readings.append(signedCounts(r));
    }

    const auto shareNear = [&](int got, double percent) {
        const double expected = frames * percent / 100.0;
        return std::abs(got - expected) <= 0.3 * expected + 3;
    };
    QVERIFY2(shareNear(corrupted, badPercent), qPrintable(QString::number(corrupted)));
    QVERIFY2(shareNear(noise, noisePercent), qPrintable(QString::number(noise)));

    if (o.fixedKg) {
        const Reading expected = *readingFor(*o.fixedKg, decimals);
        for (std::int64_t v : readings)
            QCOMPARE(v, signedCounts(expected));
        return;
    }
    QCOMPARE(negatives > 0, negative);
    QCOMPARE(zeros > 0, zero);

    // Trucks: between two lower readings, every peak is a settled reading held at least three
    // times, and there are many trucks, not one.
    QList<std::pair<std::int64_t, int>> runs;
    for (std::int64_t v : readings) {
        if (!runs.isEmpty() && runs.back().first == v)
            ++runs.back().second;
        else
            runs.append({v, 1});
    }
    int peaks = 0;
    for (qsizetype i = 1; i + 1 < runs.size(); ++i) {
        if (runs[i].first > runs[i - 1].first && runs[i].first > runs[i + 1].first) {
            ++peaks;
            QVERIFY2(runs[i].second >= 3, qPrintable(QString::number(runs[i].first)));
        }
    }
    QVERIFY2(peaks >= frames / 40, qPrintable(QString::number(peaks)));
    QVERIFY(peaks <= frames / 8);
}

void TstWeightScript::seedDecides() {
    ScriptOptions o;
    o.negative = true;
    o.zero = true;
    o.badCheckPercent = 10;
    o.noisePercent = 10;
    const auto run = [&](std::uint64_t seed) {
        o.seed = seed;
        WeightScript script(o);
        QByteArray all;
        for (int i = 0; i < 500; ++i)
            all += script.next().bytes;
        return all;
    };
    QCOMPARE(run(7), run(7));
    QVERIFY(run(7) != run(8));
}

QTEST_GUILESS_MAIN(TstWeightScript)
#include "tst_weight_script.moc"
