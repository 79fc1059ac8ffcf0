// MVoiceCapture on the private audio server: speech fed into the harness
// microphone leaves as numbered Opus voice packets over a real UDP socket;
// the small input buffer; overruns when the owner's thread stalls.

#include "audiobuffers.h"
#include "mcapturegate.h"
#include "mm.h"
#include "mopusencoder.h"
#include "mstatistics.h"
#include "mudpsocket.h"
#include "mvoicecapture.h"
#include "voicetestdata.h"

#include "audioharness.h"
#include "audiotestmain.h"
#include "sourcefeeder.h"

#include <QAudioInput>
#include <QElapsedTimer>
#include <QPointer>
#include <QtTest>

using namespace VoiceTestData;

class TestMVoiceCapture : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void sendsTheMicrophoneAsNumberedVoicePackets();
    void inputBuffer_data();
    void inputBuffer();
    void aStalledThreadCountsOverruns();

private:
    MEncoderFactory opusTo(MUdpSocket* socket)
    {
        return [socket](QAudioInput* input, QIODevice* device, const QAudioFormat& format,
                   QObject* parent) -> MEncoder* {
            return new MOpusEncoder(input, device, format, socket, 10, 28000, false, parent);
        };
    }

    MUdpSocket* receiver = nullptr;
    MUdpSocket* sender = nullptr;
    QList<quint32> sequence;
    SourceFeeder* feeder = nullptr;
};

void TestMVoiceCapture::init()
{
    receiver = new MUdpSocket(this);
    QVERIFY(receiver->bind(QHostAddress(QHostAddress::LocalHost), 0));
    sender = new MUdpSocket(this);
    sender->connectToHost(QHostAddress(QHostAddress::LocalHost), receiver->localPort());
    sequence.clear();
    connect(receiver, &MUdpSocket::packetReceived, this,
        [this](MAbstractSocket*, MDataType type, const QByteArray& data) {
            if (type == VoiceData)
                sequence << MAbstractSocket::byteArrayToInt(data);
        });
    const QByteArray pcm = markedSpeech(3, 9);
    QVERIFY2(!pcm.isEmpty(), "the test speech is missing (target speechdata)");
    feeder = new SourceFeeder();
    QVERIFY(feeder->start(pcm, true));
}

void TestMVoiceCapture::cleanup()
{
    delete feeder;
    feeder = nullptr;
    delete sender;
    sender = nullptr;
    delete receiver;
    receiver = nullptr;
}

void TestMVoiceCapture::sendsTheMicrophoneAsNumberedVoicePackets()
{
    MVoiceCapture capture(MM::defaultAudioFormat());
    QVERIFY(!capture.isSending());
    QVERIFY(capture.start(opusTo(sender)));
    QVERIFY(!capture.start(opusTo(sender)));
    const QPointer<MEncoder> encoder = capture.encoder();
    const QPointer<MCaptureGate> gate = capture.gate();
    QVERIFY(encoder);
    QVERIFY(gate);
    QCOMPARE(encoder->parent(), static_cast<QObject*>(&capture));

    QTRY_VERIFY_WITH_TIMEOUT(sequence.size() >= 50, 10000);
    // Numbered from 1 without a gap: every captured frame was encoded.
    for (int i = 0; i < sequence.size(); ++i)
        QCOMPARE(sequence.at(i), quint32(i + 1));

    QVERIFY(capture.stop());
    QVERIFY(!capture.isSending());
    QVERIFY(encoder.isNull());
    QVERIFY(gate.isNull());
    QCOMPARE(capture.audioInput()->state(), QAudio::StoppedState);
    QVERIFY(!capture.stop());

    // A new stretch of sending has an encoder of its own, counting anew.
    sequence.clear();
    QVERIFY(capture.start(opusTo(sender)));
    QTRY_VERIFY_WITH_TIMEOUT(!sequence.isEmpty(), 10000);
    QCOMPARE(sequence.first(), quint32(1));
}

void TestMVoiceCapture::inputBuffer_data()
{
    QTest::addColumn<QByteArray>("setting");
    QTest::addColumn<int>("requestedMs"); // 0: none requested

    QTest::newRow("our small buffer by default") << QByteArray() << AudioBuffers::kInputBufferMs;
    QTest::newRow("Qt's default when asked for") << QByteArray("qt-default") << 0;
}

void TestMVoiceCapture::inputBuffer()
{
    QFETCH(QByteArray, setting);
    QFETCH(int, requestedMs);

    qputenv(AudioBuffers::kEnvironmentVariable, setting);
    MVoiceCapture capture(MM::defaultAudioFormat());
    QVERIFY(capture.start(opusTo(sender)));
    qunsetenv(AudioBuffers::kEnvironmentVariable);

    const QAudioFormat& format = capture.audioInput()->format();
    QCOMPARE(capture.requestedBufferBytes(), format.bytesForDuration(requestedMs * 1000));
    const int period = capture.audioInput()->periodSize();
    if (requestedMs > 0) {
        // The fragment asked for is one period, itself a whole Opus frame.
        QCOMPARE(period, format.bytesForDuration(requestedMs * 1000));
        QVERIFY(MOpusEncoder::isWholeOpusFrame(period, format));
    } else {
        QVERIFY2(period > format.bytesForDuration(requestedMs * 1000),
            qPrintable(QString::number(period)));
    }
    QTRY_VERIFY_WITH_TIMEOUT(sequence.size() >= 10, 10000);
}

void TestMVoiceCapture::aStalledThreadCountsOverruns()
{
    MVoiceCapture capture(MM::defaultAudioFormat());
    QVERIFY(capture.start(opusTo(sender)));
    QTRY_VERIFY_WITH_TIMEOUT(sequence.size() >= 5, 10000);
    const int before = capture.overruns();
    const int countedBefore = capture.encoder()->statisticsObject()->overruns;

    // Away from the event loop for much longer than the gate keeps: what
    // piled up meanwhile is cut to the newest audio when the thread is back.
    QElapsedTimer busy;
    busy.start();
    while (busy.elapsed() < 10 * MVoiceCapture::kBacklogMs) { }

    QTRY_VERIFY_WITH_TIMEOUT(capture.overruns() > before, 10000);
    QVERIFY(capture.gate()->droppedBytes() > 0);
    QVERIFY(capture.encoder()->statisticsObject()->overruns > countedBefore);
    // And sending goes on.
    const int sent = sequence.size();
    QTRY_VERIFY_WITH_TIMEOUT(sequence.size() > sent + 10, 10000);
}

CLASSROOM_AUDIO_TEST_GUILESS_MAIN(TestMVoiceCapture)
#include "tst_mvoicecapture.moc"
