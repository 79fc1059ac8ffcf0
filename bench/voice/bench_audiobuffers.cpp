// Output underruns of podium's playback path (MVoicePlayback with the advanced
// decoder) for several output buffer sizes, side by side in one run, each for
// a few seconds of speech at real-time pace while one thread of this process
// spins as a CPU hog. Run inside a private audio server (tools/bench.sh).

#include "audiobuffers.h"
#include "benchcommon.h"
#include "mm.h"
#include "mopusadvanceddecoder.h"
#include "mvoiceplayback.h"
#include "voicetestdata.h"

#include <atomic>
#include <cstdio>
#include <thread>

#include <QAudioOutput>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

namespace {

constexpr int kSeconds = 8;

// Plays the packets at 50 per second; the output's buffer is `bufferMs` (our
// setting when -1, Qt's default when 0). Returns the underruns seen.
int run(const QList<QByteArray>& packets, int bufferMs, int* bufferBytes)
{
    if (bufferMs == 0)
        qputenv(AudioBuffers::kEnvironmentVariable, AudioBuffers::kQtDefaultValue);
    MVoicePlayback playback(MM::defaultAudioFormat(),
        [](QAudioOutput* output, QIODevice* device, const QAudioFormat& format, QObject* parent) {
            return new MOpusAdvancedDecoder(output, device, format, parent);
        });
    if (bufferMs > 0) {
        // A size of this run's own, set where the playback object would.
        QAudioOutput* output = playback.audioOutput();
        output->setBufferSize(output->format().bytesForDuration(bufferMs * 1000));
        qputenv(AudioBuffers::kEnvironmentVariable, AudioBuffers::kQtDefaultValue);
    }
    playback.start();
    qunsetenv(AudioBuffers::kEnvironmentVariable);
    *bufferBytes = playback.audioOutput()->bufferSize();

    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    QTimer sender;
    sender.setTimerType(Qt::PreciseTimer);
    sender.setInterval(5);
    QObject::connect(&sender, &QTimer::timeout, [&] {
        const qint64 due = clock.elapsed() / 20;
        while (sent < due && sent < packets.size())
            playback.voicePacketReceived(packets.at(sent++));
        if (sent == packets.size())
            loop.quit();
    });
    sender.start();
    loop.exec();
    const int underruns = playback.underruns();
    playback.stop();
    return underruns;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QByteArray speech = VoiceBench::speech();
    if (speech.isEmpty()) {
        std::fprintf(stderr, "bench_audiobuffers: no test speech\n");
        return 1;
    }
    QByteArray pcm;
    while (pcm.size() < kSeconds * 50 * VoiceBench::kFrameBytes)
        pcm += speech;
    const QList<QByteArray> packets
        = VoiceTestData::voicePackets(pcm.left(kSeconds * 50 * VoiceBench::kFrameBytes));

    std::atomic<bool> stop { false };
    std::thread hog([&stop] {
        volatile unsigned long spin = 0;
        while (!stop.load(std::memory_order_relaxed))
            spin = spin + 1;
    });

    struct Row
    {
        const char* name;
        int bufferMs;
    };
    const Row rows[] = { { "40ms", 40 }, { "60ms", 60 }, { "ours", -1 }, { "qt_default", 0 } };
    for (const Row& row : rows) {
        int bytes = 0;
        const int underruns = run(packets, row.bufferMs, &bytes);
        std::printf("audio_output_buffer_%s: %.0f ms\n", row.name, bytes / 192.0);
        std::printf("audio_output_underruns_%s: %d per %d s\n", row.name, underruns, kSeconds);
        std::fflush(stdout);
    }
    stop = true;
    hog.join();
    return 0;
}
