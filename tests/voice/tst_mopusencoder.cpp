#include "logcapture.h"
#include "mm.h"
#include "mopusencoder.h"
#include "mstatistics.h"
#include "mudpsocket.h"
#include "pcmpipe.h"
#include "voicetestdata.h"

#include "audiotestmain.h"

#include <memory>

#include <QAudioInput>
#include <QtTest>

using namespace VoiceTestData;

class TestMOpusEncoder : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_log = std::make_unique<LogCapture>(); }
    void cleanup() { m_log.reset(); }

    void everyByteIsEncodedOnceInOrder_data();
    void everyByteIsEncodedOnceInOrder();
    void failedInitialisationSendsNothing();
    void anInputThatWasNotStartedSendsNothing();

private:
    std::unique_ptr<LogCapture> m_log;
};

void TestMOpusEncoder::everyByteIsEncodedOnceInOrder_data()
{
    QTest::addColumn<int>("bufferSize");
    QTest::addColumn<int>("expectedPeriod");
    QTest::addColumn<int>("piece");

    QTest::newRow("a 4092-byte input period is re-chunked into 20 ms frames") << 0 << 4092 << 4092;
    QTest::newRow("the re-chunking survives reads of odd sizes") << 0 << 4092 << 1001;
    QTest::newRow("a whole-frame period of 3840 bytes is encoded as read") << 3840 << 3840 << 3840;
    QTest::newRow("a short read in a whole-frame period waits for the rest")
        << 3840 << 3840 << 1000;
}

void TestMOpusEncoder::everyByteIsEncodedOnceInOrder()
{
    QFETCH(int, bufferSize);
    QFETCH(int, expectedPeriod);
    QFETCH(int, piece);

    const QAudioFormat format = MM::deviceAudioFormat(MM::defaultAudioFormat());
    QAudioInput input(format);
    if (bufferSize > 0)
        input.setBufferSize(bufferSize);
    QVERIFY(input.start());
    QCOMPARE(input.periodSize(), expectedPeriod);

    MUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QList<QByteArray> received;
    connect(&receiver, &MUdpSocket::packetReceived, this,
        [&](MAbstractSocket*, MDataType type, const QByteArray& data) {
            if (type == VoiceData)
                received << data;
        });
    MUdpSocket sender;
    sender.setPeerHostAndPort(QHostAddress::LocalHost, receiver.localPort());

    PcmPipe pipe;
    MOpusEncoder encoder(&input, &pipe, format, &sender, 10, 28000, false);
    input.stop(); // the pipe is the only source from here on
    QCOMPARE(encoder.periodBytes(), expectedPeriod);
    QCOMPARE(encoder.opusFrameBytes(), kFrameBytes);

    // Three seconds and a bit, so that a partial frame is left at the end.
    const QByteArray pcm = markedSpeech(4, 3).left(150 * kFrameBytes + 1234);
    for (int offset = 0; offset < pcm.size(); offset += piece)
        pipe.push(pcm.mid(offset, piece));
    // The encoder reads one period per readyRead(); the input keeps signalling.
    for (int i = 0; i < 200 && pipe.bytesAvailable() > 0; ++i)
        emit pipe.readyRead();

    const QList<QByteArray> expected = opusPackets(pcm, 28000, false);
    QCOMPARE(expected.size(), 150);
    QTRY_COMPARE(received.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(int(MAbstractSocket::byteArrayToInt(received.at(i))), i + 1);
        QVERIFY2(received.at(i).mid(4) == expected.at(i), qPrintable(QString::number(i)));
    }
    QCOMPARE(encoder.statisticsObject()->successfulPackets, 150);
}

void TestMOpusEncoder::failedInitialisationSendsNothing()
{
    QAudioFormat format = MM::deviceAudioFormat(MM::defaultAudioFormat());
    QAudioInput input(format);
    QVERIFY(input.start());
    format.setSampleRate(44100); // not a rate the codec accepts
    MUdpSocket sender;
    sender.setPeerHostAndPort(QHostAddress::LocalHost, 9);
    PcmPipe pipe;
    MOpusEncoder encoder(&input, &pipe, format, &sender, 10, 28000, false);
    input.stop();
    QVERIFY(m_log->lines().contains(
        QStringLiteral("MOpusEncoder:: Encoder initialization failed. -1")));
    pipe.push(QByteArray(2 * encoder.opusFrameBytes(), '\0'));
    emit pipe.readyRead();
    QCOMPARE(encoder.statisticsObject()->packetCount, 0);
    QVERIFY(m_log->lines().contains(QStringLiteral("MOpusEncoder:: Encoding error  -3")));
}

void TestMOpusEncoder::anInputThatWasNotStartedSendsNothing()
{
    const QAudioFormat format = MM::deviceAudioFormat(MM::defaultAudioFormat());
    QAudioInput input(format);
    QCOMPARE(input.periodSize(), 0);
    MUdpSocket sender;
    PcmPipe pipe;
    MOpusEncoder encoder(&input, &pipe, format, &sender, 10, 28000, false);
    pipe.push(QByteArray(10 * kFrameBytes, '\0'));
    QCOMPARE(encoder.statisticsObject()->packetCount, 0);
    QCOMPARE(pipe.bytesAvailable(), 10 * kFrameBytes);
}

CLASSROOM_AUDIO_TEST_GUILESS_MAIN(TestMOpusEncoder)
#include "tst_mopusencoder.moc"
