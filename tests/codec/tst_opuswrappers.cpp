#include "childprocess.h"
#include "logcapture.h"
#include "opusdecoderwrapper.h"
#include "opusencoderwrapper.h"

#include <cmath>

#include <sys/resource.h>

#include <QCoreApplication>
#include <QProcess>
#include <QtTest>

#include <opus.h>

namespace {

// Set in a child run of this executable that must die on a bad frame length.
const char kDeathVariable[] = "CLASSROOM_OPUS_BAD_FRAME";

constexpr int kRate = 48000;
constexpr int kFrameBytes = 3840; // 20 ms stereo at 48000 Hz

// Voiced-sounding stereo test signal whose pitch and level change over time,
// so that a lost frame cannot be guessed from the one before it.
QByteArray speechLike(int sampleRate, int channels, int frames, int startFrame = 0)
{
    QByteArray pcm(frames * channels * 2, Qt::Uninitialized);
    qint16* samples = reinterpret_cast<qint16*>(pcm.data());
    for (int i = 0; i < frames; ++i) {
        const double t = double(startFrame + i) / sampleRate;
        const double pitch = 140 + 60 * std::sin(2 * M_PI * 3 * t);
        const double envelope = 0.3 + 0.7 * std::fabs(std::sin(2 * M_PI * 2.5 * t));
        double value = 0;
        for (int harmonic = 1; harmonic <= 8; ++harmonic)
            value += std::sin(2 * M_PI * pitch * harmonic * t) / harmonic;
        for (int c = 0; c < channels; ++c)
            samples[i * channels + c] = qint16(9000 * envelope * value);
    }
    return pcm;
}

double errorEnergy(const QByteArray& a, const QByteArray& b)
{
    const qint16* x = reinterpret_cast<const qint16*>(a.constData());
    const qint16* y = reinterpret_cast<const qint16*>(b.constData());
    double sum = 0;
    for (int i = 0; i < qMin(a.size(), b.size()) / 2; ++i)
        sum += double(x[i] - y[i]) * double(x[i] - y[i]);
    return sum;
}

qint32 encoderSetting(OpusEncoder* encoder, int request)
{
    opus_int32 value = -1;
    opus_encoder_ctl(encoder, request, &value);
    return value;
}

// The child side of the fatal-frame test: encode a frame of the given length.
int encodeBadFrame(const QByteArray& request)
{
    // The abort is expected; leave no core file behind.
    const rlimit noCore { 0, 0 };
    setrlimit(RLIMIT_CORE, &noCore);
    const QList<QByteArray> parts = request.split(',');
    OpusEncoderWrapper encoder(nullptr);
    encoder.initializeEncoder(parts.value(0).toInt(), parts.value(1).toInt(), 10, 28000, false);
    const QByteArray pcm(parts.value(2).toInt(), '\0');
    unsigned char packet[4000];
    encoder.encode(pcm.constData(), pcm.size(), packet, int(sizeof packet));
    return 0;
}

} // namespace

class TestOpusWrappers : public QObject
{
    Q_OBJECT

private slots:
    void initializeEncoderAppliesSettings_data();
    void initializeEncoderAppliesSettings();
    void validFrameSizesRoundTrip_data();
    void validFrameSizesRoundTrip();
    void invalidFrameSizeEndsProcess_data();
    void invalidFrameSizeEndsProcess();
    void uninitialisedCallsFail_data();
    void uninitialisedCallsFail();
    void badCreationArgumentsLeaveWrapperUninitialised_data();
    void badCreationArgumentsLeaveWrapperUninitialised();
    void decodeAndConcealTwentyMilliseconds();
    void forwardErrorCorrectionRebuildsLostFrame();
    void codecErrorsStayNegative();
};

void TestOpusWrappers::initializeEncoderAppliesSettings_data()
{
    QTest::addColumn<bool>("inbandFec");
    QTest::addColumn<int>("expectedFec");

    QTest::newRow("without in-band FEC the codec default stays") << false << 0;
    QTest::newRow("with in-band FEC it is switched on") << true << 1;
}

void TestOpusWrappers::initializeEncoderAppliesSettings()
{
    QFETCH(bool, inbandFec);
    QFETCH(int, expectedFec);

    OpusEncoderWrapper encoder(nullptr);
    LogCapture capture;
    QCOMPARE(encoder.initializeEncoder(kRate, 2, 10, 28000, inbandFec), 0);
    QVERIFY(encoder.handle());

    // The defaults are logged before the settings are applied.
    const QStringList expected { QStringLiteral("OPUS -- 4 2 2 4"),
        QStringLiteral("OPUS -- COMPLEXITY: 9 BITRATE: 120000 LSB DEPTH: 24 INBAND FEC: 0") };
    QCOMPARE(capture.lines(), expected);

    OpusEncoder* state = encoder.handle();
    QCOMPARE(encoderSetting(state, OPUS_GET_COMPLEXITY_REQUEST), 10);
    QCOMPARE(encoderSetting(state, OPUS_GET_BITRATE_REQUEST), 28000);
    QCOMPARE(encoderSetting(state, OPUS_GET_SIGNAL_REQUEST), OPUS_AUTO);
    QCOMPARE(encoderSetting(state, OPUS_GET_LSB_DEPTH_REQUEST), 16);
    QCOMPARE(encoderSetting(state, OPUS_GET_INBAND_FEC_REQUEST), expectedFec);
    QCOMPARE(encoderSetting(state, OPUS_GET_PACKET_LOSS_PERC_REQUEST), 10);
    QCOMPARE(encoderSetting(state, OPUS_GET_APPLICATION_REQUEST), OPUS_APPLICATION_VOIP);
}

void TestOpusWrappers::validFrameSizesRoundTrip_data()
{
    QTest::addColumn<int>("sampleRate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("samplesPerChannel");

    const struct
    {
        const char* name;
        int samples48k;
    } durations[] = { { "2.5 ms", 120 }, { "5 ms", 240 }, { "10 ms", 480 }, { "20 ms", 960 },
        { "40 ms", 1920 }, { "60 ms", 2880 } };
    for (const auto& duration : durations) {
        QTest::addRow("a %s stereo frame at 48000 Hz", duration.name)
            << 48000 << 2 << duration.samples48k;
        QTest::addRow("a %s mono frame at 8000 Hz", duration.name)
            << 8000 << 1 << duration.samples48k / 6;
    }
}

void TestOpusWrappers::validFrameSizesRoundTrip()
{
    QFETCH(int, sampleRate);
    QFETCH(int, channels);
    QFETCH(int, samplesPerChannel);

    OpusEncoderWrapper encoder(nullptr);
    OpusDecoderWrapper decoder(nullptr);
    QCOMPARE(encoder.initializeEncoder(sampleRate, channels, 10, 28000, true), 0);
    QCOMPARE(decoder.initializeDecoder(sampleRate, channels), 0);

    const QByteArray pcm = speechLike(sampleRate, channels, samplesPerChannel);
    unsigned char packet[1500];
    const int packetBytes = encoder.encode(pcm.constData(), pcm.size(), packet, int(sizeof packet));
    QVERIFY2(packetBytes >= 1, qPrintable(QString::number(packetBytes)));
    QVERIFY(packetBytes <= int(sizeof packet));

    QByteArray decoded(5760 * channels * 2, '\0');
    QCOMPARE(decoder.decode(packet, packetBytes, reinterpret_cast<unsigned char*>(decoded.data()),
                 decoded.size()),
        pcm.size());
}

void TestOpusWrappers::invalidFrameSizeEndsProcess_data()
{
    QTest::addColumn<int>("sampleRate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("pcmBytes");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("750 stereo samples at 48000 Hz")
        << 48000 << 2 << 3000 << QStringLiteral("Opus Fatal -- 750 3000");
    QTest::newRow("a 20 ms frame of 48000 Hz given to an 8000 Hz encoder")
        << 8000 << 2 << 3840 << QStringLiteral("Opus Fatal -- 960 3840");
    QTest::newRow("an empty frame") << 48000 << 2 << 0 << QStringLiteral("Opus Fatal -- 0 0");
    QTest::newRow("a 30 ms frame, which the codec does not take")
        << 48000 << 2 << 5760 << QStringLiteral("Opus Fatal -- 1440 5760");
}

void TestOpusWrappers::invalidFrameSizeEndsProcess()
{
    QFETCH(int, sampleRate);
    QFETCH(int, channels);
    QFETCH(int, pcmBytes);
    QFETCH(QString, logLine);

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kDeathVariable),
        QStringLiteral("%1,%2,%3").arg(sampleRate).arg(channels).arg(pcmBytes));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(ChildProcess::waitForEnd(child));

    const QString output = QString::fromLocal8Bit(child.readAllStandardError());
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QVERIFY2(output.contains(logLine), qPrintable(output));
    QVERIFY2(output.contains(QStringLiteral("Opus -- Invalid Frame Size")), qPrintable(output));
    QVERIFY(output.indexOf(logLine) < output.indexOf(QStringLiteral("Opus -- Invalid Frame Size")));
}

void TestOpusWrappers::uninitialisedCallsFail_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("encoding") << QStringLiteral("encode")
                              << QStringLiteral("Opus -- Encoder not initialized.");
    QTest::newRow("decoding") << QStringLiteral("decode")
                              << QStringLiteral("Opus (dec) -- Decoder not initialized.");
    QTest::newRow("decoding FEC") << QStringLiteral("fec")
                                  << QStringLiteral("Opus (fec) -- Decoder not initialized.");
    QTest::newRow("concealing a loss")
        << QStringLiteral("plc") << QStringLiteral("Opus (plc) -- Decoder not initialized.");
}

void TestOpusWrappers::uninitialisedCallsFail()
{
    QFETCH(QString, operation);
    QFETCH(QString, logLine);

    OpusEncoderWrapper encoder(nullptr);
    OpusDecoderWrapper decoder(nullptr);
    QByteArray pcm(kFrameBytes, '\0');
    unsigned char* out = reinterpret_cast<unsigned char*>(pcm.data());
    unsigned char packet[100] = { 0x08 };

    LogCapture capture;
    int result = 0;
    if (operation == QLatin1String("encode"))
        result = encoder.encode(pcm.constData(), pcm.size(), packet, int(sizeof packet));
    else if (operation == QLatin1String("decode"))
        result = decoder.decode(packet, 1, out, pcm.size());
    else if (operation == QLatin1String("fec"))
        result = decoder.decodeFEC(packet, 1, out, pcm.size());
    else
        result = decoder.decodePacketLossConcealment(out, pcm.size());
    QCOMPARE(result, -3);
    QCOMPARE(capture.lines(), QStringList { logLine });
}

void TestOpusWrappers::badCreationArgumentsLeaveWrapperUninitialised_data()
{
    QTest::addColumn<int>("sampleRate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<bool>("initialisedBefore");

    QTest::newRow("an unsupported sample rate") << 44100 << 2 << false;
    QTest::newRow("three channels") << 48000 << 3 << false;
    QTest::newRow("no channels") << 48000 << 0 << false;
    QTest::newRow("a failed re-initialisation drops the earlier codec") << 22050 << 1 << true;
}

void TestOpusWrappers::badCreationArgumentsLeaveWrapperUninitialised()
{
    QFETCH(int, sampleRate);
    QFETCH(int, channels);
    QFETCH(bool, initialisedBefore);

    OpusEncoderWrapper encoder(nullptr);
    OpusDecoderWrapper decoder(nullptr);
    if (initialisedBefore) {
        QCOMPARE(encoder.initializeEncoder(kRate, 2, 10, 28000, false), 0);
        QCOMPARE(decoder.initializeDecoder(kRate, 2), 0);
    }

    QCOMPARE(encoder.initializeEncoder(sampleRate, channels, 10, 28000, false), OPUS_BAD_ARG);
    QCOMPARE(decoder.initializeDecoder(sampleRate, channels), OPUS_BAD_ARG);
    QVERIFY(!encoder.handle());
    QVERIFY(!decoder.handle());

    QByteArray pcm(kFrameBytes, '\0');
    unsigned char packet[100];
    LogCapture capture;
    QCOMPARE(encoder.encode(pcm.constData(), pcm.size(), packet, int(sizeof packet)), -3);
    QCOMPARE(decoder.decodePacketLossConcealment(
                 reinterpret_cast<unsigned char*>(pcm.data()), pcm.size()),
        -3);
    QCOMPARE(capture.lines().size(), 2);
}

void TestOpusWrappers::decodeAndConcealTwentyMilliseconds()
{
    OpusEncoderWrapper encoder(nullptr);
    OpusDecoderWrapper decoder(nullptr);
    QCOMPARE(encoder.initializeEncoder(kRate, 2, 10, 28000, false), 0);
    QCOMPARE(decoder.initializeDecoder(kRate, 2), 0);

    const QByteArray pcm = speechLike(kRate, 2, 960);
    unsigned char packet[1500];
    const int packetBytes = encoder.encode(pcm.constData(), pcm.size(), packet, int(sizeof packet));
    QVERIFY(packetBytes > 0);

    QByteArray decoded(kFrameBytes * 3, '\0');
    unsigned char* out = reinterpret_cast<unsigned char*>(decoded.data());
    QCOMPARE(decoder.decode(packet, packetBytes, out, decoded.size()), kFrameBytes);
    // Concealment fills exactly the duration it is given.
    QByteArray concealed(kFrameBytes, '\0');
    QCOMPARE(decoder.decodePacketLossConcealment(
                 reinterpret_cast<unsigned char*>(concealed.data()), concealed.size()),
        kFrameBytes);
    QVERIFY(concealed != QByteArray(kFrameBytes, '\0'));
}

void TestOpusWrappers::forwardErrorCorrectionRebuildsLostFrame()
{
    OpusEncoderWrapper encoder(nullptr);
    QCOMPARE(encoder.initializeEncoder(kRate, 2, 10, 28000, true), 0);
    OpusDecoderWrapper reference(nullptr);
    OpusDecoderWrapper withFec(nullptr);
    OpusDecoderWrapper withPlc(nullptr);
    for (OpusDecoderWrapper* decoder : { &reference, &withFec, &withPlc })
        QCOMPARE(decoder->initializeDecoder(kRate, 2), 0);

    constexpr int kLost = 30;
    double fecError = 0;
    double plcError = 0;
    double signalEnergy = 0;
    QByteArray lostPacket;
    for (int frame = 0; frame <= kLost + 1; ++frame) {
        const QByteArray pcm = speechLike(kRate, 2, 960, frame * 960);
        unsigned char packet[1500];
        const int packetBytes
            = encoder.encode(pcm.constData(), pcm.size(), packet, int(sizeof packet));
        QVERIFY(packetBytes > 0);

        QByteArray expected(kFrameBytes, '\0');
        QCOMPARE(reference.decode(packet, packetBytes,
                     reinterpret_cast<unsigned char*>(expected.data()), kFrameBytes),
            kFrameBytes);
        QByteArray rebuilt(kFrameBytes, '\0');
        QByteArray concealed(kFrameBytes, '\0');
        unsigned char* rebuiltOut = reinterpret_cast<unsigned char*>(rebuilt.data());
        unsigned char* concealedOut = reinterpret_cast<unsigned char*>(concealed.data());
        if (frame == kLost) {
            lostPacket = expected;
            continue; // this packet never arrives
        }
        if (frame == kLost + 1) {
            // The lost frame is rebuilt from the redundancy in the next packet.
            QCOMPARE(withFec.decodeFEC(packet, packetBytes, rebuiltOut, kFrameBytes), kFrameBytes);
            QCOMPARE(withPlc.decodePacketLossConcealment(concealedOut, kFrameBytes), kFrameBytes);
            fecError = errorEnergy(rebuilt, lostPacket);
            plcError = errorEnergy(concealed, lostPacket);
            signalEnergy = errorEnergy(lostPacket, QByteArray(kFrameBytes, '\0'));
        }
        QCOMPARE(withFec.decode(packet, packetBytes, rebuiltOut, kFrameBytes), kFrameBytes);
        QCOMPARE(withPlc.decode(packet, packetBytes, concealedOut, kFrameBytes), kFrameBytes);
    }
    qDebug("FEC error %.3g, concealment error %.3g, signal %.3g", fecError, plcError, signalEnergy);
    QVERIFY(signalEnergy > 0);
    QVERIFY2(fecError < 0.5 * signalEnergy, "the rebuilt frame does not resemble the lost one");
    QVERIFY2(fecError < 0.5 * plcError, "FEC is no better than concealment");
}

void TestOpusWrappers::codecErrorsStayNegative()
{
    OpusEncoderWrapper encoder(nullptr);
    OpusDecoderWrapper decoder(nullptr);
    QCOMPARE(encoder.initializeEncoder(kRate, 2, 10, 28000, false), 0);
    QCOMPARE(decoder.initializeDecoder(kRate, 2), 0);

    const QByteArray pcm = speechLike(kRate, 2, 960);
    unsigned char packet[1500];
    // No room for a packet: the codec's own error comes back unchanged.
    QCOMPARE(encoder.encode(pcm.constData(), pcm.size(), packet, 0), OPUS_BAD_ARG);

    // A code-3 packet announcing no frames is malformed; the decoder's error
    // comes back scaled by the frame size and therefore still negative.
    const unsigned char corrupt[] = { 0x03, 0x00 };
    QByteArray out(kFrameBytes, '\0');
    QCOMPARE(decoder.decode(corrupt, int(sizeof corrupt),
                 reinterpret_cast<unsigned char*>(out.data()), out.size()),
        OPUS_INVALID_PACKET * 4);
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet(kDeathVariable))
        return encodeBadFrame(qgetenv(kDeathVariable));
    QCoreApplication app(argc, argv);
    TestOpusWrappers test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_opuswrappers.moc"
