#include "audioharness.h"
#include "childprocess.h"

#include "audiotestmain.h"
#include <QAudioDeviceInfo>
#include <QAudioInput>
#include <QAudioOutput>
#include <QBuffer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

// Proves that the private audio server really carries sound: Qt's output
// reaches the captured sink bit-exact and paced by notify(), and what the
// feeder writes reaches Qt's input bit-exact.
class TestAudioHarness : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void playedSoundIsCapturedBitExact();
    void notifyFiresAtTheRequestedInterval();
    void fedSoundIsRecordedBitExact();
    void secondServerIsIndependent();
    void findSignal_data();
    void findSignal();
};

namespace {

// Pushes `pcm` into `output` as fast as its buffer takes it.
class Pusher
{
public:
    Pusher(QAudioOutput* output, const QByteArray& pcm) : device(output->start()), data(pcm) { }
    bool started() const { return device != nullptr; }
    void push(QAudioOutput* output)
    {
        const qint64 free = qMin<qint64>(output->bytesFree(), data.size() - position);
        if (free > 0)
            position += device->write(data.constData() + position, free);
    }
    bool done() const { return position >= data.size(); }

private:
    QIODevice* device;
    QByteArray data;
    qint64 position = 0;
};

} // namespace

void TestAudioHarness::initTestCase()
{
    QVERIFY2(AudioHarness::isRunning(), "run this test through with-pulse.sh");
    QVERIFY(!QAudioDeviceInfo::defaultOutputDevice().isNull());
    QVERIFY(!QAudioDeviceInfo::defaultInputDevice().isNull());
    QVERIFY(QAudioDeviceInfo::defaultOutputDevice().isFormatSupported(AudioHarness::format()));
}

void TestAudioHarness::playedSoundIsCapturedBitExact()
{
    const QByteArray pattern = AudioHarness::testPattern(500, 1);
    const qint64 before = AudioHarness::sinkCaptureSize();

    QAudioOutput output(AudioHarness::format());
    // Trailing silence carries the pattern's tail out of the stream's buffer.
    Pusher pusher(&output, pattern + AudioHarness::silence(300));
    QVERIFY(pusher.started());
    QTimer feed;
    connect(&feed, &QTimer::timeout, this, [&] { pusher.push(&output); });
    feed.start(5);

    QTRY_VERIFY_WITH_TIMEOUT(pusher.done(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(
        AudioHarness::findExact(AudioHarness::readSinkCapture(before), pattern) >= 0, 10000);
    output.stop();
}

void TestAudioHarness::notifyFiresAtTheRequestedInterval()
{
    QAudioOutput output(AudioHarness::format());
    output.setNotifyInterval(20);
    QCOMPARE(output.notifyInterval(), 20);
    Pusher pusher(&output, AudioHarness::silence(4000));
    QVERIFY(pusher.started());
    QTimer feed;
    connect(&feed, &QTimer::timeout, this, [&] { pusher.push(&output); });
    feed.start(5);

    QTRY_COMPARE_WITH_TIMEOUT(output.state(), QAudio::ActiveState, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(output.processedUSecs() >= 200000, 5000);
    // Counted over 2 s of audio the stream really played.
    QSignalSpy notifies(&output, &QAudioOutput::notify);
    const qint64 from = output.processedUSecs();
    QTRY_VERIFY_WITH_TIMEOUT(output.processedUSecs() - from >= 2000000, 10000);
    const int count = notifies.count();
    QVERIFY2(count >= 60 && count <= 130, qPrintable(QString::number(count)));
    output.stop();
}

void TestAudioHarness::fedSoundIsRecordedBitExact()
{
    QAudioInput input(AudioHarness::format());
    QByteArray recorded;
    QBuffer sinkBuffer(&recorded);
    QVERIFY(sinkBuffer.open(QIODevice::WriteOnly));
    input.start(&sinkBuffer);
    QTRY_COMPARE_WITH_TIMEOUT(input.state(), QAudio::ActiveState, 5000);
    // The microphone runs like a real one: silence before anything is fed.
    QTRY_VERIFY_WITH_TIMEOUT(recorded.size() >= 3840, 5000);

    const QByteArray pattern = AudioHarness::testPattern(400, 2);
    SourceFeeder feeder;
    QVERIFY(feeder.start(pattern, false));
    QTRY_VERIFY_WITH_TIMEOUT(feeder.finished(), 10000);
    QCOMPARE(feeder.bytesFed(), qint64(pattern.size()));
    QTRY_VERIFY_WITH_TIMEOUT(AudioHarness::findExact(recorded, pattern) >= 0, 10000);
    feeder.stop();
    input.stop();
}

void TestAudioHarness::secondServerIsIndependent()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(AudioHarness::startPrivateServer(dir.path()));
    QVERIFY(AudioHarness::isRunning(dir.path()));
    QVERIFY(AudioHarness::serverAddress(dir.path()) != AudioHarness::serverAddress());

    // A separate program aimed at the second server plays into its sink only.
    const QByteArray pattern = AudioHarness::testPattern(300, 3);
    const qint64 ownBefore = AudioHarness::sinkCaptureSize();
    QProcess player;
    player.setProcessEnvironment(AudioHarness::environmentFor(dir.path()));
    player.start(QStringLiteral("pacat"),
        { QStringLiteral("--playback"), QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
            QStringLiteral("--rate=48000"), QStringLiteral("--channels=2") });
    QVERIFY(player.waitForStarted());
    player.write(pattern + AudioHarness::silence(300));
    player.closeWriteChannel();
    QVERIFY(ChildProcess::waitForEnd(player, 10000));
    QCOMPARE(player.exitCode(), 0);

    QTRY_VERIFY_WITH_TIMEOUT(
        AudioHarness::findExact(AudioHarness::readSinkCapture(0, -1, dir.path()), pattern) >= 0,
        10000);
    QCOMPARE(AudioHarness::findExact(AudioHarness::readSinkCapture(ownBefore), pattern), -1);

    QVERIFY(AudioHarness::stopPrivateServer(dir.path()));
    QVERIFY(!AudioHarness::isRunning(dir.path()));
}

void TestAudioHarness::findSignal_data()
{
    QTest::addColumn<double>("gain");
    QTest::addColumn<int>("noise");
    QTest::addColumn<int>("frameOffset");

    QTest::newRow("an exact copy is found at its frame") << 1.0 << 0 << 12345;
    QTest::newRow("a quieter copy is found with a full score") << 0.25 << 0 << 4000;
    QTest::newRow("a copy under noise is still found") << 0.5 << 3000 << 777;
    QTest::newRow("a copy at the very start is found") << 1.0 << 0 << 0;
}

void TestAudioHarness::findSignal()
{
    QFETCH(double, gain);
    QFETCH(int, noise);
    QFETCH(int, frameOffset);

    const QByteArray needle = AudioHarness::testPattern(40, 4);
    QByteArray haystack = AudioHarness::testPattern(1000, 5);
    // Unrelated signal around the copy, scaled down so the copy is not found
    // by its level.
    QRandomGenerator random(6);
    qint16* samples = reinterpret_cast<qint16*>(haystack.data());
    const int sampleCount = haystack.size() / 2;
    for (int i = 0; i < sampleCount; ++i)
        samples[i] = qint16(samples[i] / 8);
    const qint16* copy = reinterpret_cast<const qint16*>(needle.constData());
    for (int i = 0; i < needle.size() / 2; ++i) {
        const int disturbance = noise ? random.bounded(-noise, noise + 1) : 0;
        samples[frameOffset * 2 + i]
            = qint16(qBound(-32768, int(copy[i] * gain) + disturbance, 32767));
    }

    const AudioHarness::Match match = AudioHarness::findSignal(haystack, needle);
    QCOMPARE(match.offset, qint64(frameOffset) * AudioHarness::kBytesPerFrame);
    QVERIFY2(match.score > (noise ? 0.8 : 0.999), qPrintable(QString::number(match.score)));
    QCOMPARE(AudioHarness::findExact(haystack, needle) >= 0, gain == 1.0 && noise == 0);
}

CLASSROOM_AUDIO_TEST_GUILESS_MAIN(TestAudioHarness)
#include "tst_audioharness.moc"
