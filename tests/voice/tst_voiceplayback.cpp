// What MOpusAdvancedDecoder plays through a real audio output, read back
// bit-exact from the harness's sink: every decoded frame once, whole and in
// order, across a network pause (ring underrun) and a busy thread (the output
// itself runs dry and falls idle).

#include "audioharness.h"
#include "maudiooutputfeeder.h"
#include "mm.h"
#include "mopusadvanceddecoder.h"
#include "pcmpipe.h"
#include "voicetestdata.h"

#include "audiotestmain.h"
#include <QAudioOutput>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTimer>
#include <QtTest>

using namespace VoiceTestData;

class TestVoicePlayback : public QObject
{
    Q_OBJECT

private slots:
    // A minute of 50 packets a second: keep the log to what matters.
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }
    void everyFrameOnceAndInOrder();
    void feederCarriesWhatTheDeviceRefuses_data();
    void feederCarriesWhatTheDeviceRefuses();
    void smallOutputBufferTakesPartOfEachWrite();
};

namespace {

// A stretch of noise without a silent sample frame, so that silence a sink
// adds (an underrun on a loaded machine) can be told from the stream itself.
QByteArray noiseWithoutSilence(int ms, quint32 seed)
{
    QByteArray pcm = AudioHarness::testPattern(ms, seed);
    for (int i = 0; i + 4 <= pcm.size(); i += 4) {
        if (qFromLittleEndian<quint32>(pcm.constData() + i) == 0)
            pcm[i] = 1;
    }
    return pcm;
}

// Where two streams first differ, for a failure message.
QString firstDifference(const QByteArray& got, const QByteArray& want)
{
    int i = 0;
    while (i < got.size() && i < want.size() && got.at(i) == want.at(i))
        ++i;
    return QStringLiteral("%1 bytes instead of %2, first difference at byte %3")
        .arg(got.size())
        .arg(want.size())
        .arg(i);
}

// What a decoder does on each of the feeder's requests: hand over blocks
// while the feeder wants them. Block sizes cycle through `sizes`.
class FeedingLoop
{
public:
    FeedingLoop(MAudioOutputFeeder* feeder, const QByteArray& stream, const QList<int>& sizes)
        : m_feeder(feeder), m_stream(stream), m_sizes(sizes)
    { }

    void round()
    {
        m_feeder->beginRound();
        // needsData() first: it also writes what an earlier round left over.
        while (m_feeder->needsData() && m_offset < m_stream.size()) {
            const int size
                = qMin(m_sizes.at(m_blocks++ % m_sizes.size()), m_stream.size() - m_offset);
            if (m_feeder->write(m_stream.constData() + m_offset, size) < size)
                ++m_partialWrites;
            m_offset += size;
        }
    }
    bool done() const { return m_offset == m_stream.size() && m_feeder->carryBytes() == 0; }
    int partialWrites() const { return m_partialWrites; }

private:
    MAudioOutputFeeder* m_feeder;
    const QByteArray m_stream;
    const QList<int> m_sizes;
    int m_offset = 0;
    int m_blocks = 0;
    int m_partialWrites = 0;
};

} // namespace

void TestVoicePlayback::everyFrameOnceAndInOrder()
{
    // The library's build gets the full minute; podium's build repeats the
    // same events in a shorter run (its ring is 20 slots, its start-up short).
    const int seconds = VoiceBuild::kPodium ? 12 : 60;
    // First a busy thread: neither packets nor output notifications are
    // served, so the output runs dry and falls idle; the ring must hold what
    // piles up meanwhile.
    const int stallAtFrame = seconds * 50 / 3;
    const int stallMs = VoiceBuild::kPodium ? 120 : 400;
    // Then the network pauses for a second. The library's build gets the late
    // packets in one burst, as from a socket that queued them, and makes up
    // for the silence it played by discarding as many; podium's ring cannot
    // hold such a burst, so there the sender itself paused and goes on later.
    const int pauseAtFrame = seconds * 50 * 2 / 3;
    const int pauseMs = 1000;
    const QByteArray pcm = markedSpeech(seconds, 11);
    QVERIFY2(!pcm.isEmpty(), "the test speech is missing (target speechdata)");
    const QList<QByteArray> packets = opusPackets(pcm, 28000, false);
    const QList<QByteArray> frames = referenceDecode(packets);
    QCOMPARE(frames.size(), seconds * 50);

    const QAudioFormat format = MM::deviceAudioFormat(MM::defaultAudioFormat());
    const qint64 captureStart = AudioHarness::sinkCaptureSize();
    QAudioOutput output(format);
    QList<QAudio::State> states;
    bool stalled = false;
    // A loaded machine may starve the output before the planned stall too.
    bool ranDryBeforeStall = false;
    connect(&output, &QAudioOutput::stateChanged, this, [&](QAudio::State state) {
        ranDryBeforeStall = ranDryBeforeStall
            || (!stalled && state == QAudio::IdleState && states.contains(QAudio::ActiveState));
        states << state;
    });
    QIODevice* device = output.start();
    QVERIFY(device);
    auto* decoder = new MOpusAdvancedDecoder(&output, device, format, this);
    QVERIFY(decoder->outputUsable());

    // The sender's clock: packet n is due 20 ms after packet n - 1.
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    qint64 pauseStart = -1;
    qint64 shift = 0;
    QTimer sender;
    sender.setTimerType(Qt::PreciseTimer);
    sender.setInterval(5);
    connect(&sender, &QTimer::timeout, this, [&] {
        if (!stalled && sent >= stallAtFrame) {
            stalled = true;
            QElapsedTimer busy;
            busy.start();
            while (busy.elapsed() < stallMs) { }
        }
        const qint64 now = clock.elapsed();
        if (sent == pauseAtFrame) {
            if (pauseStart < 0)
                pauseStart = now;
            if (now - pauseStart < pauseMs)
                return;
            if (VoiceBuild::kPodium && shift == 0)
                shift = now - pauseStart;
        }
        const qint64 due = (now - shift) / 20;
        while (sent < due && sent < packets.size()
            && (sent != pauseAtFrame || now - pauseStart >= pauseMs)) {
            decoder->voicePacketReceived(voicePacket(sent + 1, packets.at(sent)));
            ++sent;
        }
    });
    sender.start();

    QTRY_VERIFY_WITH_TIMEOUT(sent == packets.size(), (seconds + 10) * 1000);
    const int discarded = decoder->discardedFrames();
    sender.stop();
    QTRY_VERIFY_WITH_TIMEOUT(decoder->bufferedFrames() == 0, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(decoder->feeder()->carryBytes() == 0, 5000);
    // Let the output play out its queue (at most its 250 ms buffer).
    QVERIFY(AudioHarness::waitForSinkCapture(AudioHarness::sinkCaptureSize() + 400 * 192, 5000));
    output.stop();
    const int lostAtTheEnd = decoder->discardedFrames() + decoder->overflowDiscards();
    delete decoder;

    QVERIFY2(states.contains(QAudio::IdleState), "the stall did not make the output run dry");
    // The stall and the pause each let the output run dry once; more often
    // means a loaded machine starved it, and frames were dropped elsewhere.
    const bool starved = ranDryBeforeStall || states.count(QAudio::IdleState) > 2;
    const int lastIdle = states.lastIndexOf(QAudio::IdleState);
    QVERIFY2(states.indexOf(QAudio::ActiveState, lastIdle) > lastIdle
            || states.indexOf(QAudio::IdleState) < states.lastIndexOf(QAudio::ActiveState),
        "playback did not resume after the output fell idle");

    const QByteArray capture = AudioHarness::readSinkCapture(captureStart);
    // Unless the machine starved the output before the stall, the frames
    // follow one another in the capture byte for byte, with nothing between.
    const qint64 firstFrame = AudioHarness::findExact(capture, frames.at(0));
    QVERIFY(firstFrame >= 0);
    const int steadyFrames = ranDryBeforeStall ? 0 : stallAtFrame - 50;
    for (int k = 1; k < steadyFrames; ++k) {
        QVERIFY2(capture.mid(int(firstFrame) + k * kFrameBytes, kFrameBytes) == frames.at(k),
            qPrintable(QStringLiteral("frame %1 is not where it belongs").arg(k)));
    }

    const QByteArray played = withoutSilence(capture);
    int cursor = 0;
    QList<int> missing;
    for (int k = 0; k < frames.size(); ++k) {
        const QByteArray frame = withoutSilence(frames.at(k));
        QVERIFY2(!frame.isEmpty(), "a decoded frame is all silence; the marks failed");
        if (played.mid(cursor, frame.size()) == frame)
            cursor += frame.size();
        else
            missing << k;
    }
    // Nothing but the frames was played: no repeat, no stray or cut piece.
    QCOMPARE(cursor, played.size());
    if (starved) {
        // Every frame not played was dropped on purpose, and counted.
        QCOMPARE(missing.size(), lostAtTheEnd);
    } else if (VoiceBuild::kPodium) {
        // The stall let the output run dry, and it filled its buffer again
        // before it played on: that delay is given back by discarding as
        // many frames after the stall. The sender's own pause costs nothing.
        QCOMPARE(missing.size(), discarded);
        for (int k : qAsConst(missing))
            QVERIFY2(k >= stallAtFrame, qPrintable(QString::number(k)));
    } else {
        // The silence played during the pause (and while the output filled
        // its buffer again after the stall) is made up for by discarding as
        // many of the frames that arrive after it, quiet ones first, within
        // a few seconds.
        QVERIFY(!missing.isEmpty());
        QCOMPARE(missing.size(), discarded);
        QVERIFY2(missing.first() >= stallAtFrame, qPrintable(QString::number(missing.first())));
        QVERIFY2(
            missing.last() < pauseAtFrame + 5 * 50, qPrintable(QString::number(missing.last())));
        QVERIFY(missing.size() < 50);
    }
    qInfo() << "frames" << frames.size() << "missing" << missing.size() << "states" << states.size()
            << "starved" << starved;
}

void TestVoicePlayback::feederCarriesWhatTheDeviceRefuses_data()
{
    // Bytes the device takes from each write in turn, cycled.
    QTest::addColumn<QList<int>>("limits");
    QTest::newRow("the device takes part of every write") << QList<int> { 3000, 1000, 2500 };
    QTest::newRow("the device now and then takes nothing for a round")
        << QList<int> { 5000, 0, 1200, 0, 0, 3840, 7000, 0 };
    QTest::newRow("the device takes a few bytes at a time") << QList<int> { 4, 100, 8 };
}

void TestVoicePlayback::feederCarriesWhatTheDeviceRefuses()
{
    QFETCH(QList<int>, limits);
    const QByteArray stream = noiseWithoutSilence(800, 5);
    PcmPipe device;
    device.setWriteLimits(limits);
    // Without an output the feeder paces by rounds: one period per round.
    MAudioOutputFeeder feeder(nullptr, &device, kFrameBytes);
    FeedingLoop loop(&feeder, stream, { kFrameBytes });
    for (int rounds = 0; !loop.done() && rounds < 100000; ++rounds)
        loop.round();
    // Each byte reached the device once, in order.
    QVERIFY2(device.written() == stream, qPrintable(firstDifference(device.written(), stream)));
    QVERIFY(loop.done());
    QCOMPARE(feeder.totalAccepted(), qint64(stream.size()));
    QVERIFY(loop.partialWrites() > 0);
}

void TestVoicePlayback::smallOutputBufferTakesPartOfEachWrite()
{
    const QAudioFormat format = MM::deviceAudioFormat(MM::defaultAudioFormat());
    const QByteArray stream = noiseWithoutSilence(2000, 9);
    const qint64 captureStart = AudioHarness::sinkCaptureSize();
    QAudioOutput output(format);
    output.setBufferSize(format.bytesForDuration(40000));
    QIODevice* device = output.start();
    QVERIFY(device);
    QVERIFY(output.bufferSize() < format.bytesForDuration(100000));
    MAudioOutputFeeder feeder(&output, device, output.periodSize());
    // Every other block is three frames, more than the whole buffer holds.
    FeedingLoop loop(&feeder, stream, { kFrameBytes, 3 * kFrameBytes });
    connect(&feeder, &MAudioOutputFeeder::wantsData, this, [&] { loop.round(); });
    feeder.start(20);
    loop.round();

    QTRY_VERIFY_WITH_TIMEOUT(loop.done(), 30000);
    // Let the output play out its short queue.
    QVERIFY(AudioHarness::waitForSinkCapture(AudioHarness::sinkCaptureSize() + 300 * 192, 5000));
    output.stop();
    QVERIFY(loop.partialWrites() > 0);

    const QByteArray played = withoutSilence(AudioHarness::readSinkCapture(captureStart));
    QVERIFY2(played == stream, qPrintable(firstDifference(played, stream)));
}

CLASSROOM_AUDIO_TEST_GUILESS_MAIN(TestVoicePlayback)
#include "tst_voiceplayback.moc"
