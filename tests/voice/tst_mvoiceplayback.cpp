// MVoicePlayback on the private audio server: its decoder from the factory,
// the small output buffer, voice reaching the sink, underruns counted, and the
// recovery after the audio server really dropped the stream.

#include "audiobuffers.h"
#include "mdecoder.h"
#include "mm.h"
#include "maudiooutputfeeder.h"
#include "mopusadvanceddecoder.h"
#include "mstatistics.h"
#include "mvoiceplayback.h"
#include "voicetestdata.h"

#include "audioharness.h"
#include "logcapture.h"
#include "audiotestmain.h"

#include <algorithm>

#include <QAudioOutput>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>
#include <QtTest>

using namespace VoiceTestData;

namespace {

MDecoder* advancedDecoder(
    QAudioOutput* output, QIODevice* device, const QAudioFormat& format, QObject* parent)
{
    return new MOpusAdvancedDecoder(output, device, format, parent);
}

bool pactl(const QStringList& arguments, const QString& server = QString())
{
    QProcess process;
    if (!server.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PULSE_SERVER"), server);
        process.setProcessEnvironment(environment);
    }
    process.start(QStringLiteral("pactl"), arguments);
    return process.waitForFinished(10000) && process.exitCode() == 0;
}

// Kills the newest playback stream of the private audio server, as the server
// does when it drops a stream: through its command-line protocol, which the
// control tool of this PulseAudio version does not offer.
bool killNewestPlaybackStream()
{
    const QString dir = AudioHarness::serverDir();
    const QString cli = dir + QStringLiteral("/cli");
    if (!QFile::exists(cli)
        && !pactl({ QStringLiteral("load-module"), QStringLiteral("module-cli-protocol-unix"),
            QStringLiteral("socket=") + cli }))
        return false;
    QProcess list;
    list.start(QStringLiteral("pactl"),
        { QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sink-inputs") });
    if (!list.waitForFinished(10000))
        return false;
    int newest = -1;
    for (const QString& line : QString::fromUtf8(list.readAllStandardOutput()).split('\n')) {
        bool ok = false;
        const int index = line.section(QLatin1Char('\t'), 0, 0).toInt(&ok);
        if (ok)
            newest = qMax(newest, index);
    }
    if (newest < 0)
        return false;
    QLocalSocket socket;
    socket.connectToServer(cli);
    if (!socket.waitForConnected(5000))
        return false;
    socket.write(QStringLiteral("kill-sink-input %1\n").arg(newest).toUtf8());
    return socket.waitForBytesWritten(5000);
}

// Drops every client of the audio server, as a crashing or restarting server
// does, and lets clients back in a moment later on the same socket.
bool dropAudioServerClients()
{
    const QString dir = AudioHarness::serverDir();
    const QString control = QStringLiteral("unix:") + dir + QStringLiteral("/control");
    const QString native = QStringLiteral("socket=") + dir + QStringLiteral("/native");
    if (!pactl({ QStringLiteral("load-module"), QStringLiteral("module-native-protocol-unix"),
            QStringLiteral("auth-anonymous=1"),
            QStringLiteral("socket=") + dir + QStringLiteral("/control") }))
        return false;
    QProcess list;
    list.start(QStringLiteral("pactl"),
        { QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("modules") });
    if (!list.waitForFinished(10000))
        return false;
    QString module;
    for (const QString& line : QString::fromUtf8(list.readAllStandardOutput()).split('\n')) {
        if (line.contains(native))
            module = line.section(QLatin1Char('\t'), 0, 0);
    }
    if (module.isEmpty() || !pactl({ QStringLiteral("unload-module"), module }, control))
        return false;
    QThread::msleep(300);
    return pactl({ QStringLiteral("load-module"), QStringLiteral("module-native-protocol-unix"),
                     QStringLiteral("auth-anonymous=1"), native },
        control);
}

// A packet's index and when it reaches the playback (ms after the start).
using Arrival = QPair<qint64, int>;

// Each packet at its 20 ms step.
QVector<Arrival> onTime(int count)
{
    QVector<Arrival> arrivals;
    for (int k = 0; k < count; ++k)
        arrivals.append({ (k + 1) * 20, k });
    return arrivals;
}

// Hands each packet to the playback once its time has come (`arrivals` in the
// order they arrive); true when all were handed over within `timeoutMs`.
bool deliver(MVoicePlayback& playback, const QList<QByteArray>& packets,
    const QVector<Arrival>& arrivals, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    QTimer sender;
    sender.setTimerType(Qt::PreciseTimer);
    sender.setInterval(5);
    QObject::connect(&sender, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        while (sent < arrivals.size() && now >= arrivals.at(sent).first) {
            const int k = arrivals.at(sent).second;
            playback.voicePacketReceived(voicePacket(k + 1, packets.at(k)));
            ++sent;
        }
    });
    sender.start();
    return QTest::qWaitFor([&] { return sent == arrivals.size(); }, timeoutMs);
}

} // namespace

class TestMVoicePlayback : public QObject
{
    Q_OBJECT

private slots:
    void startBuildsTheDecoderAndStopDeletesItBeforeTheOutput();
    void outputBuffer_data();
    void outputBuffer();
    void echoCancellationSwitchesTheBufferOfAPlayingOutput();
    void voiceReachesTheSinkWhole();
    void aDeepOutputPlaysOvertakenPacketsInTheirSlot();
    void aStarvedOutputCountsUnderruns();
    void restartsAnOutputThatStoppedTakingData();
    // Last: it drops every client of the audio server.
    void recoversAfterTheAudioServerDroppedTheStream();
};

void TestMVoicePlayback::startBuildsTheDecoderAndStopDeletesItBeforeTheOutput()
{
    QObject owner;
    int built = 0;
    QAudioOutput* givenOutput = nullptr;
    QIODevice* givenDevice = nullptr;
    QObject* givenParent = nullptr;
    auto* playback = new MVoicePlayback(
        MM::defaultAudioFormat(),
        [&](QAudioOutput* output, QIODevice* device, const QAudioFormat& format, QObject* parent) {
            ++built;
            givenOutput = output;
            givenDevice = device;
            givenParent = parent;
            return advancedDecoder(output, device, format, parent);
        },
        &owner);
    QVERIFY(!playback->isOn());
    QCOMPARE(playback->audioOutput()->state(), QAudio::StoppedState);

    QVERIFY(playback->start());
    QVERIFY(!playback->start());
    QCOMPARE(built, 1);
    QCOMPARE(givenOutput, playback->audioOutput());
    QVERIFY(givenDevice);
    QCOMPARE(givenDevice, playback->outputDevice());
    QCOMPARE(givenParent, static_cast<QObject*>(playback));
    QVERIFY(playback->decoder());
    QTRY_COMPARE(playback->audioOutput()->state(), QAudio::ActiveState);

    QAudio::State stateAtDeletion = QAudio::StoppedState;
    connect(playback->decoder(), &QObject::destroyed, this,
        [&] { stateAtDeletion = playback->audioOutput()->state(); });
    const QPointer<MDecoder> decoder = playback->decoder();
    QVERIFY(playback->stop());
    QVERIFY(decoder.isNull());
    QVERIFY(stateAtDeletion != QAudio::StoppedState);
    QCOMPARE(playback->audioOutput()->state(), QAudio::StoppedState);
    QVERIFY(!playback->decoder());
    QVERIFY(!playback->stop());
}

void TestMVoicePlayback::outputBuffer_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QByteArray>("setting");
    QTest::addColumn<bool>("echoCancelled");
    QTest::addColumn<int>("requestedMs"); // 0: none requested

    QTest::newRow("our small buffer by default")
        << QByteArray(AudioBuffers::kEnvironmentVariable) << QByteArray() << false
        << AudioBuffers::kOutputBufferMs;
    QTest::newRow("Qt's default when asked for")
        << QByteArray(AudioBuffers::kEnvironmentVariable) << QByteArray("qt-default") << false << 0;
    QTest::newRow("the fixed playout's deeper buffer when asked for")
        << QByteArray(AudioBuffers::kPlayoutVariable) << QByteArray("fixed") << false
        << AudioBuffers::kFixedPlayoutOutputBufferMs;
    QTest::newRow("an output whose echo is cancelled plays from a deeper buffer")
        << QByteArray(AudioBuffers::kEnvironmentVariable) << QByteArray() << true
        << AudioBuffers::kEchoReferenceOutputBufferMs;
    QTest::newRow("Qt's default with the echo cancelled too when asked for")
        << QByteArray(AudioBuffers::kEnvironmentVariable) << QByteArray("qt-default") << true << 0;
}

void TestMVoicePlayback::outputBuffer()
{
    QFETCH(QByteArray, variable);
    QFETCH(QByteArray, setting);
    QFETCH(bool, echoCancelled);
    QFETCH(int, requestedMs);

    qputenv(variable.constData(), setting);
    MVoicePlayback playback(MM::defaultAudioFormat(), advancedDecoder);
    playback.setEchoCancelled(echoCancelled);
    QVERIFY(playback.start());
    qunsetenv(variable.constData());

    const int bytesPerMs = playback.audioOutput()->format().bytesForDuration(1000);
    QCOMPARE(playback.requestedBufferBytes(), requestedMs * bytesPerMs);
    const int bufferMs = playback.audioOutput()->bufferSize() / bytesPerMs;
    if (requestedMs > 0)
        QCOMPARE(bufferMs, requestedMs);
    else
        QVERIFY2(bufferMs > AudioBuffers::kOutputBufferMs, qPrintable(QString::number(bufferMs)));
}

void TestMVoicePlayback::echoCancellationSwitchesTheBufferOfAPlayingOutput()
{
    qunsetenv(AudioBuffers::kEnvironmentVariable);
    qunsetenv(AudioBuffers::kPlayoutVariable);
    MVoicePlayback playback(MM::defaultAudioFormat(), advancedDecoder);
    QVERIFY(playback.start());
    const int bytesPerMs = playback.audioOutput()->format().bytesForDuration(1000);
    const QPointer<MDecoder> first = playback.decoder();
    QVERIFY(first);

    playback.setEchoCancelled(true);
    QVERIFY(playback.isOn());
    QVERIFY(first.isNull()); // a new stream, and a decoder for it
    QVERIFY(playback.decoder());
    QCOMPARE(playback.audioOutput()->bufferSize(),
        AudioBuffers::kEchoReferenceOutputBufferMs * bytesPerMs);
    QCOMPARE(playback.restarts(), 0); // not a recovery

    playback.setEchoCancelled(false);
    QCOMPARE(playback.audioOutput()->bufferSize(), AudioBuffers::kOutputBufferMs * bytesPerMs);
    QVERIFY(playback.stop());
    // Switched while stopped, it waits for the next start.
    playback.setEchoCancelled(true);
    QVERIFY(!playback.isOn());
    QVERIFY(playback.start());
    QCOMPARE(
        playback.requestedBufferBytes(), AudioBuffers::kEchoReferenceOutputBufferMs * bytesPerMs);
}

void TestMVoicePlayback::voiceReachesTheSinkWhole()
{
    const QByteArray pcm = markedSpeech(2, 5);
    QVERIFY2(!pcm.isEmpty(), "the test speech is missing (target speechdata)");
    const QList<QByteArray> packets = opusPackets(pcm, 28000, false);
    const QList<QByteArray> frames = referenceDecode(packets);

    const qint64 captureStart = AudioHarness::sinkCaptureSize();
    MVoicePlayback playback(MM::defaultAudioFormat(), advancedDecoder);
    QVERIFY(playback.start());
    QVERIFY(deliver(playback, packets, onTime(packets.size()), 15000));
    const auto* decoder = qobject_cast<MOpusAdvancedDecoder*>(playback.decoder());
    QVERIFY(decoder);
    QTRY_VERIFY_WITH_TIMEOUT(decoder->bufferedFrames() == 0, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(decoder->feeder()->carryBytes() == 0, 5000);
    // What the output still holds plays out within its buffer and a bit.
    QVERIFY(AudioHarness::waitForSinkCapture(AudioHarness::sinkCaptureSize() + 400 * 192, 5000));
    const int discarded = decoder->discardedFrames();
    playback.stop();

    // Every frame was played, in order, none twice. On a loaded machine the
    // output may run dry; the frames the decoder then discards to keep its
    // delay are the only ones missing.
    const QByteArray played = withoutSilence(AudioHarness::readSinkCapture(captureStart));
    int cursor = 0;
    QList<int> missing;
    for (int k = 0; k < frames.size(); ++k) {
        const QByteArray frame = withoutSilence(frames.at(k));
        if (played.mid(cursor, frame.size()) == frame)
            cursor += frame.size();
        else
            missing << k;
    }
    QCOMPARE(missing.size(), discarded);
    QVERIFY(missing.size() < frames.size() / 10);
    QCOMPARE(cursor, played.size());
}

void TestMVoicePlayback::aDeepOutputPlaysOvertakenPacketsInTheirSlot()
{
    qunsetenv(AudioBuffers::kEnvironmentVariable);
    qunsetenv(AudioBuffers::kPlayoutVariable);
    const QByteArray pcm = markedSpeech(8, 7);
    QVERIFY2(!pcm.isEmpty(), "the test speech is missing (target speechdata)");
    const QList<QByteArray> packets = opusPackets(pcm, 28000, false);
    // Each packet up to 40 ms late, in the order they then arrive: packets
    // overtake each other, as through a jittery network.
    QRandomGenerator random(11);
    QVector<Arrival> arrivals;
    for (int k = 0; k < packets.size(); ++k)
        arrivals.append({ k * 20 + qint64(random.bounded(41)), k });
    std::stable_sort(arrivals.begin(), arrivals.end());
    int overtaken = 0;
    int newest = -1;
    for (const auto& arrival : arrivals) {
        overtaken += arrival.second < newest ? 1 : 0;
        newest = qMax(newest, arrival.second);
    }
    MVoicePlayback playback(MM::defaultAudioFormat(), advancedDecoder);
    playback.setEchoCancelled(true);
    QVERIFY(playback.start());
    QVERIFY(deliver(playback, packets, arrivals, 20000));
    const auto* decoder = qobject_cast<MOpusAdvancedDecoder*>(playback.decoder());
    QVERIFY(decoder);
    const int played = decoder->latePacketsPlayed();
    // The 80 ms output an echo canceller reads must not take the ring's
    // look-ahead: an overtaken packet whose slot is still waiting is played.
    QVERIFY2(played >= overtaken / 2,
        qPrintable(QStringLiteral("%1 of %2 overtaken packets played in their slot")
                       .arg(played)
                       .arg(overtaken)));
    playback.stop();
}

void TestMVoicePlayback::aStarvedOutputCountsUnderruns()
{
    MVoicePlayback playback(MM::defaultAudioFormat(), advancedDecoder);
    QVERIFY(playback.start());
    QTRY_COMPARE(playback.audioOutput()->state(), QAudio::ActiveState);
    const int before = playback.underruns();

    // A thread that does not come back to its event loop for much longer
    // than the output holds lets the output run dry. The audio server reports
    // it on its own time; a loaded machine may need a second try.
    for (int attempt = 0; attempt < 5 && playback.underruns() == before; ++attempt) {
        QElapsedTimer busy;
        busy.start();
        while (busy.elapsed() < 20 * AudioBuffers::kOutputBufferMs) { }
        QElapsedTimer wait;
        wait.start();
        while (wait.elapsed() < 3000 && playback.underruns() == before)
            QTest::qWait(20);
    }
    QVERIFY(playback.underruns() > before);
    QVERIFY(playback.decoder()->statisticsObject()->underruns > 0);
    // Fed again, the output plays on by itself: no restart is needed.
    QTRY_COMPARE(playback.audioOutput()->state(), QAudio::ActiveState);
    QCOMPARE(playback.restarts(), 0);
}

void TestMVoicePlayback::restartsAnOutputThatStoppedTakingData()
{
    const QList<QByteArray> packets = opusPackets(markedSpeech(2, 9), 28000, false);
    QVERIFY(!packets.isEmpty());
    MVoicePlayback playback(MM::defaultAudioFormat(), advancedDecoder);
    QSignalSpy restarted(&playback, &MVoicePlayback::restarted);
    QVERIFY(playback.start());
    QTRY_COMPARE(playback.audioOutput()->state(), QAudio::ActiveState);
    const QPointer<MDecoder> first = playback.decoder();

    // Voice keeps arriving at its pace throughout.
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    QTimer sender;
    sender.setInterval(5);
    connect(&sender, &QTimer::timeout, this, [&] {
        while (sent < clock.elapsed() / 20) {
            playback.voicePacketReceived(voicePacket(sent + 1, packets.at(sent % packets.size())));
            ++sent;
        }
    });
    sender.start();
    QTRY_VERIFY(sent > 25);
    QCOMPARE(playback.restarts(), 0);

    LogCapture log;
    QVERIFY(killNewestPlaybackStream());
    // The output reports nothing (it stays active); the stall is noticed,
    // well before the error recovery's look two seconds after an underrun.
    QVERIFY(restarted.wait(10000));
    QVERIFY(log.contains(QStringLiteral("has taken no data")));
    QCOMPARE(playback.restarts(), 1);
    QVERIFY(first.isNull());
    QVERIFY(playback.decoder());
    QTRY_COMPARE(playback.audioOutput()->state(), QAudio::ActiveState);
    // The new stream plays: the sink receives the voice again.
    const qint64 size = AudioHarness::sinkCaptureSize();
    QTRY_VERIFY_WITH_TIMEOUT(!withoutSilence(AudioHarness::readSinkCapture(size)).isEmpty(), 5000);
    sender.stop();
    QCOMPARE(playback.restarts(), 1);
}

void TestMVoicePlayback::recoversAfterTheAudioServerDroppedTheStream()
{
    MVoicePlayback playback(MM::defaultAudioFormat(), advancedDecoder);
    QList<QAudio::Error> errors;
    connect(&playback, &MVoicePlayback::outputStateChanged, this,
        [&](QAudio::State, QAudio::Error error) { errors << error; });
    QVERIFY(playback.start());
    QTRY_COMPARE(playback.audioOutput()->state(), QAudio::ActiveState);
    const QPointer<MDecoder> first = playback.decoder();

    QVERIFY(dropAudioServerClients());
    QTRY_VERIFY_WITH_TIMEOUT(errors.contains(QAudio::FatalError), 10000);

    // Looked at again two seconds after each error, until the backend is
    // back: a new device and a new decoder.
    QTRY_VERIFY_WITH_TIMEOUT(
        playback.restarts() >= 1 && playback.audioOutput()->state() == QAudio::ActiveState, 20000);
    QVERIFY(playback.isOn());
    QVERIFY(first.isNull());
    QVERIFY(playback.decoder());
    // And it plays: the sink receives audio from the new stream.
    const qint64 size = AudioHarness::sinkCaptureSize();
    QVERIFY(AudioHarness::waitForSinkCapture(size + 192 * 200, 5000));
}

CLASSROOM_AUDIO_TEST_GUILESS_MAIN(TestMVoicePlayback)
#include "tst_mvoiceplayback.moc"
