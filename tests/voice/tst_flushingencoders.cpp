// The flow-control encoders: flush thresholds and send chains with packets
// that divide the block and packets that do not, the slow senders' pacing
// figures on a real audio input, and parameters they cannot work with.

#include "mflowcontrolencoder.h"
#include "mm.h"
#include "mnoneslowsenderencoder.h"
#include "mnoneslowsenderencoderusingfce.h"
#include "mstatistics.h"
#include "mudpsocket.h"
#include "pcmpipe.h"
#include "voicelink.h"

#include "audiotestmain.h"
#include "logcapture.h"

#include <QAudioInput>
#include <QtTest>

#include <memory>

using VoiceTestData::VoiceLink;

namespace {

QByteArray pattern(int bytes, int seed)
{
    QByteArray data(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i)
        data[i] = char((i * 5 + seed * 11) % 253);
    return data;
}

} // namespace

class TestFlushingEncoders : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_log.reset();
        m_log = std::make_unique<LogCapture>();
    }
    void cleanup() { m_log.reset(); }

    void flushChains_data();
    void flushChains();
    void oneStepPerTurnOfTheEventLoop();
    void theSlowChainWaitsAQuarterLonger();
    void aFlushWithNothingCollectedDoesNothing();
    void parametersThatCannotWork_data();
    void parametersThatCannotWork();
    void slowSenderPacing_data();
    void slowSenderPacing();
    void slowSenderWithoutAStartedInput();

private:
    std::unique_ptr<LogCapture> m_log;
};

void TestFlushingEncoders::flushChains_data()
{
    QTest::addColumn<int>("packetBytes");
    QTest::addColumn<int>("firstPackets");
    QTest::addColumn<int>("secondPackets");
    QTest::addColumn<int>("slowWarnings");
    QTest::newRow("3840-byte packets divide the 19200-byte block") << 3840 << 5 << 10 << 0;
    QTest::newRow("5000-byte packets leave 4200 bytes, carried to the next flush")
        << 5000 << 3 << 7 << 1;
}

void TestFlushingEncoders::flushChains()
{
    QFETCH(int, packetBytes);
    QFETCH(int, firstPackets);
    QFETCH(int, secondPackets);
    QFETCH(int, slowWarnings);
    VoiceLink link;
    PcmPipe pipe;
    MFlowControlEncoder encoder(&pipe, MM::defaultAudioFormat(), &link.sender, 0.1f, packetBytes);
    QCOMPARE(encoder.threshold(), 19200);
    const QByteArray pcm = pattern(2 * 19200, 1);

    // Just under the threshold: nothing yet.
    pipe.push(pcm.left(19199));
    QVERIFY(link.roundTrip(&encoder));
    QCOMPARE(m_log->count(QStringLiteral("FLUSH: ")), 0);
    QCOMPARE(link.received.size(), 0);
    pipe.push(pcm.mid(19199, 1));
    QVERIFY(m_log->lines().contains(QStringLiteral("FLUSH:  19200")));
    QTRY_VERIFY(link.received.size() >= firstPackets);
    // A packet of what the block leaves over would follow the last whole one.
    QVERIFY(link.roundTrip(&encoder));
    QCOMPARE(link.received.size(), firstPackets);
    QCOMPARE(encoder.queuedBytes(), 19200 - firstPackets * packetBytes);

    pipe.push(pcm.mid(19200));
    QTRY_COMPARE(link.received.size(), secondPackets);
    QCOMPARE(m_log->count(QStringLiteral("SLOW SENDING DETECTED!")), slowWarnings);
    QVERIFY(link.payloads() == pcm.left(secondPackets * packetBytes));
    for (int i = 0; i < link.received.size(); ++i)
        QCOMPARE(int(MAbstractSocket::byteArrayToInt(link.received.at(i))), i + 1);
    QVERIFY(m_log->contains(QStringLiteral("continuouslySendData")));
}

void TestFlushingEncoders::oneStepPerTurnOfTheEventLoop()
{
    VoiceLink link;
    PcmPipe pipe;
    MFlowControlEncoder encoder(&pipe, MM::defaultAudioFormat(), &link.sender, 0.1f, 3840);
    pipe.push(pattern(19200, 2));
    // The flush only queues the first step.
    QCOMPARE(encoder.statisticsObject()->packetCount, 0);
    for (int step = 1; step <= 5; ++step) {
        QCoreApplication::sendPostedEvents(&encoder, QEvent::MetaCall);
        QCOMPARE(encoder.statisticsObject()->packetCount, step);
    }
    QCoreApplication::sendPostedEvents(&encoder, QEvent::MetaCall);
    QCOMPARE(encoder.statisticsObject()->packetCount, 5);
}

void TestFlushingEncoders::theSlowChainWaitsAQuarterLonger()
{
    VoiceLink link;
    PcmPipe pipe;
    MNoneSlowSenderEncoderUsingFCE encoder(
        &pipe, MM::defaultAudioFormat(), &link.sender, 0.1f, 3840);
    QVERIFY(encoder.usable());
    QCOMPARE(encoder.sendInterval(), 100);
    pipe.push(pattern(19200, 3));
    // Each step is a 125 ms timer, not a queued call.
    QCoreApplication::sendPostedEvents(&encoder, QEvent::MetaCall);
    QCOMPARE(encoder.statisticsObject()->packetCount, 0);
    QTRY_COMPARE_WITH_TIMEOUT(link.received.size(), 5, 5000);
    QVERIFY(link.payloads() == pattern(19200, 3));
    QVERIFY(m_log->contains(QStringLiteral("MNoneSlowSenderEncoderUsingFCE")));
}

void TestFlushingEncoders::aFlushWithNothingCollectedDoesNothing()
{
    VoiceLink link;
    PcmPipe pipe;
    MFlowControlEncoder encoder(&pipe, MM::defaultAudioFormat(), &link.sender, 0.1f, 3840);
    QVERIFY(QMetaObject::invokeMethod(&encoder, "flush"));
    QVERIFY(link.roundTrip(&encoder));
    QVERIFY(m_log->lines().isEmpty());
    QCOMPARE(encoder.statisticsObject()->packetCount, 0);
    QVERIFY(link.received.isEmpty());
}

void TestFlushingEncoders::parametersThatCannotWork_data()
{
    QTest::addColumn<bool>("slow");
    QTest::addColumn<float>("seconds");
    QTest::addColumn<int>("packetBytes");
    QTest::newRow("no time at all") << false << 0.0f << 3840;
    QTest::newRow("less than one byte of audio") << false << 1e-7f << 3840;
    QTest::newRow("a negative time") << true << -0.1f << 3840;
    QTest::newRow("packets of no bytes") << false << 0.1f << 0;
    QTest::newRow("packets of no bytes, slow") << true << 0.1f << 0;
    QTest::newRow("the slow sender with blocks over a second") << true << 1.5f << 3840;
}

void TestFlushingEncoders::parametersThatCannotWork()
{
    QFETCH(bool, slow);
    QFETCH(float, seconds);
    QFETCH(int, packetBytes);
    VoiceLink link;
    PcmPipe pipe;
    std::unique_ptr<MFlushingEncoder> encoder;
    if (slow)
        encoder.reset(new MNoneSlowSenderEncoderUsingFCE(
            &pipe, MM::defaultAudioFormat(), &link.sender, seconds, packetBytes));
    else
        encoder.reset(new MFlowControlEncoder(
            &pipe, MM::defaultAudioFormat(), &link.sender, seconds, packetBytes));
    QVERIFY(!encoder->usable());
    QCOMPARE(m_log->count(QStringLiteral("this encoder sends nothing")), 1);
    for (int i = 0; i < 5; ++i)
        pipe.push(pattern(192000, 4));
    QVERIFY(link.roundTrip(encoder.get()));
    // The slow chain's first step is a timer away, but its flush would show.
    QCOMPARE(m_log->count(QStringLiteral("FLUSH: ")), 0);
    QCOMPARE(encoder->statisticsObject()->packetCount, 0);
    QVERIFY(link.received.isEmpty());
    QCOMPARE(pipe.bytesAvailable(), 0);
}

void TestFlushingEncoders::slowSenderPacing_data()
{
    QTest::addColumn<int>("bufferSize");
    QTest::addColumn<int>("period");
    QTest::addColumn<int>("periodMs");
    QTest::addColumn<int>("tickMs");
    QTest::newRow("a 20 ms input period ticks every 25 ms") << 3840 << 3840 << 20 << 25;
    QTest::newRow("the input's default 4092-byte period") << 0 << 4092 << 21 << 26;
}

void TestFlushingEncoders::slowSenderPacing()
{
    QFETCH(int, bufferSize);
    QFETCH(int, period);
    QFETCH(int, periodMs);
    QFETCH(int, tickMs);
    const QAudioFormat format = MM::deviceAudioFormat(MM::defaultAudioFormat());
    QAudioInput input(format);
    if (bufferSize > 0)
        input.setBufferSize(bufferSize);
    QVERIFY(input.start());
    QCOMPARE(input.periodSize(), period);

    VoiceLink link;
    PcmPipe pipe;
    MNoneSlowSenderEncoder encoder(&input, &pipe, format, &link.sender);
    QVERIFY(encoder.usable());
    QVERIFY(m_log->lines().contains(QStringLiteral("NSD %1").arg(periodMs)));
    QCOMPARE(encoder.tickIntervalMs(), tickMs);

    // Five periods and a bit: one period per tick, the bit stays.
    const QByteArray pcm = pattern(5 * period + 100, 5);
    pipe.push(pcm);
    QCOMPARE(encoder.backlogBytes(), qint64(pcm.size()));
    QTRY_COMPARE_WITH_TIMEOUT(link.received.size(), 5, 5000);
    QVERIFY(link.payloads() == pcm.left(5 * period));
    QCOMPARE(encoder.backlogBytes(), qint64(100));
    input.stop();
}

void TestFlushingEncoders::slowSenderWithoutAStartedInput()
{
    const QAudioFormat format = MM::deviceAudioFormat(MM::defaultAudioFormat());
    QAudioInput input(format);
    QCOMPARE(input.periodSize(), 0);
    VoiceLink link;
    PcmPipe pipe;
    MNoneSlowSenderEncoder encoder(&input, &pipe, format, &link.sender);
    QVERIFY(!encoder.usable());
    QCOMPARE(m_log->count(QStringLiteral("sends nothing")), 1);
    pipe.push(pattern(3840 * 4, 6));
    QVERIFY(link.roundTrip(&encoder));
    QCOMPARE(encoder.statisticsObject()->packetCount, 0);
    QVERIFY(link.received.isEmpty());
    QCOMPARE(encoder.backlogBytes(), qint64(0));
}

CLASSROOM_AUDIO_TEST_GUILESS_MAIN(TestFlushingEncoders)
#include "tst_flushingencoders.moc"
