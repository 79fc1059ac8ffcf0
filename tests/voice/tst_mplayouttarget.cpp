// The playout target on its own clock: when it grows, when it shrinks, and
// that it never leaves its bounds.

#include "mplayouttarget.h"

#include <QtTest>

class TestMPlayoutTarget : public QObject
{
    Q_OBJECT

private slots:
    void followsTheStream_data();
    void followsTheStream();
};

void TestMPlayoutTarget::followsTheStream_data()
{
    QTest::addColumn<int>("dryEvery"); // periods from one dry run to the next
    QTest::addColumn<int>("dryLength");
    QTest::addColumn<int>("dryRuns");
    QTest::addColumn<int>("lateBy"); // every other packet arrives this much late
    QTest::addColumn<int>("calmAfter"); // periods without dry runs at the end
    QTest::addColumn<int>("peak");
    QTest::addColumn<int>("end");

    // Floor 3, ceiling 8.
    QTest::newRow("one stall costs nothing in target") << 0 << 15 << 1 << 0 << 0 << 3 << 3;
    QTest::newRow("stalls ten seconds apart do not grow it") << 500 << 15 << 6 << 0 << 0 << 3 << 3;
    QTest::newRow("dry runs every second grow it one slot each, up to the ring")
        << 50 << 1 << 12 << 0 << 0 << 8 << 8;
    QTest::newRow("after a quiet spell it shrinks one slot per spell, down to the start")
        << 50 << 1 << 12 << 0 << 10 * MPlayoutTarget::kQuietPeriods << 8 << 3;
    QTest::newRow("a quiet spell shrinks it by one")
        << 50 << 1 << 3 << 0 << MPlayoutTarget::kQuietPeriods + 10 << 5 << 4;
    QTest::newRow("jitter beyond the target grows it at an isolated dry run")
        << 0 << 1 << 1 << 5 << 0 << 4 << 4;
    QTest::newRow("jitter that needs the slots keeps it from shrinking")
        << 50 << 1 << 4 << 5 << 10 * MPlayoutTarget::kQuietPeriods << 7 << 5;
}

void TestMPlayoutTarget::followsTheStream()
{
    QFETCH(int, dryEvery);
    QFETCH(int, dryLength);
    QFETCH(int, dryRuns);
    QFETCH(int, lateBy);
    QFETCH(int, calmAfter);
    QFETCH(int, peak);
    QFETCH(int, end);

    MPlayoutTarget target(3, 8);
    QCOMPARE(target.target(), 3);
    int seq = 0;
    int highest = target.target();
    int sum = 0;
    const auto period = [&](bool dry) {
        const int before = target.target();
        const int change = target.periodPlayed(dry);
        QCOMPARE(target.target(), before + change);
        QVERIFY(target.target() >= target.floor() && target.target() <= target.ceiling());
        sum += change;
        highest = qMax(highest, target.target());
        if (!dry) {
            // Packets flow while frames play; every other one comes late.
            ++seq;
            target.packetArrived(seq % 2 ? seq - lateBy : seq);
        }
    };
    // Steady flow first, long enough to fill the jitter window.
    for (int i = 0; i < MPlayoutTarget::kJitterWindow; ++i)
        period(false);
    for (int run = 0; run < dryRuns; ++run) {
        for (int i = 0; i < dryLength; ++i)
            period(true);
        for (int i = dryLength; i < qMax(dryEvery, dryLength + 1); ++i)
            period(false);
    }
    for (int i = 0; i < calmAfter; ++i)
        period(false);
    QCOMPARE(highest, peak);
    QCOMPARE(target.target(), end);
    QCOMPARE(sum, end - 3);
}

QTEST_GUILESS_MAIN(TestMPlayoutTarget)
#include "tst_mplayouttarget.moc"
