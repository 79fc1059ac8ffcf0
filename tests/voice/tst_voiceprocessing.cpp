// The microphone's voice processing: each setting switches its part of the
// real audio processing module (offline, a table), and through MVoiceCapture
// on the private audio server the noise is reduced, the window's own echo
// removed, and with the processing off the path is the unprocessed one, byte
// for byte.

#include "mvoiceprocessor.h"
#include "processingrig.h"
#include "voicetestdata.h"

#include "audioharness.h"
#include "audiotestmain.h"

#include <QtTest>

using namespace ProcessingRig;

Q_DECLARE_METATYPE(VoiceProcessing::Settings)

namespace {

QByteArray speechPart(int fromMs, int ms)
{
    return VoiceTestData::speech().mid(fromMs * kBytesPerMs, ms * kBytesPerMs);
}

} // namespace

class TestVoiceProcessing : public QObject
{
    Q_OBJECT

private slots:
    void eachSettingSwitchesItsPart_data();
    void eachSettingSwitchesItsPart();
    void processingReducesNoise();
    void processingRemovesTheEcho();
    void unprocessedPathIsByteForByte_data();
    void unprocessedPathIsByteForByte();
};

void TestVoiceProcessing::eachSettingSwitchesItsPart_data()
{
    QTest::addColumn<VoiceProcessing::Settings>("settings");
    QTest::addColumn<QString>("input");
    // Level of the last two seconds out against in, in dB: at least min, at most max.
    QTest::addColumn<double>("minGainDb");
    QTest::addColumn<double>("maxGainDb");

    QTest::newRow("noise suppression lowers steady noise")
        << VoiceProcessing::Settings { true, false, false } << "noise" << -100.0 << -10.0;
    QTest::newRow("without noise suppression the noise stays")
        << VoiceProcessing::Settings { false, true, false } << "noise" << -3.0 << 1.0;
    QTest::newRow("gain control raises a quiet talker")
        << VoiceProcessing::Settings { false, false, true } << "quiet" << 10.0 << 40.0;
    QTest::newRow("without gain control a quiet talker stays quiet")
        << VoiceProcessing::Settings { true, true, false } << "quiet" << -6.0 << 1.0;
    QTest::newRow("echo cancellation removes the far end's echo")
        << VoiceProcessing::Settings { false, true, false } << "echo" << -100.0 << -15.0;
    QTest::newRow("without echo cancellation the echo stays")
        << VoiceProcessing::Settings { true, false, false } << "echo" << -6.0 << 1.0;
}

void TestVoiceProcessing::eachSettingSwitchesItsPart()
{
    QFETCH(VoiceProcessing::Settings, settings);
    QFETCH(QString, input);
    QFETCH(double, minGainDb);
    QFETCH(double, maxGainDb);

    constexpr int kMs = 6000;
    const QByteArray speech = speechPart(0, kMs);
    QVERIFY2(speech.size() == kMs * kBytesPerMs, "the test speech is missing (target speechdata)");
    QByteArray mic;
    QByteArray far;
    constexpr int kEchoDelayMs = 60;
    if (input == QLatin1String("noise")) {
        mic = scaled(soxNoise("pinknoise", kMs), 0.1);
    } else if (input == QLatin1String("quiet")) {
        mic = scaled(speech, 0.1);
    } else {
        far = speech;
        mic = scaled(
            silence(kEchoDelayMs) + speech.left(speech.size() - kEchoDelayMs * kBytesPerMs), 0.3);
    }
    QCOMPARE(mic.size(), kMs * kBytesPerMs);

    MVoiceProcessor processor(AudioHarness::format(), settings);
    QVERIFY(processor.isUsable());
    QByteArray out = mic;
    constexpr int kChunk = 3840;
    for (int at = 0; at + kChunk <= out.size(); at += kChunk) {
        if (!far.isEmpty())
            processor.addFarEnd(far.constData() + at, kChunk, kEchoDelayMs);
        QCOMPARE(processor.processCapture(out.data() + at, kChunk, 0), kChunk);
    }
    QCOMPARE(processor.processedBlocks(), qint64(kMs / 10));
    const int tail = 2000 * kBytesPerMs;
    const double gainDb = dbfs(rmsOf(out.right(tail))) - dbfs(rmsOf(mic.right(tail)));
    qInfo("level change %.1f dB", gainDb);
    QVERIFY2(gainDb >= minGainDb && gainDb <= maxGainDb, qPrintable(QString::number(gainDb)));
}

void TestVoiceProcessing::processingReducesNoise()
{
    // The benchmark's set-up, shortened: 7 s of speech in pink noise at 5 dB
    // SNR; the noise floor between words from the third second to the end of
    // the speech.
    const QByteArray clean = speechPart(0, 7000);
    const QByteArray noisy = withNoise(clean, soxNoise("pinknoise", 7000), 5.0);
    QVERIFY(noisy.size() >= clean.size());
    double floor[2];
    for (int on = 0; on < 2; ++on) {
        Run run;
        run.settings = VoiceProcessing::allOn();
        run.environmentOff = !on;
        run.microphone = noisy;
        run.durationMs = 8000;
        const Result result = ProcessingRig::run(run);
        QVERIFY(result.ok);
        floor[on] = noiseFloorDbfs(result.sent, 200, 650);
    }
    qInfo("noise floor: %.1f dBFS off, %.1f dBFS on", floor[0], floor[1]);
    QVERIFY(floor[0] > -40.0); // the noise really reached the microphone
    QVERIFY(floor[0] - floor[1] >= 8.0);
}

void TestVoiceProcessing::processingRemovesTheEcho()
{
    // The window's output looped back into its microphone; the far end alone.
    double level[2];
    bool starved = false;
    for (int on = 0; on < 2; ++on) {
        Run run;
        run.settings = VoiceProcessing::allOn();
        run.environmentOff = !on;
        run.microphone = silence(100);
        run.farEnd = speechPart(0, 6000);
        run.farEndAtMs = 300;
        run.durationMs = 6500;
        const Result result = ProcessingRig::run(run);
        QVERIFY(result.ok);
        if (on) {
            QVERIFY(!result.streamDelaysMs.isEmpty());
            // Every time the far end's output runs dry the echo path moves
            // and the canceller must find it again.
            starved = result.underruns > 2 || result.overruns > 0;
        }
        level[on] = dbfs(rmsOf(result.sent.mid(2500 * kBytesPerMs, 3500 * kBytesPerMs)));
    }
    qInfo("echo: %.1f dBFS off, %.1f dBFS on%s", level[0], level[1],
        starved ? " (starved: the output ran dry or the microphone overran)" : "");
    QVERIFY(level[0] > -50.0); // the loop-back really carried the far end
    // Quiet runs remove 28-40 dB (the output's deeper buffer as an echo
    // reference keeps it from running dry); a starved one still well above
    // 6 dB.
    QVERIFY(level[0] - level[1] >= (starved ? 6.0 : 15.0));
}

void TestVoiceProcessing::unprocessedPathIsByteForByte_data()
{
    QTest::addColumn<bool>("environmentOff");
    QTest::addColumn<VoiceProcessing::Settings>("settings");
    QTest::addColumn<bool>("exact");
    QTest::newRow("the variable turns everything off") << true << VoiceProcessing::allOn() << true;
    QTest::newRow("every part off passes the microphone through")
        << false << VoiceProcessing::Settings() << true;
    QTest::newRow("processing on changes the audio") << false << VoiceProcessing::allOn() << false;
}

void TestVoiceProcessing::unprocessedPathIsByteForByte()
{
    QFETCH(bool, environmentOff);
    QFETCH(VoiceProcessing::Settings, settings);
    QFETCH(bool, exact);
    const QByteArray pcm = VoiceTestData::markedSpeech(4, 5);
    QVERIFY2(!pcm.isEmpty(), "the test speech is missing (target speechdata)");
    Run run;
    run.settings = settings;
    run.environmentOff = environmentOff;
    run.microphone = pcm;
    run.durationMs = 4500;
    const Result result = ProcessingRig::run(run);
    QVERIFY(result.ok);
    // A second from the middle of what the microphone heard.
    const QByteArray needle = pcm.mid(2 * 48000 * 4, 48000 * 4);
    QCOMPARE(AudioHarness::findExact(result.sent, needle) >= 0, exact);
    QCOMPARE(result.streamDelaysMs.isEmpty(), environmentOff || !settings.echoCancellation);
}

CLASSROOM_AUDIO_TEST_GUILESS_MAIN(TestVoiceProcessing)
#include "tst_voiceprocessing.moc"
