// The decoders paced by the audio output's notify(): their period arithmetic
// on a real output, the decisions of each notification under offline pacing
// (one period per round, byte for byte), the WN2 pair's growing delay and
// resume, outputs that cannot pace at all, and what a real output plays.

#include "audioharness.h"
#include "maudiooutputfeeder.h"
#include "mm.h"
#include "mopusdecoder.h"
#include "mopusdecoderwn.h"
#include "mrawcollectordecoderwn2.h"
#include "mrawcollectordecoderwn2withlock.h"
#include "mrawcollectorwithnotificationdecoder.h"
#include "mrawsimplecollectordecoder.h"
#include "voicetestdata.h"

#include "audiotestmain.h"
#include "logcapture.h"

#include <QAudioOutput>
#include <QBuffer>
#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace VoiceTestData;

namespace {

enum Kind { OpusWN, RawWN, WN2, WN2Lock };

MNotifiedDecoder* makeDecoder(Kind kind, QAudioOutput* output, QIODevice* device,
    const QAudioFormat& format, QObject* parent = nullptr)
{
    switch (kind) {
    case OpusWN:
        return new MOpusDecoderWN(output, device, format, parent);
    case RawWN:
        return new MRawCollectorWithNotificationDecoder(output, device, format, 0.5f, parent);
    case WN2:
        return new MRawCollectorDecoderWN2(output, device, format, 0.5f, parent);
    case WN2Lock:
        return new MRawCollectorDecoderWN2WithLock(output, device, format, 0.5f, parent);
    }
    return nullptr;
}

MNotifiedDecoder* makeOffline(Kind kind, int period, QIODevice* device, const QAudioFormat& format)
{
    switch (kind) {
    case OpusWN:
        return new MOpusDecoderWN(period, device, format);
    case RawWN:
        return new MRawCollectorWithNotificationDecoder(period, device, format, 0.5f);
    case WN2:
        return new MRawCollectorDecoderWN2(period, device, format, 0.5f);
    case WN2Lock:
        return new MRawCollectorDecoderWN2WithLock(period, device, format, 0.5f);
    }
    return nullptr;
}

const MPlayoutBuffer& collectorOf(Kind kind, const MNotifiedDecoder* decoder)
{
    switch (kind) {
    case OpusWN:
        return static_cast<const MOpusDecoderWN*>(decoder)->collectorState();
    case RawWN:
        return static_cast<const MRawCollectorWithNotificationDecoder*>(decoder)->collectorState();
    default:
        return static_cast<const MRawCollectorDecoderWN2*>(decoder)->collectorState();
    }
}

// A raw decoder under offline pacing: one period per playPeriod() into a buffer.
template <typename Decoder> struct Offline
{
    QBuffer sink;
    std::unique_ptr<Decoder> decoder;

    explicit Offline(const QAudioFormat& format)
    {
        sink.open(QIODevice::ReadWrite);
        decoder.reset(new Decoder(kFrameBytes, &sink, format, 0.5f));
    }
    QByteArray play(int periods)
    {
        const int before = sink.data().size();
        for (int i = 0; i < periods; ++i)
            decoder->playPeriod();
        return sink.data().mid(before);
    }
};

QByteArray pattern(int bytes, quint32 seed)
{
    return AudioHarness::testPattern(bytes / 192 + 1, seed).left(bytes);
}

} // namespace

class TestNotifiedDecoders : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init()
    {
        m_log.reset();
        m_log = std::make_unique<LogCapture>();
    }
    void cleanup() { m_log.reset(); }

    void periodArithmeticOnARealOutput_data();
    void periodArithmeticOnARealOutput();
    void rawCollectorThresholds();
    void opusCollectorThresholds();
    void wn2UnderrunInsertsTwoSecondsAndResumesAfterThem();
    void wn2GapWhileResumeIsArmed();
    void wn2WithLockStaysAfterTheSilence();
    void aGapIsOneCallWithTheLastPayloadSize();
    void unusableOutputs_data();
    void unusableOutputs();
    void aReplacementDecoderKeepsItsNotifications();
    void aRealOutputPlaysEveryByteOnceInOrder();
    void opusDecoderConcealsEachMissingPacket();
    void opusDecoderBeforeAnyGoodFrame();
    void opusCollectorConcealsWithoutCollecting();
    void simpleCollectorFlushesInBursts();
    void aLongStretchReleasesPlayedAudio();

private:
    QAudioFormat m_format;
    QList<QByteArray> m_packets;
    QList<QByteArray> m_frames;
    std::unique_ptr<LogCapture> m_log;
};

void TestNotifiedDecoders::initTestCase()
{
    m_format = MM::deviceAudioFormat(MM::defaultAudioFormat());
    const QByteArray pcm = markedSpeech(1, 5);
    QVERIFY2(!pcm.isEmpty(), "the test speech is missing (target speechdata)");
    m_packets = opusPackets(pcm, 64000, true);
    m_frames = referenceDecode(m_packets);
    QCOMPARE(m_frames.size(), 50);
}

void TestNotifiedDecoders::periodArithmeticOnARealOutput_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("silencePeriods");
    QTest::newRow("Opus with collector: half a second of silence") << int(OpusWN) << 25;
    QTest::newRow("raw collector with notifications: three periods") << int(RawWN) << 3;
    QTest::newRow("raw collector WN 2: four half seconds") << int(WN2) << 100;
    QTest::newRow("raw collector WN 2 with lock: four half seconds") << int(WN2Lock) << 100;
}

void TestNotifiedDecoders::periodArithmeticOnARealOutput()
{
    QFETCH(int, kind);
    QFETCH(int, silencePeriods);
    QAudioOutput output(m_format);
    QIODevice* device = output.start();
    QVERIFY(device);
    QCOMPARE(output.periodSize(), kFrameBytes);
    std::unique_ptr<MNotifiedDecoder> decoder(makeDecoder(Kind(kind), &output, device, m_format));
    QVERIFY(decoder->outputUsable());
    QCOMPARE(decoder->periodBytes(), kFrameBytes);
    QCOMPARE(decoder->notifyIntervalMs(), 20);
    QCOMPARE(output.notifyInterval(), 20);
    // Two periods of silence went straight to the output.
    QCOMPARE(decoder->feeder()->totalAccepted() + decoder->feeder()->carryBytes(), 2 * kFrameBytes);
    const MPlayoutBuffer& collector = collectorOf(Kind(kind), decoder.get());
    QCOMPARE(collector.size(), qint64(silencePeriods) * kFrameBytes);
    if (kind == OpusWN)
        QCOMPARE(static_cast<MOpusDecoderWN*>(decoder.get())->halfSecondPeriods(), 25);
    if (kind == WN2 || kind == WN2Lock)
        QCOMPARE(static_cast<MRawCollectorDecoderWN2*>(decoder.get())->halfSecondPeriods(), 25);
    // The output's notifications drain the collector.
    QTRY_VERIFY_WITH_TIMEOUT(collector.readPosition() > 0, 5000);
}

void TestNotifiedDecoders::rawCollectorThresholds()
{
    Offline<MRawCollectorWithNotificationDecoder> offline(m_format);
    // Three periods of silence: two of one and a half, then exactly one.
    QCOMPARE(offline.play(3), QByteArray(3 * kFrameBytes, '\0'));
    QCOMPARE(m_log->count(QStringLiteral("PUT ON...")), 2);
    QCOMPARE(m_log->count(QStringLiteral("PUT HALF...")), 1);

    // Nothing buffered: a silence block, the read position stays.
    m_log->clear();
    QCOMPARE(offline.play(1), QByteArray(kFrameBytes, '\0'));
    QCOMPARE(m_log->count(QStringLiteral("PUT OFF...")), 1);

    // Exactly one period buffered.
    const QByteArray a = pattern(kFrameBytes, 1);
    offline.decoder->voicePacketReceived(voicePacket(1, a));
    m_log->clear();
    QCOMPARE(offline.play(1), a);
    QCOMPARE(m_log->count(QStringLiteral("PUT HALF...")), 1);

    // One and a half periods: one period played, the half waits.
    const QByteArray b = pattern(kFrameBytes + kFrameBytes / 2, 2);
    offline.decoder->voicePacketReceived(voicePacket(2, b));
    m_log->clear();
    QCOMPARE(offline.play(1), b.left(kFrameBytes));
    QCOMPARE(m_log->count(QStringLiteral("PUT ON...")), 1);
    QCOMPARE(offline.decoder->collectorState().available(), qint64(kFrameBytes / 2));
    // Less than a period: silence, and the half is still there afterwards.
    QCOMPARE(offline.play(1), QByteArray(kFrameBytes, '\0'));
    const QByteArray c = pattern(kFrameBytes / 2, 3);
    offline.decoder->voicePacketReceived(voicePacket(3, c));
    QCOMPARE(offline.play(1), b.mid(kFrameBytes) + c);
}

void TestNotifiedDecoders::opusCollectorThresholds()
{
    QBuffer sink;
    sink.open(QIODevice::ReadWrite);
    MOpusDecoderWN decoder(kFrameBytes, &sink, m_format);
    const MPlayoutBuffer& collector = decoder.collectorState();
    for (int i = 0; i < 25; ++i)
        decoder.playPeriod();
    QCOMPARE(sink.size(), qint64(27) * kFrameBytes);
    QCOMPARE(collector.available(), qint64(0));

    // Exactly one period buffered: played alone.
    decoder.voicePacketReceived(voicePacket(1, m_packets.at(0)));
    m_log->clear();
    decoder.playPeriod();
    QCOMPARE(m_log->count(QStringLiteral("PUT ONLY ONE...")), 1);
    QCOMPARE(sink.data().right(kFrameBytes), m_frames.at(0));

    // Two periods buffered: no "ONLY ONE", one period played.
    decoder.voicePacketReceived(voicePacket(2, m_packets.at(1)));
    decoder.voicePacketReceived(voicePacket(3, m_packets.at(2)));
    m_log->clear();
    decoder.playPeriod();
    QCOMPARE(m_log->count(QStringLiteral("PUT ONLY ONE...")), 0);
    QCOMPARE(sink.data().right(kFrameBytes), m_frames.at(1));
    decoder.playPeriod();
    QCOMPARE(sink.data().right(kFrameBytes), m_frames.at(2));

    // Empty: a silence period and half a second of silence buffered.
    const qint64 size = collector.size();
    m_log->clear();
    decoder.playPeriod();
    QCOMPARE(sink.data().right(kFrameBytes), QByteArray(kFrameBytes, '\0'));
    QCOMPARE(collector.size(), size + 25 * kFrameBytes);
    QCOMPARE(m_log->count(QStringLiteral("PRODUCING DELAY")), 1);
    // The delay is there to stay: the next frame plays after the half second.
    decoder.voicePacketReceived(voicePacket(4, m_packets.at(3)));
    const qint64 before = sink.size();
    for (int i = 0; i < 26; ++i)
        decoder.playPeriod();
    QCOMPARE(sink.data().mid(int(before)), QByteArray(25 * kFrameBytes, '\0') + m_frames.at(3));
}

void TestNotifiedDecoders::wn2UnderrunInsertsTwoSecondsAndResumesAfterThem()
{
    Offline<MRawCollectorDecoderWN2> offline(m_format);
    MRawCollectorDecoderWN2& decoder = *offline.decoder;
    const MPlayoutBuffer& collector = decoder.collectorState();
    const qint64 twoSeconds = 100 * kFrameBytes;
    const QByteArray a = pattern(kFrameBytes, 4);
    decoder.voicePacketReceived(voicePacket(1, a));
    QCOMPARE(collector.position(), twoSeconds + kFrameBytes);

    // Plays while one and a half periods are there: 100 of the 101 periods.
    QCOMPARE(offline.play(100), QByteArray(100 * kFrameBytes, '\0'));
    QCOMPARE(collector.available(), qint64(kFrameBytes));
    QCOMPARE(m_log->count(QStringLiteral("PUT OFF...")), 0);

    // One period is less than one and a half: an underrun.
    const qint64 pos = collector.position();
    QCOMPARE(offline.play(1), QByteArray(kFrameBytes, '\0'));
    QCOMPARE(m_log->count(QStringLiteral("PUT OFF...")), 1);
    QCOMPARE(collector.size(), pos + twoSeconds);
    QCOMPARE(collector.position(), pos);
    QVERIFY(decoder.resumePending());
    QCOMPARE(decoder.resumePosition(), pos + twoSeconds);

    // The next packet continues after the inserted silence.
    const QByteArray b = pattern(kFrameBytes, 5);
    decoder.voicePacketReceived(voicePacket(2, b));
    QVERIFY(!decoder.resumePending());
    QCOMPARE(collector.position(), pos + twoSeconds + kFrameBytes);
    QVERIFY(m_log->contains(QString(73, QLatin1Char('^'))));
    // What was waiting, then the two seconds of silence.
    const QByteArray played = offline.play(101);
    QCOMPARE(played.left(kFrameBytes), a);
    QCOMPARE(played.mid(kFrameBytes), QByteArray(int(twoSeconds), '\0'));
    // b alone is less than one and a half periods: another underrun, and
    // another two seconds of delay before what comes after b.
    QCOMPARE(offline.play(1), QByteArray(kFrameBytes, '\0'));
    QCOMPARE(m_log->count(QStringLiteral("PUT OFF...")), 2);
    const QByteArray c = pattern(kFrameBytes, 6);
    decoder.voicePacketReceived(voicePacket(3, c));
    QCOMPARE(offline.play(1), b);
    QCOMPARE(offline.play(100), QByteArray(int(twoSeconds), '\0'));
    decoder.voicePacketReceived(voicePacket(4, pattern(kFrameBytes, 14)));
    QCOMPARE(offline.play(1), c);
}

void TestNotifiedDecoders::wn2GapWhileResumeIsArmed()
{
    Offline<MRawCollectorDecoderWN2> offline(m_format);
    MRawCollectorDecoderWN2& decoder = *offline.decoder;
    const MPlayoutBuffer& collector = decoder.collectorState();
    const QByteArray a = pattern(kFrameBytes, 7);
    decoder.voicePacketReceived(voicePacket(1, a));
    offline.play(101); // the underrun comes after a hundred periods
    QVERIFY(decoder.resumePending());
    const qint64 pos = collector.position();
    const qint64 resume = decoder.resumePosition();

    // Packet 2 lost: its silence goes in at the old position, inside the
    // inserted silence; packet 3 still continues after that silence.
    const QByteArray c = pattern(kFrameBytes, 8);
    decoder.voicePacketReceived(voicePacket(3, c));
    QCOMPARE(m_log->count(QStringLiteral("processSeqSkip")), 1);
    QCOMPARE(collector.position(), resume + kFrameBytes);
    QCOMPARE(collector.size(), resume + kFrameBytes);
    QVERIFY(pos + kFrameBytes <= resume);
}

void TestNotifiedDecoders::wn2WithLockStaysAfterTheSilence()
{
    Offline<MRawCollectorDecoderWN2WithLock> offline(m_format);
    MRawCollectorDecoderWN2WithLock& decoder = *offline.decoder;
    const MPlayoutBuffer& collector = decoder.collectorState();
    const qint64 twoSeconds = 100 * kFrameBytes;
    offline.play(99);
    QCOMPARE(collector.available(), qint64(kFrameBytes));
    const qint64 pos = collector.position();
    offline.play(1);
    QCOMPARE(m_log->count(QStringLiteral("PUT OFF...")), 1);
    QVERIFY(!decoder.resumePending());
    QCOMPARE(collector.position(), pos + twoSeconds);
    QCOMPARE(collector.size(), pos + twoSeconds);
    // Without a packet the silence plays at once: no second underrun.
    QCOMPARE(offline.play(99), QByteArray(99 * kFrameBytes, '\0'));
    QCOMPARE(m_log->count(QStringLiteral("PUT OFF...")), 1);
    QVERIFY(m_log->count(QStringLiteral("produceHalfSecondArtificialDelay")) >= 2);
}

void TestNotifiedDecoders::aGapIsOneCallWithTheLastPayloadSize()
{
    Offline<MRawCollectorWithNotificationDecoder> offline(m_format);
    const MPlayoutBuffer& collector = offline.decoder->collectorState();
    offline.decoder->voicePacketReceived(voicePacket(1, pattern(1000, 9)));
    const qint64 before = collector.size();
    // Five packets lost: one silence block as long as the last payload.
    offline.decoder->voicePacketReceived(voicePacket(7, pattern(2000, 10)));
    QCOMPARE(collector.size(), before + 1000 + 2000);
}

void TestNotifiedDecoders::unusableOutputs_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("period");
    QTest::addColumn<bool>("realOutput");
    for (const Kind kind : { OpusWN, RawWN, WN2, WN2Lock }) {
        QTest::addRow("an output refused for 16-bit unsigned has period 0, decoder %d", kind)
            << int(kind) << 0 << true;
        QTest::addRow("a period of zero bytes, decoder %d", kind) << int(kind) << 0 << false;
        QTest::addRow("a period longer than one second, decoder %d", kind)
            << int(kind) << 192004 << false;
    }
}

void TestNotifiedDecoders::unusableOutputs()
{
    QFETCH(int, kind);
    QFETCH(int, period);
    QFETCH(bool, realOutput);
    QBuffer sink;
    sink.open(QIODevice::ReadWrite);
    std::unique_ptr<QAudioOutput> output;
    std::unique_ptr<MNotifiedDecoder> decoder;
    if (realOutput) {
        output.reset(new QAudioOutput(MM::defaultAudioFormat()));
        QIODevice* device = output->start();
        QCOMPARE(output->periodSize(), 0);
        decoder.reset(makeDecoder(Kind(kind), output.get(), device, m_format));
    } else {
        decoder.reset(makeOffline(Kind(kind), period, &sink, m_format));
    }
    QVERIFY(!decoder->outputUsable());
    QCOMPARE(m_log->count(QStringLiteral("staying silent")), 1);
    const QByteArray payload = kind == OpusWN ? m_packets.at(0) : pattern(kFrameBytes, 11);
    decoder->voicePacketReceived(voicePacket(1, payload));
    decoder->voicePacketReceived(voicePacket(5, payload));
    decoder->playPeriod();
    QCOMPARE(sink.size(), 0);
    QCOMPARE(decoder->lastSequence(), 5);
}

void TestNotifiedDecoders::aReplacementDecoderKeepsItsNotifications()
{
    QAudioOutput output(m_format);
    QIODevice* device = output.start();
    QVERIFY(device);
    bool otherListener = false;
    connect(&output, &QAudioOutput::notify, this, [&] { otherListener = true; });
    auto* first = new MRawCollectorWithNotificationDecoder(&output, device, m_format, 0.5f);
    auto* second = new MRawCollectorWithNotificationDecoder(&output, device, m_format, 0.5f);
    delete first;
    // The new decoder and every other listener still hear the output.
    QTRY_VERIFY_WITH_TIMEOUT(second->collectorState().readPosition() > 0, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(otherListener, 5000);
    delete second;
}

void TestNotifiedDecoders::aRealOutputPlaysEveryByteOnceInOrder()
{
    // Two seconds of noise sent at the real-time pace, 20 ms per packet.
    const QByteArray pcm = AudioHarness::testPattern(2000, 12);
    const qint64 captureStart = AudioHarness::sinkCaptureSize();
    QAudioOutput output(m_format);
    QIODevice* device = output.start();
    QVERIFY(device);
    MRawCollectorWithNotificationDecoder decoder(&output, device, m_format, 0.5f);
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    const int packets = pcm.size() / kFrameBytes;
    QTimer sender;
    sender.setTimerType(Qt::PreciseTimer);
    connect(&sender, &QTimer::timeout, this, [&] {
        while (sent < packets && sent < clock.elapsed() / 20 + 1) {
            decoder.voicePacketReceived(
                voicePacket(sent + 1, pcm.mid(sent * kFrameBytes, kFrameBytes)));
            ++sent;
        }
    });
    sender.start(5);
    QTRY_VERIFY_WITH_TIMEOUT(sent == packets, 10000);
    sender.stop();
    QTRY_VERIFY_WITH_TIMEOUT(decoder.collectorState().available() == 0, 5000);
    QVERIFY(AudioHarness::waitForSinkCapture(AudioHarness::sinkCaptureSize() + 400 * 192, 5000));
    output.stop();

    const QByteArray capture = AudioHarness::readSinkCapture(captureStart);
    const QByteArray played = withoutSilence(capture);
    // The noise has no silent sample frame; silence inserted by underruns
    // falls away, and what is left is the noise, whole and once.
    QCOMPARE(played.size(), withoutSilence(pcm).size());
    QVERIFY(played == withoutSilence(pcm));
}

void TestNotifiedDecoders::opusDecoderConcealsEachMissingPacket()
{
    QAudioOutput output(m_format);
    QIODevice* device = output.start();
    QVERIFY(device);
    QBuffer sink;
    sink.open(QIODevice::ReadWrite);
    // The output is asked for its period only; the PCM goes to the device given.
    MOpusDecoder decoder(&output, &sink, m_format);
    QCOMPARE(decoder.lastDecodedBytes(), kFrameBytes);
    decoder.voicePacketReceived(voicePacket(1, m_packets.at(0)));
    decoder.voicePacketReceived(voicePacket(2, m_packets.at(1)));
    decoder.voicePacketReceived(voicePacket(6, m_packets.at(5)));

    OpusDecoderWrapper reference;
    reference.initializeDecoder(48000, 2);
    QByteArray pcm(24576, '\0');
    auto* out = reinterpret_cast<unsigned char*>(pcm.data());
    QByteArray expected;
    for (int i : { 0, 1 })
        expected += pcm.left(
            reference.decode(reinterpret_cast<const unsigned char*>(m_packets.at(i).constData()),
                m_packets.at(i).size(), out, 24576));
    for (int i = 0; i < 3; ++i)
        expected += pcm.left(reference.decodePacketLossConcealment(out, kFrameBytes));
    expected += pcm.left(
        reference.decode(reinterpret_cast<const unsigned char*>(m_packets.at(5).constData()),
            m_packets.at(5).size(), out, 24576));
    QCOMPARE(sink.size(), qint64(6) * kFrameBytes);
    QVERIFY(sink.data() == expected);
    QVERIFY(m_log->contains(QStringLiteral("Opus packet received: ")));
}

void TestNotifiedDecoders::opusDecoderBeforeAnyGoodFrame()
{
    QBuffer sink;
    sink.open(QIODevice::ReadWrite);
    // No output at all: nothing to conceal with, and nothing may crash.
    MOpusDecoder silent(nullptr, &sink, m_format);
    silent.voicePacketReceived(voicePacket(1, QByteArray::fromHex("ff")));
    silent.voicePacketReceived(voicePacket(3, QByteArray::fromHex("ff")));
    QCOMPARE(sink.size(), 0);
    QVERIFY(m_log->contains(QStringLiteral("MOpusDecoder:: Decoding error ")));
    QVERIFY(m_log->contains(QStringLiteral("Lost Packet Concealment Decoding error")));

    // A first frame that fails leaves the output's period as the size to
    // conceal; a period beyond the decode buffer is cut to what it holds.
    QAudioOutput output(m_format);
    output.setBufferSize(10 * 48000);
    QVERIFY(output.start());
    QVERIFY(output.periodSize() > 0);
    MOpusDecoder decoder(&output, &sink, m_format);
    QCOMPARE(decoder.lastDecodedBytes(), output.periodSize());
    decoder.voicePacketReceived(voicePacket(1, QByteArray::fromHex("ff")));
    QCOMPARE(decoder.lastDecodedBytes(), output.periodSize());
    decoder.voicePacketReceived(voicePacket(3, m_packets.at(2)));
    QVERIFY(sink.size() > kFrameBytes);
    QVERIFY(sink.size() <= MOpusDecoder::MAX_DECDATA_BYTES + kFrameBytes);
}

void TestNotifiedDecoders::opusCollectorConcealsWithoutCollecting()
{
    QBuffer sink;
    sink.open(QIODevice::ReadWrite);
    MOpusDecoderWN decoder(kFrameBytes, &sink, m_format);
    const MPlayoutBuffer& collector = decoder.collectorState();
    decoder.voicePacketReceived(voicePacket(1, m_packets.at(0)));
    const qint64 size = collector.size();
    decoder.voicePacketReceived(voicePacket(5, m_packets.at(4)));
    // Three concealments, none collected: only packet 5's frame is added.
    QCOMPARE(collector.size(), size + kFrameBytes);
    const QByteArray played = [&] {
        for (int i = 0; i < 27; ++i)
            decoder.playPeriod();
        return sink.data().right(2 * kFrameBytes);
    }();
    QCOMPARE(played.left(kFrameBytes), m_frames.at(0));
}

void TestNotifiedDecoders::simpleCollectorFlushesInBursts()
{
    QBuffer sink;
    sink.open(QIODevice::ReadWrite);
    MRawSimpleCollectorDecoder decoder(&sink, m_format, 0.5f);
    QCOMPARE(decoder.flushThreshold(), 96000);
    const QByteArray pcm = pattern(30 * kFrameBytes, 13);
    for (int i = 0; i < 24; ++i)
        decoder.voicePacketReceived(voicePacket(i + 1, pcm.mid(i * kFrameBytes, kFrameBytes)));
    QCOMPARE(sink.size(), 0);
    decoder.voicePacketReceived(voicePacket(25, pcm.mid(24 * kFrameBytes, kFrameBytes)));
    QVERIFY(sink.data() == pcm.left(96000));
    QVERIFY(m_log->lines().contains(QStringLiteral("FLUSH:  96000")));
    // Collecting restarts at the front; a gap simply vanishes.
    decoder.voicePacketReceived(voicePacket(28, pcm.mid(25 * kFrameBytes, kFrameBytes)));
    QCOMPARE(decoder.collectedBytes(), kFrameBytes);
    QCOMPARE(sink.size(), 96000);
}

void TestNotifiedDecoders::aLongStretchReleasesPlayedAudio()
{
    // Forty seconds through a collector two seconds deep: positions keep
    // counting the whole stream, every byte comes out in order, and what was
    // played is let go.
    MPlayoutBuffer buffer;
    buffer.writeRepeated(QByteArray(kFrameBytes, '\0'), 100);
    const QByteArray pcm = pattern(2000 * kFrameBytes, 15);
    QByteArray out;
    for (int i = 0; i < 2000; ++i) {
        buffer.write(pcm.constData() + i * kFrameBytes, kFrameBytes);
        int got = 0;
        const char* data = buffer.peek(kFrameBytes, &got);
        out.append(data, got);
        buffer.advance(kFrameBytes);
    }
    QCOMPARE(buffer.size(), qint64(2100) * kFrameBytes);
    QCOMPARE(buffer.position(), buffer.size());
    QCOMPARE(buffer.readPosition(), qint64(2000) * kFrameBytes);
    QVERIFY(out == QByteArray(100 * kFrameBytes, '\0') + pcm.left(1900 * kFrameBytes));
    QVERIFY(buffer.storedBytes() < 4 * 1024 * 1024);
    // Moving the write position back works on what is still held.
    buffer.seek(buffer.readPosition() + kFrameBytes);
    buffer.write(pattern(10, 16));
    int got = 0;
    const char* data = buffer.peek(kFrameBytes + 10, &got);
    QCOMPARE(QByteArray(data + kFrameBytes, 10), pattern(10, 16));
}

CLASSROOM_AUDIO_TEST_GUILESS_MAIN(TestNotifiedDecoders)
#include "tst_notifieddecoders.moc"
