// One student in a class run by the teacher console stand-in (a child
// process): how long the console's voice takes from the network to the
// student's speaker with the default decoder, found by correlating what the
// private audio server played with the speech sent; and the CPU the student
// process spends per second of voice, against bare libopus decoding the same
// packets in the same run. Prints "name: value unit" lines.

#include "audioharness.h"
#include "cmainwindow.h"
#include "freeport.h"
#include "mvoiceplayback.h"
#include "opusencoderwrapper.h"
#include "studentconfig.h"
#include "teacherconsole.h"

#include <opus.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include <sys/resource.h>

namespace {

constexpr int kBytesPerSecond = AudioHarness::kSampleRate * AudioHarness::kBytesPerFrame;
constexpr int kFrameBytes = TeacherConsole::kFrameBytes;
volatile int g_sink = 0;

void quietHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    // The student's diagnostics would cost more than its voice; only faults show.
    static const bool verbose = qEnvironmentVariableIsSet("BENCH_STUDENT_VERBOSE");
    if (!verbose && (type == QtDebugMsg || type == QtInfoMsg))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

double processCpuMs()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec * 1000.0 + usage.ru_utime.tv_usec / 1000.0
        + usage.ru_stime.tv_sec * 1000.0 + usage.ru_stime.tv_usec / 1000.0;
}

QByteArray wavFile(const QByteArray& pcm)
{
    QByteArray header(44, '\0');
    char* h = header.data();
    memcpy(h, "RIFF", 4);
    qToLittleEndian<quint32>(quint32(36 + pcm.size()), h + 4);
    memcpy(h + 8, "WAVEfmt ", 8);
    qToLittleEndian<quint32>(16, h + 16);
    qToLittleEndian<quint16>(1, h + 20);
    qToLittleEndian<quint16>(2, h + 22);
    qToLittleEndian<quint32>(48000, h + 24);
    qToLittleEndian<quint32>(kBytesPerSecond, h + 28);
    qToLittleEndian<quint16>(4, h + 32);
    qToLittleEndian<quint16>(16, h + 34);
    memcpy(h + 36, "data", 4);
    qToLittleEndian<quint32>(quint32(pcm.size()), h + 40);
    return header + pcm;
}

// CPU ms that bare libopus needs to decode the console's packets of `pcm`.
double bareDecodeMs(const QByteArray& pcm, int rounds)
{
    OpusEncoderWrapper encoder;
    encoder.initializeEncoder(TeacherConsole::kSampleRate, TeacherConsole::kChannels,
        TeacherConsole::kComplexity, TeacherConsole::kBitrate, TeacherConsole::kInbandFec);
    std::vector<QByteArray> packets;
    unsigned char packet[4000];
    for (int offset = 0; offset + kFrameBytes <= pcm.size(); offset += kFrameBytes) {
        const int n = encoder.encode(pcm.constData() + offset, kFrameBytes, packet, sizeof packet);
        packets.emplace_back(reinterpret_cast<const char*>(packet), qMax(n, 0));
    }
    double best = 1e12;
    std::vector<opus_int16> out(kFrameBytes / 2);
    for (int round = 0; round < rounds; ++round) {
        int error = 0;
        OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
        const double start = processCpuMs();
        for (const QByteArray& p : packets)
            g_sink += opus_decode(decoder, reinterpret_cast<const unsigned char*>(p.constData()),
                p.size(), out.data(), int(out.size() / 2), 0);
        best = qMin(best, processCpuMs() - start);
        opus_decoder_destroy(decoder);
    }
    return best;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler(quietHandler);
    int seconds = 12;
    const QStringList arguments = QCoreApplication::arguments();
    const int at = arguments.indexOf(QStringLiteral("--seconds"));
    if (at > 0 && at + 1 < arguments.size())
        seconds = qMax(4, arguments.at(at + 1).toInt());

    QFile speechFile(QStringLiteral(CLASSROOM_SPEECH_RAW));
    if (!speechFile.open(QIODevice::ReadOnly) || !AudioHarness::isRunning()) {
        std::fprintf(stderr, "bench_student: needs the test speech and a private audio server\n");
        return 1;
    }
    const QByteArray source = speechFile.readAll();
    QByteArray speech;
    while (speech.size() < seconds * kBytesPerSecond)
        speech += source;
    speech.truncate(seconds * kBytesPerSecond / kFrameBytes * kFrameBytes);

    QTemporaryDir dir;
    const QString wav = dir.filePath(QStringLiteral("speech.wav"));
    QFile wavOut(wav);
    if (!wavOut.open(QIODevice::WriteOnly) || wavOut.write(wavFile(speech)) < 0)
        return 1;
    wavOut.close();

    const quint16 port = freePort();
    QProcess console;
    console.setProcessChannelMode(QProcess::SeparateChannels);
    console.start(QStringLiteral(CLASSROOM_TEACHER_CONSOLE),
        { QStringLiteral("-l127.0.0.1:%1").arg(port), QStringLiteral("-w") + wav });
    if (!console.waitForStarted(10000))
        return 1;
    QByteArray consoleOut;
    auto consoleSaid = [&](const char* text) {
        consoleOut += console.readAllStandardOutput();
        return consoleOut.contains(text);
    };
    QDeadlineTimer listening(10000);
    while (!consoleSaid("students connect to") && !listening.hasExpired())
        console.waitForReadyRead(100);

    StudentConfig config;
    config.serverTcpAddress = config.serverUdpAddress = QHostAddress(QHostAddress::LocalHost);
    config.serverTcpPort = config.serverUdpPort = port;
    config.localListenAddress = QHostAddress(QHostAddress::LocalHost);
    config.localListenPort = 0;
    config.identity = QStringLiteral("bench");
    CMainWindow window(config);
    window.show();
    QDeadlineTimer joined(20000);
    while (!consoleSaid("joined: bench") && !joined.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!joined.remainingTime()) {
        std::fprintf(stderr, "bench_student: the student was not admitted\n");
        return 1;
    }

    const double cpuStart = processCpuMs();
    const qint64 captureStart = AudioHarness::sinkCaptureSize();
    console.write("play\n");
    const qint64 wanted = speech.size() + 2 * kBytesPerSecond;
    AudioHarness::waitForSinkCapture(captureStart + wanted, (seconds + 30) * 1000);
    const double cpuMs = processCpuMs() - cpuStart;

    const QByteArray ear = AudioHarness::readSinkCapture(captureStart, wanted);
    std::vector<double> delays;
    for (int second = 1; second + 2 < seconds; second += qMax(1, (seconds - 3) / 4)) {
        const int start = second * kBytesPerSecond;
        const AudioHarness::Match match
            = AudioHarness::findSignal(ear, speech.mid(start, kBytesPerSecond));
        if (match.score > 0.5)
            delays.push_back(1000.0 * double(match.offset - start) / kBytesPerSecond);
    }
    console.write("quit\n");
    console.waitForFinished(5000);

    const double voiceSeconds = double(speech.size()) / kBytesPerSecond;
    const double bareMs = bareDecodeMs(speech, 3);
    // The window's wall time includes the 2 s after the speech; count it per
    // second of voice all the same (the student is idle then).
    std::printf("student_cpu_per_voice_second: %.2f ms\n", cpuMs / voiceSeconds);
    std::printf("bare_opus_decode_per_voice_second: %.2f ms\n", bareMs / voiceSeconds);
    std::printf("student_cpu_vs_bare_decode: %.1f x\n", cpuMs / qMax(bareMs, 0.001));
    // Underruns mean a starved machine; the delay figures then grow with them.
    std::printf("student_output_underruns: %d count\n", window.voicePlayback()->underruns());
    std::fflush(stdout);
    if (delays.empty()) {
        std::fprintf(stderr, "bench_student: the speech was not found in the speaker output\n");
        return 1;
    }
    std::sort(delays.begin(), delays.end());
    std::printf("student_console_to_speaker_delay_median: %.1f ms\n", delays[delays.size() / 2]);
    std::printf("student_console_to_speaker_delay_min: %.1f ms\n", delays.front());
    std::printf("student_console_to_speaker_delay_max: %.1f ms\n", delays.back());
    return 0;
}
