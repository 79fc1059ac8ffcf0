// Speech fed to the real microphone comes out of the real speaker on the
// other side: audio input -> MOpusEncoder -> MUdpSocket -> loopback ->
// MUdpSocket -> MOpusAdvancedDecoder -> audio output, all on one event loop.

#include "audioharness.h"
#include "mm.h"
#include "mopusadvanceddecoder.h"
#include "mopusencoder.h"
#include "mstatistics.h"
#include "mudpsocket.h"
#include "sourcefeeder.h"
#include "voicetestdata.h"

#include "audiotestmain.h"
#include <QAudioInput>
#include <QAudioOutput>
#include <QLoggingCategory>
#include <QtTest>

class TestVoiceLoopback : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }
    void speechCrossesTheNetwork();
};

void TestVoiceLoopback::speechCrossesTheNetwork()
{
    const int seconds = 6;
    const QByteArray speech
        = VoiceTestData::speech().left(seconds * 50 * VoiceTestData::kFrameBytes);
    QCOMPARE(speech.size(), seconds * 50 * VoiceTestData::kFrameBytes);
    const QAudioFormat format = MM::deviceAudioFormat(MM::defaultAudioFormat());

    // Receiving side.
    MUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QAudioOutput output(format);
    QIODevice* speaker = output.start();
    QVERIFY(speaker);
    MOpusAdvancedDecoder decoder(&output, speaker, format);
    connect(&receiver, &MUdpSocket::packetReceived, &decoder,
        [&decoder](MAbstractSocket*, MDataType type, const QByteArray& data) {
            if (type == VoiceData)
                decoder.voicePacketReceived(data);
        });

    // Sending side: the recorder runs before the microphone is fed.
    MUdpSocket sender;
    sender.setPeerHostAndPort(QHostAddress::LocalHost, receiver.localPort());
    QAudioInput input(format);
    QIODevice* microphone = input.start();
    QVERIFY(microphone);
    MOpusEncoder encoder(&input, microphone, format, &sender, 10, 28000, false);

    const qint64 captureStart = AudioHarness::sinkCaptureSize();
    SourceFeeder feeder;
    QVERIFY(feeder.start(speech, false));
    QTRY_VERIFY_WITH_TIMEOUT(feeder.finished(), (seconds + 10) * 1000);
    // Microphone path, half a second of playout delay and the output queue.
    QVERIFY(AudioHarness::waitForSinkCapture(
        AudioHarness::sinkCaptureSize() + 2 * 50 * VoiceTestData::kFrameBytes, 10000));
    input.stop();
    output.stop();

    QVERIFY(encoder.statisticsObject()->successfulPackets > (seconds - 1) * 50);
    // Loopback loses nothing: the decoder saw every number once, in order.
    QCOMPARE(decoder.statisticsObject()->packetCount, decoder.lastSequence());
    QVERIFY(decoder.lastSequence() >= encoder.statisticsObject()->packetCount - 5);

    const QByteArray played = AudioHarness::readSinkCapture(captureStart);
    QList<qint64> offsets;
    for (const int at : { 1, 3 }) {
        const QByteArray needle
            = speech.mid(at * 50 * VoiceTestData::kFrameBytes, 50 * VoiceTestData::kFrameBytes);
        for (const int channel : { 0, 1 }) {
            const AudioHarness::Match match = AudioHarness::findSignal(played, needle, channel);
            qInfo() << "second" << at << "channel" << channel << "score" << match.score << "at"
                    << match.offset;
            QVERIFY2(match.score > 0.7, qPrintable(QString::number(match.score)));
            offsets << match.offset;
        }
    }
    // Played at the pace it was spoken: nothing lost or added in between (the
    // lossy codec may move a correlation peak by a sample).
    const qint64 distance = offsets.at(2) - offsets.at(0);
    QVERIFY2(qAbs(distance - 2 * 50 * VoiceTestData::kFrameBytes) <= 2 * 4,
        qPrintable(QString::number(distance)));
}

CLASSROOM_AUDIO_TEST_GUILESS_MAIN(TestVoiceLoopback)
#include "tst_voiceloopback.moc"
