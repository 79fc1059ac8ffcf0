#include "audiobuffers.h"
#include "logcapture.h"
#include "maudiooutputfeeder.h"
#include "mm.h"
#include "mopusadvanceddecoder.h"
#include "mstatistics.h"
#include "voicetestdata.h"

#include "audiotestmain.h"

#include <cmath>
#include <memory>

#include <QAudioOutput>
#include <QBuffer>
#include <QtTest>

using namespace VoiceTestData;

namespace {

QByteArray slotBytes(const MOpusAdvancedDecoder& decoder, int index)
{
    const AudioCircularBuffer::Packet& slot = decoder.slot(index);
    return QByteArray(reinterpret_cast<const char*>(slot.data), slot.size);
}

int ringIndex(int index)
{
    return (index + MOpusAdvancedDecoder::kRingSlots) % MOpusAdvancedDecoder::kRingSlots;
}

// Offline pacing: a decoder writing into a buffer, one period per playPeriod().
struct OfflineDecoder
{
    QBuffer sink;
    std::unique_ptr<MOpusAdvancedDecoder> decoder;

    OfflineDecoder()
    {
        sink.open(QIODevice::ReadWrite);
        decoder.reset(new MOpusAdvancedDecoder(
            kFrameBytes, &sink, MM::deviceAudioFormat(MM::defaultAudioFormat())));
    }
    // Plays until the ring is empty; returns what reached the device meanwhile.
    QByteArray drain()
    {
        const qint64 before = sink.data().size();
        while (decoder->bufferedFrames() > 0)
            decoder->playPeriod();
        return sink.data().mid(int(before));
    }
};

// Frames that can be told apart and whose loudness is known: a loud tone or
// near-silence, each with noise of its own. `quiet` marks the quiet frames.
QList<QByteArray> tonePackets(int frames, const QList<int>& quiet)
{
    QByteArray pcm(frames * kFrameBytes, Qt::Uninitialized);
    QRandomGenerator random(7);
    for (int f = 0; f < frames; ++f) {
        const bool isQuiet = quiet.contains(f);
        for (int i = 0; i < kFrameBytes / 4; ++i) {
            const int t = f * (kFrameBytes / 4) + i;
            const double tone = isQuiet ? 0 : 8000 * std::sin(2 * M_PI * 440 * t / 48000.0);
            const int noise = random.bounded(isQuiet ? -40 : -300, isQuiet ? 41 : 301);
            const qint16 v = qint16(qBound(-32768, int(tone) + noise, 32767));
            qToLittleEndian<qint16>(v, pcm.data() + 4 * t);
            qToLittleEndian<qint16>(v, pcm.data() + 4 * t + 2);
        }
    }
    return opusPackets(pcm, 64000, true);
}

// Sets CLASSROOM_PLAYOUT for the life of a test row.
struct PlayoutSetting
{
    explicit PlayoutSetting(bool fixed)
    {
        if (fixed)
            qputenv(AudioBuffers::kPlayoutVariable, AudioBuffers::kFixedPlayoutValue);
    }
    ~PlayoutSetting() { qunsetenv(AudioBuffers::kPlayoutVariable); }
};

// Which frames of `frames` `played` holds, in order, each once; -1 when it
// holds anything else.
QList<int> framesPlayed(const QByteArray& played, const QList<QByteArray>& frames)
{
    QList<int> found;
    int cursor = 0;
    for (int k = 0; k < frames.size() && cursor < played.size(); ++k) {
        if (played.mid(cursor, frames.at(k).size()) == frames.at(k)) {
            found << k;
            cursor += frames.at(k).size();
        }
    }
    if (cursor != played.size())
        found << -1;
    return found;
}

} // namespace

class TestMOpusAdvancedDecoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { m_log = std::make_unique<LogCapture>(); }
    void cleanup() { m_log.reset(); }

    void startUpDelayWithARealOutput();
    void fecRepairsASingleLoss();
    void concealmentCoversADoubleLoss();
    void aFrameThatFailsToDecodeIsConcealedNotReplayed();
    void concealmentBeforeAnyFrameStaysWithinTheDecodeBuffer();
    void underrunThenDiscard();
    void speechAfterSilenceIsPlayedWhole_data();
    void speechAfterSilenceIsPlayedWhole();
    void ringOverflowDiscardsTheOldestUnplayedFrame();
    void aStallFollowedByABurstReturnsToTheTargetDelay_data();
    void aStallFollowedByABurstReturnsToTheTargetDelay();
    void aReorderedPacketIsPlayedInItsSlot();
    void aPacketLaterThanItsSlotIsDiscarded_data();
    void aPacketLaterThanItsSlotIsDiscarded();
    void unusableOutput_data();
    void unusableOutput();
    void buildVariantOfTheStatistics();

private:
    QAudioFormat m_format;
    QList<QByteArray> m_packets;
    std::unique_ptr<LogCapture> m_log;
};

void TestMOpusAdvancedDecoder::initTestCase()
{
    m_format = MM::deviceAudioFormat(MM::defaultAudioFormat());
    const QByteArray pcm = markedSpeech(2, 1);
    QVERIFY2(!pcm.isEmpty(), "the test speech is missing (target speechdata)");
    // In-band FEC on, at a rate where the codec carries the redundancy.
    m_packets = opusPackets(pcm, 64000, true);
    QCOMPARE(m_packets.size(), 100);
}

void TestMOpusAdvancedDecoder::startUpDelayWithARealOutput()
{
    QAudioOutput output(m_format);
    QIODevice* device = output.start();
    QVERIFY(device);
    QCOMPARE(output.periodSize(), kFrameBytes);

    MOpusAdvancedDecoder decoder(&output, device, m_format);
    QVERIFY(decoder.outputUsable());
    QCOMPARE(decoder.notifyIntervalMs(), 20);
    QCOMPARE(output.notifyInterval(), 20);
    const int expectedDelay = VoiceBuild::kPodium ? 3 : 25;
    QCOMPARE(decoder.initialDelay(), expectedDelay);
    // The ring holds the delay less the two periods handed straight to the output.
    QCOMPARE(decoder.bufferedFrames(), expectedDelay - 2);
    QCOMPARE(decoder.feeder()->totalAccepted() + decoder.feeder()->carryBytes(), 2 * kFrameBytes);
    for (int i = 0; i < decoder.bufferedFrames(); ++i) {
        const AudioCircularBuffer::Packet& slot
            = decoder.slot(ringIndex(decoder.readPosition() + 1 + i));
        QCOMPARE(slot.valid, 1);
        QCOMPARE(slot.size, kFrameBytes);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(slot.data), slot.size),
            QByteArray(kFrameBytes, '\0'));
    }
    // Slots never written are silence of size 0, never undefined.
    const AudioCircularBuffer::Packet& unused
        = decoder.slot(ringIndex(decoder.writePosition() + 1));
    QCOMPARE(unused.size, 0);

    // The output is fed from then on: the ring drains at the output's pace.
    QTRY_VERIFY_WITH_TIMEOUT(decoder.bufferedFrames() < expectedDelay - 2, 5000);
    QCOMPARE(output.error() == QAudio::NoError || output.error() == QAudio::UnderrunError, true);
}

void TestMOpusAdvancedDecoder::fecRepairsASingleLoss()
{
    OfflineDecoder offline;
    MOpusAdvancedDecoder& decoder = *offline.decoder;
    const int first = decoder.writePosition() + 1;
    decoder.voicePacketReceived(voicePacket(1, m_packets.at(10)));
    decoder.voicePacketReceived(voicePacket(2, m_packets.at(11)));
    decoder.voicePacketReceived(voicePacket(4, m_packets.at(13)));

    OpusDecoderWrapper reference;
    reference.initializeDecoder(48000, 2);
    QByteArray pcm(24576, '\0');
    auto* out = reinterpret_cast<unsigned char*>(pcm.data());
    const auto data = [&](int i) {
        return reinterpret_cast<const unsigned char*>(m_packets.at(i).constData());
    };
    QList<QByteArray> expected;
    expected << pcm.left(reference.decode(data(10), m_packets.at(10).size(), out, 24576));
    expected << pcm.left(reference.decode(data(11), m_packets.at(11).size(), out, 24576));
    OpusDecoderWrapper concealer;
    concealer.initializeDecoder(48000, 2);
    concealer.decode(data(10), m_packets.at(10).size(), out, 24576);
    concealer.decode(data(11), m_packets.at(11).size(), out, 24576);
    const QByteArray concealed = pcm.left(concealer.decodePacketLossConcealment(out, kFrameBytes));
    expected << pcm.left(reference.decodeFEC(data(13), m_packets.at(13).size(), out, kFrameBytes));
    expected << pcm.left(reference.decode(data(13), m_packets.at(13).size(), out, 24576));

    QCOMPARE(decoder.writePosition(), ringIndex(first + 3));
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(decoder.slot(ringIndex(first + i)).valid, 1);
        QCOMPARE(slotBytes(decoder, ringIndex(first + i)), expected.at(i));
    }
    QCOMPARE(expected.at(2).size(), kFrameBytes);
    // Rebuilt from the redundancy, not merely concealed.
    QVERIFY(expected.at(2) != concealed);
    QVERIFY(m_log->lines().contains(QStringLiteral("processVoicePacket : FEC 3840")));
}

void TestMOpusAdvancedDecoder::concealmentCoversADoubleLoss()
{
    OfflineDecoder offline;
    MOpusAdvancedDecoder& decoder = *offline.decoder;
    const int first = decoder.writePosition() + 1;
    decoder.voicePacketReceived(voicePacket(1, m_packets.at(20)));
    decoder.voicePacketReceived(voicePacket(2, m_packets.at(21)));
    decoder.voicePacketReceived(voicePacket(5, m_packets.at(24)));

    OpusDecoderWrapper reference;
    reference.initializeDecoder(48000, 2);
    QByteArray pcm(24576, '\0');
    auto* out = reinterpret_cast<unsigned char*>(pcm.data());
    const auto decodeAt = [&](int i) {
        return pcm.left(
            reference.decode(reinterpret_cast<const unsigned char*>(m_packets.at(i).constData()),
                m_packets.at(i).size(), out, 24576));
    };
    QList<QByteArray> expected;
    expected << decodeAt(20) << decodeAt(21);
    expected << pcm.left(reference.decodePacketLossConcealment(out, kFrameBytes));
    expected << pcm.left(
        reference.decodeFEC(reinterpret_cast<const unsigned char*>(m_packets.at(24).constData()),
            m_packets.at(24).size(), out, kFrameBytes));
    expected << decodeAt(24);

    for (int i = 0; i < 5; ++i)
        QCOMPARE(slotBytes(decoder, ringIndex(first + i)), expected.at(i));
    QVERIFY(m_log->lines().contains(QStringLiteral("processSeqSkip : PLC 3840")));
    QVERIFY(m_log->lines().contains(QStringLiteral("processVoicePacket : FEC 3840")));

    // Played in order, each frame once.
    const QByteArray played = offline.drain();
    QCOMPARE(played.right(5 * kFrameBytes),
        expected.at(0) + expected.at(1) + expected.at(2) + expected.at(3) + expected.at(4));
}

void TestMOpusAdvancedDecoder::aFrameThatFailsToDecodeIsConcealedNotReplayed()
{
    OfflineDecoder offline;
    MOpusAdvancedDecoder& decoder = *offline.decoder;
    offline.drain();
    decoder.voicePacketReceived(voicePacket(1, m_packets.at(30)));
    // An Opus packet whose table of contents promises more than it holds.
    decoder.voicePacketReceived(voicePacket(2, QByteArray::fromHex("ff")));
    QCOMPARE(decoder.bufferedFrames(), 2);
    QCOMPARE(decoder.slot(decoder.writePosition()).valid, 0);

    OpusDecoderWrapper reference;
    reference.initializeDecoder(48000, 2);
    QByteArray pcm(24576, '\0');
    auto* out = reinterpret_cast<unsigned char*>(pcm.data());
    const QByteArray good = pcm.left(
        reference.decode(reinterpret_cast<const unsigned char*>(m_packets.at(30).constData()),
            m_packets.at(30).size(), out, 24576));
    const QByteArray concealed = pcm.left(reference.decodePacketLossConcealment(out, kFrameBytes));

    const QByteArray played = offline.drain();
    QCOMPARE(played, good + concealed);
}

void TestMOpusAdvancedDecoder::concealmentBeforeAnyFrameStaysWithinTheDecodeBuffer()
{
    // Records the largest block the decoder hands over in one write.
    struct BlockSink : QBuffer
    {
        qint64 largest = 0;
        qint64 writeData(const char* data, qint64 size) override
        {
            largest = qMax(largest, size);
            return QBuffer::writeData(data, size);
        }
    };
    // A 200 ms period is longer than the decode buffer; until a frame has
    // decoded, the period is the size to conceal.
    const int period = 10 * kFrameBytes;
    BlockSink sink;
    sink.open(QIODevice::ReadWrite);
    MOpusAdvancedDecoder decoder(period, &sink, m_format);
    QVERIFY(decoder.outputUsable());
    while (decoder.bufferedFrames() > 0)
        decoder.playPeriod();
    sink.largest = 0;
    const qint64 before = sink.size();
    // A first packet that does not decode is concealed when played; so are
    // the next one, and a loss after it.
    decoder.voicePacketReceived(voicePacket(1, QByteArray::fromHex("ff")));
    decoder.playPeriod();
    decoder.voicePacketReceived(voicePacket(2, QByteArray::fromHex("ff")));
    decoder.voicePacketReceived(voicePacket(4, m_packets.at(3)));
    // The silence after the first period has been paid with packet 3, which
    // is missing anyway.
    QCOMPARE(decoder.bufferedFrames(), 2);
    QCOMPARE(decoder.discardedFrames(), 1);
    while (decoder.bufferedFrames() > 0)
        decoder.playPeriod();
    QCOMPARE(decoder.lastFrameBytes(), kFrameBytes);
    QVERIFY(sink.size() - before > 2 * kFrameBytes);
    QVERIFY(sink.largest > kFrameBytes);
    QVERIFY(sink.largest <= MOpusAdvancedDecoder::MAX_DECDATA_BYTES);
}

void TestMOpusAdvancedDecoder::underrunThenDiscard()
{
    // The fixed playout of old, kept for comparison.
    PlayoutSetting setting(true);
    OfflineDecoder offline;
    MOpusAdvancedDecoder& decoder = *offline.decoder;
    offline.drain();
    const QList<QByteArray> frames = referenceDecode(m_packets.mid(0, 11));
    int seq = 0;
    for (int i = 0; i < 5; ++i)
        decoder.voicePacketReceived(voicePacket(++seq, m_packets.at(i)));
    offline.drain();

    // Three periods with nothing to play.
    const qint64 before = offline.sink.size();
    for (int i = 0; i < 3; ++i)
        decoder.playPeriod();
    QCOMPARE(offline.sink.data().mid(int(before)), QByteArray(3 * kFrameBytes, '\0'));

    for (int i = 5; i < 11; ++i)
        decoder.voicePacketReceived(voicePacket(++seq, m_packets.at(i)));
    const QByteArray played = offline.drain();
    if (VoiceBuild::kPodium) {
        // podium filled in silence slots and discards nothing.
        QCOMPARE(decoder.discardedFrames(), 0);
        QCOMPARE(decoder.pendingDiscards(), 0);
        QCOMPARE(played,
            frames.at(5) + frames.at(6) + frames.at(7) + frames.at(8) + frames.at(9)
                + frames.at(10));
    } else {
        // The library makes up for the three silent periods by discarding
        // the next three arriving frames.
        QCOMPARE(decoder.discardedFrames(), 3);
        QCOMPARE(decoder.pendingDiscards(), 0);
        QCOMPARE(played, frames.at(8) + frames.at(9) + frames.at(10));
    }
}

void TestMOpusAdvancedDecoder::speechAfterSilenceIsPlayedWhole_data()
{
    QTest::addColumn<int>("silentPeriods");
    QTest::addColumn<int>("lost");
    QTest::addColumn<int>("discarded");
    QTest::addColumn<int>("owed");

    QTest::newRow("the speaker pauses for two seconds, then talks on") << 100 << 0 << 0 << 0;
    QTest::newRow("a pause a little longer than the ring holds")
        << MOpusAdvancedDecoder::kRingSlots + 10 << 0 << 0 << 0;
    QTest::newRow("the sender stalls for three periods, then sends steadily") << 3 << 0 << 0 << 3;
    QTest::newRow("the last packet before a long pause is lost") << 100 << 1 << 0 << 0;
    QTest::newRow("a pause that also lost packets owes only what they pay back")
        << 60 << 30 << 29 << 0;
    // Packets sent during the silence and lost: their placeholders pay for
    // it, as many as there were silent periods (the first one had nothing
    // waiting before it), so the delay comes back.
    QTest::newRow("an outage that lost every packet sent during it") << 55 << 60 << 55 << 0;
}

void TestMOpusAdvancedDecoder::speechAfterSilenceIsPlayedWhole()
{
    QFETCH(int, silentPeriods);
    QFETCH(int, lost);
    QFETCH(int, discarded);
    QFETCH(int, owed);
    OfflineDecoder offline;
    MOpusAdvancedDecoder& decoder = *offline.decoder;
    offline.drain();
    int seq = 0;
    // At the playback pace: no jitter for the target to follow.
    for (int i = 0; i < 5; ++i) {
        decoder.voicePacketReceived(voicePacket(++seq, m_packets.at(i)));
        decoder.playPeriod();
    }
    for (int i = 0; i < silentPeriods; ++i)
        decoder.playPeriod();
    seq += lost;

    // Speech resumes at the playback pace, one packet per period: no frame
    // of it is discarded, however long the silence before it was.
    const int first = 5 + lost;
    const int spoken = 30;
    const qint64 before = offline.sink.size();
    for (int i = first; i < first + spoken; ++i) {
        decoder.voicePacketReceived(voicePacket(++seq, m_packets.at(i)));
        decoder.playPeriod();
    }
    QCOMPARE(decoder.discardedFrames(), discarded);
    // A short stall is a late packet: it may grow the target by a slot,
    // which keeps one silent period instead of owing it.
    const int grown = decoder.playoutTarget().target() - decoder.playoutTarget().floor();
    QVERIFY(grown >= 0 && grown <= (silentPeriods <= MPlayoutTarget::kLongestLateRun ? 1 : 0));
    if (lost == 0) {
        const QList<QByteArray> frames = referenceDecode(m_packets.mid(0, first + spoken));
        QByteArray expected;
        for (int i = first; i < first + spoken; ++i)
            expected += frames.at(i);
        QCOMPARE(offline.sink.data().mid(int(before)), expected);
    }
    // A short stall while the stream flows is still owed, and paid from
    // frames that wait, never from one arriving to an empty ring.
    QCOMPARE(decoder.pendingDiscards(), owed - grown);
}

void TestMOpusAdvancedDecoder::ringOverflowDiscardsTheOldestUnplayedFrame()
{
    OfflineDecoder offline;
    MOpusAdvancedDecoder& decoder = *offline.decoder;
    const int silenceSlots = decoder.bufferedFrames();
    const int sent = 60;
    for (int i = 0; i < sent; ++i)
        decoder.voicePacketReceived(voicePacket(i + 1, m_packets.at(i)));
    QCOMPARE(decoder.bufferedFrames(), MOpusAdvancedDecoder::kRingSlots);
    QCOMPARE(decoder.overflowDiscards(), silenceSlots + sent - MOpusAdvancedDecoder::kRingSlots);
    QVERIFY(m_log->contains(QStringLiteral("ring full")));

    // What is played is the newest ring-full of frames, in order, once each.
    const QList<QByteArray> frames = referenceDecode(m_packets.mid(0, sent));
    QByteArray expected;
    for (int i = sent - MOpusAdvancedDecoder::kRingSlots; i < sent; ++i)
        expected += frames.at(i);
    const qint64 before = offline.sink.size();
    offline.drain();
    QCOMPARE(offline.sink.data().mid(int(before)), expected);
}

void TestMOpusAdvancedDecoder::aStallFollowedByABurstReturnsToTheTargetDelay_data()
{
    QTest::addColumn<bool>("fixed");
    QTest::addColumn<int>("stallPeriods");
    QTest::addColumn<int>("stalls");
    QTest::addColumn<int>("stallEvery"); // periods from one stall to the next
    QTest::addColumn<bool>("quietBurst"); // the held-back frames are a pause
    QTest::addColumn<int>("minGrowth"); // at least; one slot per stall at most

    QTest::newRow("a 300 ms stall of loud speech is given back")
        << false << 15 << 1 << 0 << false << 0;
    QTest::newRow("a 300 ms stall in a pause is given back from the pause at once")
        << false << 15 << 1 << 0 << true << 0;
    QTest::newRow("stalls ten seconds apart each cost their length once")
        << false << 15 << 3 << 500 << false << 0;
    QTest::newRow("a second short stall two seconds after the first grows the target")
        << false << 5 << 2 << 100 << false << 1;
    QTest::newRow("the fixed playout keeps what a stall cost (podium) or pays at once")
        << true << 15 << 1 << 0 << false << 0;
}

void TestMOpusAdvancedDecoder::aStallFollowedByABurstReturnsToTheTargetDelay()
{
    QFETCH(bool, fixed);
    QFETCH(int, stallPeriods);
    QFETCH(int, stalls);
    QFETCH(int, stallEvery);
    QFETCH(bool, quietBurst);
    QFETCH(int, minGrowth);

    const int lead = 10;
    const int total = lead + qMax(stalls - 1, 0) * stallEvery + stallPeriods + 200;
    QList<int> quiet;
    if (quietBurst) {
        // A pause a little longer than the stall: the codec's first frame
        // after the tone still rings with it.
        for (int i = lead - 2; i < lead + stallPeriods + 2; ++i)
            quiet << i;
    }
    const QList<QByteArray> packets = tonePackets(total, quiet);
    const QList<QByteArray> frames = referenceDecode(packets);

    PlayoutSetting setting(fixed);
    OfflineDecoder offline;
    MOpusAdvancedDecoder& decoder = *offline.decoder;
    QCOMPARE(decoder.fixedPlayout(), fixed);
    offline.drain();
    const qint64 start = offline.sink.size();

    // The sender's packets leave one per period; during a stall they are
    // held back and then all arrive at once, before the next period.
    QList<int> levels;
    int sent = 0;
    int period = 0;
    QList<int> stallStarts;
    for (int k = 0; k < stalls; ++k)
        stallStarts << lead + k * stallEvery;
    int heldUntil = -1;
    while (sent < total) {
        if (stallStarts.contains(period))
            heldUntil = period + stallPeriods;
        if (period >= heldUntil) {
            while (sent <= period && sent < total) {
                decoder.voicePacketReceived(voicePacket(sent + 1, packets.at(sent)));
                ++sent;
            }
            levels << decoder.bufferedFrames();
        }
        decoder.playPeriod();
        ++period;
    }
    const int growth = decoder.playoutTarget().target() - decoder.playoutTarget().floor();
    const int owed = stalls * stallPeriods - (fixed ? 0 : growth);
    const int levelBefore = levels.first();
    if (fixed && VoiceBuild::kPodium) {
        // Old podium: every silent period stays in the delay.
        QCOMPARE(decoder.discardedFrames(), 0);
        QCOMPARE(levels.last(), levelBefore + owed);
    } else {
        // A slot the target grew by also shortens the next stall's dry run.
        if (fixed || growth == 0)
            QCOMPARE(decoder.discardedFrames(), owed);
        else
            QVERIFY(decoder.discardedFrames() <= owed);
        QCOMPARE(decoder.pendingDiscards(), 0);
        QCOMPARE(levels.last(), levelBefore + (fixed ? 0 : growth));
    }
    if (!fixed) {
        QVERIFY2(growth >= minGrowth && growth <= minGrowth + (stalls > 1 ? 1 : 0),
            qPrintable(QString::number(growth)));
        QVERIFY(decoder.playoutTarget().target() <= MOpusAdvancedDecoder::kRingSlots);
    }

    // What played after the start: frames in order, each once, silence
    // only for the stalls; the frames missing are the ones given back.
    const QByteArray played = withoutSilence(offline.sink.data().mid(int(start)));
    QList<QByteArray> audible;
    for (const QByteArray& frame : frames)
        audible << withoutSilence(frame);
    const QList<int> found = framesPlayed(played, audible);
    QVERIFY(!found.contains(-1));
    QList<int> missing;
    for (int k = 0; k < total; ++k) {
        if (!found.contains(k))
            missing << k;
    }
    // The tail that has not been played yet is still in the ring.
    const QList<int> unplayed = missing.mid(missing.size() - decoder.bufferedFrames());
    for (int k : unplayed)
        missing.removeOne(k);
    QCOMPARE(missing.size(), decoder.discardedFrames());
    if (quietBurst) {
        for (int k : missing)
            QVERIFY2(quiet.contains(k), qPrintable(QString::number(k)));
    }
}

void TestMOpusAdvancedDecoder::aReorderedPacketIsPlayedInItsSlot()
{
    OfflineDecoder offline;
    MOpusAdvancedDecoder& decoder = *offline.decoder;
    offline.drain();
    const int first = decoder.writePosition() + 1;
    // Packet 3 is overtaken by packet 4.
    for (int seq : { 1, 2, 4, 3, 5 })
        decoder.voicePacketReceived(voicePacket(seq, m_packets.at(40 + seq)));

    // A bare decoder fed in the same order: FEC from 4 stands in for 3
    // until 3 itself arrives and is decoded into its slot.
    OpusDecoderWrapper reference;
    reference.initializeDecoder(48000, 2);
    QByteArray pcm(24576, '\0');
    auto* out = reinterpret_cast<unsigned char*>(pcm.data());
    const auto packet = [&](int seq) { return m_packets.at(40 + seq); };
    const auto decode = [&](int seq) {
        return pcm.left(
            reference.decode(reinterpret_cast<const unsigned char*>(packet(seq).constData()),
                packet(seq).size(), out, 24576));
    };
    const QByteArray one = decode(1);
    const QByteArray two = decode(2);
    const QByteArray fec = pcm.left(
        reference.decodeFEC(reinterpret_cast<const unsigned char*>(packet(4).constData()),
            packet(4).size(), out, kFrameBytes));
    const QByteArray four = decode(4);
    const QByteArray three = decode(3);
    const QByteArray five = decode(5);

    QCOMPARE(decoder.latePacketsPlayed(), 1);
    QCOMPARE(decoder.bufferedFrames(), 5);
    QCOMPARE(slotBytes(decoder, ringIndex(first + 2)), three);
    QVERIFY(three != fec);
    QCOMPARE(m_log->count(QStringLiteral("LATE PACKET PLAYED")), 1);
    QCOMPARE(m_log->count(QStringLiteral("SEQ REWIND")), 0);
    QCOMPARE(offline.drain(), one + two + three + four + five);
}

void TestMOpusAdvancedDecoder::aPacketLaterThanItsSlotIsDiscarded_data()
{
    QTest::addColumn<bool>("fixed");
    QTest::addColumn<QList<int>>("arrivals"); // 0: one period is played
    QTest::addColumn<QList<int>>("expected"); // packets whose decode plays; -4: FEC from 4

    QTest::newRow("its slot has been played: concealment stays, the packet goes")
        << false << QList<int> { 1, 2, 4, 0, 0, 0, 3, 5 } << QList<int> { 1, 2, -4, 4, 5 };
    QTest::newRow("a second copy of a frame still waiting is a duplicate")
        << false << QList<int> { 1, 2, 3, 2, 4 } << QList<int> { 1, 2, 3, 4 };
    QTest::newRow("the fixed playout discards every overtaken packet")
        << true << QList<int> { 1, 2, 4, 3, 5 } << QList<int> { 1, 2, -4, 4, 5 };
}

void TestMOpusAdvancedDecoder::aPacketLaterThanItsSlotIsDiscarded()
{
    QFETCH(bool, fixed);
    QFETCH(QList<int>, arrivals);
    QFETCH(QList<int>, expected);
    PlayoutSetting setting(fixed);
    OfflineDecoder offline;
    MOpusAdvancedDecoder& decoder = *offline.decoder;
    offline.drain();
    const qint64 start = offline.sink.size();
    for (int seq : arrivals) {
        if (seq == 0)
            decoder.playPeriod();
        else
            decoder.voicePacketReceived(voicePacket(seq, m_packets.at(50 + seq)));
    }
    offline.drain();

    // The packets that were played, decoded by a bare decoder in that order.
    OpusDecoderWrapper reference;
    reference.initializeDecoder(48000, 2);
    QByteArray pcm(24576, '\0');
    auto* out = reinterpret_cast<unsigned char*>(pcm.data());
    QByteArray wanted;
    for (int seq : expected) {
        const QByteArray& p = m_packets.at(50 + qAbs(seq));
        const auto* data = reinterpret_cast<const unsigned char*>(p.constData());
        wanted += pcm.left(seq < 0 ? reference.decodeFEC(data, p.size(), out, kFrameBytes)
                                   : reference.decode(data, p.size(), out, 24576));
    }
    QCOMPARE(decoder.latePacketsPlayed(), 0);
    QCOMPARE(m_log->count(QStringLiteral("LATE PACKET PLAYED")), 0);
    QCOMPARE(m_log->count(QStringLiteral("SEQ REWIND")), 1);
    QCOMPARE(offline.sink.data().mid(int(start)), wanted);
}

void TestMOpusAdvancedDecoder::unusableOutput_data()
{
    QTest::addColumn<int>("period");
    QTest::addColumn<bool>("realOutput");
    QTest::newRow("an output refused for 16-bit unsigned has period 0") << 0 << true;
    QTest::newRow("a period of zero bytes") << 0 << false;
    QTest::newRow("a period longer than one second") << 192004 << false;
}

void TestMOpusAdvancedDecoder::unusableOutput()
{
    QFETCH(int, period);
    QFETCH(bool, realOutput);
    QBuffer sink;
    sink.open(QIODevice::ReadWrite);
    std::unique_ptr<QAudioOutput> output;
    std::unique_ptr<MOpusAdvancedDecoder> decoder;
    if (realOutput) {
        output.reset(new QAudioOutput(MM::defaultAudioFormat()));
        QIODevice* device = output->start();
        QCOMPARE(output->periodSize(), 0);
        decoder.reset(new MOpusAdvancedDecoder(output.get(), device, m_format));
    } else {
        decoder.reset(new MOpusAdvancedDecoder(period, &sink, m_format));
    }
    QVERIFY(!decoder->outputUsable());
    QCOMPARE(m_log->count(QStringLiteral("staying silent")), 1);
    for (int i = 0; i < 5; ++i)
        decoder->voicePacketReceived(voicePacket(i + 1, m_packets.at(i)));
    decoder->voicePacketReceived(voicePacket(9, m_packets.at(9)));
    decoder->playPeriod();
    QCOMPARE(decoder->bufferedFrames(), 0);
    QCOMPARE(sink.size(), 0);
    QCOMPARE(decoder->lastSequence(), 9);
    QCOMPARE(m_log->count(QStringLiteral("staying silent")), 1);
}

void TestMOpusAdvancedDecoder::buildVariantOfTheStatistics()
{
    OfflineDecoder offline;
    MOpusAdvancedDecoder& decoder = *offline.decoder;
    MStatistics* stats = decoder.statisticsObject();
    decoder.voicePacketReceived(voicePacket(1, m_packets.at(0)));
#if defined(VOICEPIPE_PODIUM_BUILD)
    // podium's window connects to the decoder itself; the line comes once a minute.
    QCOMPARE(stats->propagationIntervalSecs, 60);
    QSignalSpy forwarded(&decoder, &MOpusAdvancedDecoder::statsPropagated);
    stats->flowTimerTimeout();
    QCOMPARE(forwarded.size(), 1);
    QCOMPARE(forwarded.at(0), (QList<QVariant> { 1, m_packets.at(0).size() + 8, 0, 0 }));
#else
    QCOMPARE(stats->propagationIntervalSecs, 1);
    QCOMPARE(decoder.metaObject()->indexOfSignal("statsPropagated(int,int,int,int)"), -1);
#endif
}

CLASSROOM_AUDIO_TEST_GUILESS_MAIN(TestMOpusAdvancedDecoder)
#include "tst_mopusadvanceddecoder.moc"
