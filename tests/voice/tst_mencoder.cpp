#include "logcapture.h"
#include "mencoder.h"
#include "mm.h"
#include "mstatistics.h"
#include "mudpsocket.h"
#if !defined(VOICEPIPE_PODIUM_BUILD)
#include "packetlosssimulator.h"
#endif

#include <memory>

#include <QtTest>

#include <limits>

namespace {

// An encoder whose "codec" hands each queued payload on unchanged; it has no
// input device, the test calls send().
class PayloadEncoder : public MEncoder
{
public:
    explicit PayloadEncoder(MUdpSocket* udpSocket, QObject* parent = nullptr)
        : MEncoder(nullptr, MM::defaultAudioFormat(), udpSocket, parent)
    { }

    void send(const QByteArray& payload)
    {
        m_queue << payload;
        sendAvailableVoice();
    }

protected:
    void sendAvailableVoice() override
    {
        while (!m_queue.isEmpty())
            sendVoicePacket(m_queue.takeFirst());
    }

private:
    QList<QByteArray> m_queue;
};

struct Loopback
{
    MUdpSocket receiver;
    MUdpSocket sender;
    QList<QByteArray> received;

    Loopback()
    {
        QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
        QObject::connect(&receiver, &MUdpSocket::packetReceived, &receiver,
            [this](MAbstractSocket*, MDataType type, const QByteArray& data) {
                if (type == VoiceData)
                    received << data;
            });
        sender.setPeerHostAndPort(QHostAddress::LocalHost, receiver.localPort());
    }

    QList<int> sequences() const
    {
        QList<int> result;
        for (const QByteArray& packet : received)
            result << int(MAbstractSocket::byteArrayToInt(packet));
        return result;
    }
};

} // namespace

class TestMEncoder : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_log = std::make_unique<LogCapture>(); }
    void cleanup() { m_log.reset(); }

    void packetsAreNumberedFromOneAndCounted();
    void aFailedSendIsCountedAsFailure();
    void flowValuesAndLines();
    void intervalBelowOneIsTakenAsOne();
    void buildVariant();
#if !defined(VOICEPIPE_PODIUM_BUILD)
    void lossSimulator_data();
    void lossSimulator();
    void burstsDropWholeRuns();
    void unboundSimulatorDropsEverything();
#endif

private:
    std::unique_ptr<LogCapture> m_log;
};

void TestMEncoder::packetsAreNumberedFromOneAndCounted()
{
    Loopback link;
    PayloadEncoder encoder(&link.sender);
    encoder.send("first");
    encoder.send("second!");
    encoder.send("3");
    QTRY_COMPARE(link.received.size(), 3);
    QCOMPARE(link.received.at(0), QByteArray::fromHex("00000001") + "first");
    QCOMPARE(link.sequences(), (QList<int> { 1, 2, 3 }));
    QCOMPARE(link.received.at(1).mid(4), QByteArray("second!"));
    const MStatistics* stats = encoder.statisticsObject();
    QCOMPARE(stats->packetCount, 3);
    QCOMPARE(stats->byteCount, (5 + 8) + (7 + 8) + (1 + 8));
    QCOMPARE(stats->successfulPackets, 3);
    QCOMPARE(stats->failedPackets, 0);

    // A new encoder object starts again at 1.
    PayloadEncoder second(&link.sender);
    second.send("again");
    QTRY_COMPARE(link.received.size(), 4);
    QCOMPARE(link.sequences().last(), 1);
}

void TestMEncoder::aFailedSendIsCountedAsFailure()
{
    MUdpSocket nowhere; // no peer: every datagram write fails
    PayloadEncoder encoder(&nowhere);
    encoder.send("lost");
    QCOMPARE(encoder.statisticsObject()->failedPackets, 1);
    QCOMPARE(encoder.statisticsObject()->successfulPackets, 0);
    QCOMPARE(encoder.statisticsObject()->packetCount, 1);
}

void TestMEncoder::flowValuesAndLines()
{
    Loopback link;
    auto* encoder = new PayloadEncoder(&link.sender);
    MStatistics* stats = encoder->statisticsObject();
    stats->flowTimer->stop(); // ticks are driven by hand below
    stats->setPropagationIntervalSecs(1);
    QSignalSpy spy(stats, &MStatistics::statsPropagated);

    encoder->send(QByteArray(100, 'a'));
    encoder->send(QByteArray(92, 'b'));
    m_log->clear();
    stats->flowTimerTimeout();
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0), (QList<QVariant> { 2, 108 + 100, 2, 0 }));
    QCOMPARE(m_log->lines(),
        QStringList {
            QStringLiteral("Previous  1  secs:  2 packets,  208 bytes,  100 % success.") });

    // The next tick reports only what happened since, and the totals.
    stats->flowTimerTimeout();
    QCOMPARE(spy.at(1), (QList<QVariant> { 0, 0, 2, 0 }));

    // Flow line every third tick only; the signal every tick.
    stats->setPropagationIntervalSecs(3);
    m_log->clear();
    stats->flowTimerTimeout(); // tick 3
    stats->flowTimerTimeout();
    stats->flowTimerTimeout();
    QCOMPARE(spy.size(), 5);
    QCOMPARE(m_log->count(QStringLiteral("Previous ")), 1);
    QCOMPARE(stats->property("propagationIntervalSecs").toInt(), 3);

    m_log->clear();
    delete encoder;
    QCOMPARE(m_log->linesContaining(QStringLiteral("OVERALL:")),
        QStringList { QStringLiteral("OVERALL:  2 packets,  208 bytes,  average  104  bytes") });
}

void TestMEncoder::intervalBelowOneIsTakenAsOne()
{
    MStatistics stats;
    stats.flowTimer->stop();
    stats.setPropagationIntervalSecs(0);
    QCOMPARE(stats.propagationIntervalSecs, 1);
    stats.setPropagationIntervalSecs(-5);
    QCOMPARE(stats.propagationIntervalSecs, 1);
    m_log->clear();
    stats.flowTimerTimeout();
    QCOMPARE(m_log->count(QStringLiteral("Previous ")), 1);
    // A decoder never counts sends, so its success rate is not a number.
    QVERIFY(m_log->lines().first().endsWith(QLatin1String("nan % success.")));
    // Written past the setter, a zero still ticks as one.
    stats.propagationIntervalSecs = 0;
    m_log->clear();
    stats.flowTimerTimeout();
    QCOMPARE(m_log->count(QStringLiteral("Previous ")), 1);
}

void TestMEncoder::buildVariant()
{
    Loopback link;
    PayloadEncoder encoder(&link.sender);
    MStatistics* stats = encoder.statisticsObject();
    QVERIFY(stats->flowTimer->isActive());
    QCOMPARE(stats->flowTimer->interval(), 1000);
#if defined(VOICEPIPE_PODIUM_BUILD)
    // podium logs once a minute and forwards the flow through the encoder.
    QCOMPARE(stats->propagationIntervalSecs, 60);
    QSignalSpy forwarded(&encoder, &PayloadEncoder::statsPropagated);
    encoder.send("x");
    stats->flowTimerTimeout();
    QCOMPARE(forwarded.size(), 1);
    QCOMPARE(forwarded.at(0), (QList<QVariant> { 1, 9, 1, 0 }));
#else
    QCOMPARE(stats->propagationIntervalSecs, 1);
    QCOMPARE(encoder.metaObject()->indexOfSignal("statsPropagated(int,int,int,int)"), -1);
#endif
}

#if !defined(VOICEPIPE_PODIUM_BUILD)
static QList<int> range(int from, int to)
{
    QList<int> result;
    for (int i = from; i <= to; ++i)
        result << i;
    return result;
}

void TestMEncoder::lossSimulator_data()
{
    QTest::addColumn<int>("leading");
    QTest::addColumn<int>("percent");
    QTest::addColumn<int>("burst");
    QTest::addColumn<QList<int>>("delivered");

    QTest::newRow("default parameters send everything") << 0 << 0 << 1 << range(1, 20);
    QTest::newRow("two leading drops start the stream at 3") << 2 << 0 << 1 << range(3, 20);
    QTest::newRow("one hundred percent in bursts of three drops everything")
        << 0 << 100 << 3 << QList<int>();
    QTest::newRow("leading drops beyond the stream drop everything")
        << 25 << 0 << 1 << QList<int>();
    QTest::newRow("a burst as long as the sequence range drops everything")
        << 0 << 100 << std::numeric_limits<int>::max() << QList<int>();
}

void TestMEncoder::lossSimulator()
{
    QFETCH(int, leading);
    QFETCH(int, percent);
    QFETCH(int, burst);
    QFETCH(QList<int>, delivered);

    Loopback link;
    PayloadEncoder encoder(&link.sender);
    PacketLossSimParams params;
    params.leadingDropCount = leading;
    params.lossPercent = percent;
    params.burstLength = burst;
    PacketLossSimulator simulator(params);
    encoder.installPacketLossSimulator(&simulator);
    for (int i = 0; i < 20; ++i)
        encoder.send("payload");
    QTRY_COMPARE(link.received.size(), delivered.size());
    QCOMPARE(link.sequences(), delivered);
    // Dropped packets still count as attempts; they are neither success nor failure.
    QCOMPARE(encoder.statisticsObject()->packetCount, 20);
    QCOMPARE(encoder.statisticsObject()->successfulPackets, delivered.size());
    QCOMPARE(encoder.statisticsObject()->failedPackets, 0);

    // Removed, the simulator stops dropping and is not deleted.
    encoder.removePacketLossSimulator();
    encoder.send("payload");
    QTRY_COMPARE(link.received.size(), delivered.size() + 1);
    QCOMPARE(link.sequences().last(), 21);
}

void TestMEncoder::burstsDropWholeRuns()
{
    Loopback link;
    PayloadEncoder encoder(&link.sender);
    PacketLossSimParams params;
    params.lossPercent = 20;
    params.burstLength = 3;
    PacketLossSimulator simulator(params);
    simulator.setSeed(7);
    encoder.installPacketLossSimulator(&simulator);
    const int total = 400;
    for (int i = 0; i < total; ++i)
        encoder.send("p");
    QTRY_VERIFY(link.received.size() == encoder.statisticsObject()->successfulPackets);
    const QList<int> got = link.sequences();
    QVERIFY(got.size() > total / 3 && got.size() < total);
    // Every run of dropped packets is at least one burst long (bursts may
    // chain), except a run cut off by the end of the stream.
    int previous = 0;
    for (const int seq : got) {
        const int gap = seq - previous - 1;
        QVERIFY2(
            gap == 0 || gap >= 3, qPrintable(QStringLiteral("gap %1 before %2").arg(gap).arg(seq)));
        previous = seq;
    }
}

void TestMEncoder::unboundSimulatorDropsEverything()
{
    PacketLossSimulator simulator;
    QVERIFY(!simulator.sendNext());
    MStatistics stats;
    simulator.setStatisticsObject(&stats);
    stats.packetCount = 1;
    QVERIFY(simulator.sendNext());
}
#endif

QTEST_GUILESS_MAIN(TestMEncoder)
#include "tst_mencoder.moc"
