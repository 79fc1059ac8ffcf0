#include "logcapture.h"
#include "maudiooutputfeeder.h"
#include "mm.h"
#include "mopusadvanceddecoder.h"
#include "mstatistics.h"
#include "voicetestdata.h"

#include "audiotestmain.h"

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
    // (The library build has paid the silence after the first period with
    // the second packet's placeholder.)
    QCOMPARE(decoder.bufferedFrames(), VoiceBuild::kPodium ? 3 : 2);
    while (decoder.bufferedFrames() > 0)
        decoder.playPeriod();
    QCOMPARE(decoder.lastFrameBytes(), kFrameBytes);
    QVERIFY(sink.size() - before > 2 * kFrameBytes);
    QVERIFY(sink.largest > kFrameBytes);
    QVERIFY(sink.largest <= MOpusAdvancedDecoder::MAX_DECDATA_BYTES);
}

void TestMOpusAdvancedDecoder::underrunThenDiscard()
{
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
    // The library build's figures; podium's never discards.
    QTest::addColumn<int>("discarded");
    QTest::addColumn<int>("owed");

    QTest::newRow("the speaker pauses for two seconds, then talks on") << 100 << 0 << 0 << 0;
    QTest::newRow("a pause a little longer than the ring holds") << 60 << 0 << 0 << 0;
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
    for (int i = 0; i < 5; ++i)
        decoder.voicePacketReceived(voicePacket(++seq, m_packets.at(i)));
    offline.drain();
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
    QCOMPARE(decoder.discardedFrames(), VoiceBuild::kPodium ? 0 : discarded);
    if (lost == 0) {
        const QList<QByteArray> frames = referenceDecode(m_packets.mid(0, first + spoken));
        QByteArray expected;
        for (int i = first; i < first + spoken; ++i)
            expected += frames.at(i);
        QCOMPARE(offline.sink.data().mid(int(before)), expected);
    }
    // A short stall while the stream flows is still owed (the library build)
    // and paid from frames that wait, never from one arriving to an empty ring.
    QCOMPARE(decoder.pendingDiscards(), VoiceBuild::kPodium ? 0 : owed);
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
