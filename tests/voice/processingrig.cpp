#include "processingrig.h"

#include "audiobuffers.h"
#include "mencoder.h"
#include "mm.h"
#include "mopusadvanceddecoder.h"
#include "mvoicecapture.h"
#include "mvoiceplayback.h"
#include "mvoiceprocessor.h"
#include "sourcefeeder.h"
#include "voicetestdata.h"

#include <algorithm>
#include <cmath>

#include <QAudioInput>
#include <QAudioOutput>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>
#include <QtEndian>

namespace ProcessingRig {

namespace {

constexpr int kFrameBytes = 3840;

// Keeps what the capture path hands it: the encoder's place, without a codec.
class PcmRecorder : public MEncoder
{
public:
    PcmRecorder(QIODevice* input, const QAudioFormat& format, Result* out,
        const QElapsedTimer* clock, QObject* parent)
        : MEncoder(input, format, nullptr, parent), m_out(out), m_clock(clock)
    { }

protected:
    void sendAvailableVoice() override
    {
        const QByteArray pcm = inputDevice->readAll();
        if (pcm.isEmpty())
            return;
        m_out->sent.append(pcm);
        m_out->sentArrivals << Arrival { m_clock->elapsed(), int(m_out->sent.size()) };
    }

private:
    Result* m_out;
    const QElapsedTimer* m_clock;
};

QString pactl(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        return QString();
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// The server's speaker looped back into its microphone; returns the module.
QString loadEcho(int volumePercent)
{
    const QString module = pactl({ QStringLiteral("load-module"), QStringLiteral("module-loopback"),
        QStringLiteral("source=pipesink.monitor"), QStringLiteral("sink=micsink"),
        QStringLiteral("latency_msec=40") });
    if (module.isEmpty())
        return module;
    const QStringList inputs
        = pactl({ QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sink-inputs") })
              .split(QLatin1Char('\n'));
    for (const QString& line : inputs) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        // Short listing: index, sink, client, driver, sample format.
        if (fields.size() > 3 && fields.at(3).startsWith(QLatin1String("module-loopback")))
            pactl({ QStringLiteral("set-sink-input-volume"), fields.at(0),
                QString::number(volumePercent) + QLatin1Char('%') });
    }
    return module;
}

qint16 sampleAt(const QByteArray& pcm, int i)
{
    return qFromLittleEndian<qint16>(pcm.constData() + 2 * i);
}

} // namespace

Result run(const Run& settings)
{
    Result result;
    if (settings.environmentOff)
        qputenv(VoiceProcessing::kEnvironmentVariable, VoiceProcessing::kOffValue);
    else
        qunsetenv(VoiceProcessing::kEnvironmentVariable);

    const QList<QByteArray> packets = VoiceTestData::voicePackets(settings.farEnd);
    const QString echoModule = packets.isEmpty() ? QString() : loadEcho(settings.echoVolumePercent);
    if (!packets.isEmpty() && echoModule.isEmpty())
        return result;

    const QAudioFormat format = MM::defaultAudioFormat();
    MVoicePlayback playback(format,
        [](QAudioOutput* output, QIODevice* device, const QAudioFormat& f, QObject* parent) {
            return new MOpusAdvancedDecoder(output, device, f, parent);
        });
    MVoiceCapture capture(format);
    capture.setProcessingSettings(settings.settings);
    // Tapped, and played as an output whose echo is cancelled, with the
    // processing off too (the capture has no processor to hand it to then):
    // both runs play from the same output buffer, and the echo path can be
    // measured in the run that keeps its echo.
    playback.setFarEndTapped(true);
    playback.setEchoCancelled(true);
    QObject::connect(
        &playback, &MVoicePlayback::farEndPlayed, &capture, &MVoiceCapture::farEndPlayed);
    QElapsedTimer stamps;
    stamps.start();
    QObject::connect(&playback, &MVoicePlayback::farEndPlayed, [&](const QByteArray& pcm, int) {
        result.farEnd.append(pcm);
        result.farEndArrivals << Arrival { stamps.elapsed(), int(result.farEnd.size()) };
    });

    SourceFeeder feeder;
    if (!feeder.start(settings.microphone, false))
        return result;
    if (!packets.isEmpty())
        playback.start();
    capture.start([&](QAudioInput*, QIODevice* device, const QAudioFormat& f, QObject* parent) {
        return new PcmRecorder(device, f, &result, &stamps, parent);
    });

    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    int played = 0;
    qint64 nextDelaySample = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        const qint64 due = (now - settings.farEndAtMs) / 20;
        while (played < due && played < packets.size())
            playback.voicePacketReceived(packets.at(played++));
        if (now >= nextDelaySample) {
            nextDelaySample += 100;
            const MVoiceProcessor* processor = capture.processor();
            if (processor && processor->lastStreamDelayMs() >= 0)
                result.streamDelaysMs << processor->lastStreamDelayMs();
            if (processor
                && processor->echoDelayEstimate().medianMs != MVoiceProcessor::kNoEstimate)
                result.estimatedDelaysMs << processor->echoDelayEstimate().medianMs;
        }
        if (now >= settings.durationMs)
            loop.quit();
    });
    tick.start();
    loop.exec();
    result.underruns = playback.underruns();
    result.overruns = capture.overruns();
    capture.stop();
    playback.stop();
    feeder.stop();
    if (!echoModule.isEmpty())
        pactl({ QStringLiteral("unload-module"), echoModule });
    qunsetenv(VoiceProcessing::kEnvironmentVariable);
    result.ok = !result.sent.isEmpty();
    return result;
}

namespace {

// When each 10 ms envelope frame of a recorded stream was complete.
QVector<qint64> frameTimes(const QVector<Arrival>& arrivals, int frames)
{
    QVector<qint64> times;
    const int frameBytes = 10 * kBytesPerMs;
    int a = 0;
    for (int i = 0; i < frames; ++i) {
        while (a < arrivals.size() && arrivals.at(a).endByte < (i + 1) * frameBytes)
            ++a;
        times << (a < arrivals.size() ? arrivals.at(a).atMs : -1);
    }
    return times;
}

} // namespace

QVector<int> echoPathDelaysMs(const Result& result)
{
    constexpr int kWindow = 100; // frames: one second
    constexpr int kMaxLag = 40; // frames: the echo comes at most 400 ms later
    const QVector<double> far = envelope(result.farEnd);
    const QVector<double> sent = envelope(result.sent);
    const QVector<qint64> farAt = frameTimes(result.farEndArrivals, far.size());
    const QVector<qint64> sentAt = frameTimes(result.sentArrivals, sent.size());
    QVector<int> delays;
    for (int w = 0; w + kWindow <= far.size(); w += kWindow / 2) {
        const QVector<double> window = far.mid(w, kWindow);
        // Far-end speech, not the silence around it.
        if (farAt.at(w) < 0
            || activeRms(result.farEnd.mid(w * 10 * kBytesPerMs, kWindow * 10 * kBytesPerMs)) <= 0)
            continue;
        int first = 0;
        while (first < sentAt.size() && (sentAt.at(first) < 0 || sentAt.at(first) < farAt.at(w)))
            ++first;
        // The echo of frame w is in a sent frame that arrived after w was
        // handed over; allow the arrival times a few frames of slack.
        const int from = qMax(0, first - 5);
        if (from + kMaxLag + kWindow > sent.size())
            break;
        int best = -1;
        // Below this no echo was found, or the near end talks over it.
        double bestScore = 0.8;
        for (int lag = 0; lag <= kMaxLag; ++lag) {
            const double score = correlation(window, sent.mid(from + lag, kWindow));
            if (score > bestScore) {
                bestScore = score;
                best = lag;
            }
        }
        const int mid = kWindow / 2;
        if (best >= 0 && sentAt.at(from + best + mid) >= 0 && farAt.at(w + mid) >= 0)
            delays << int(sentAt.at(from + best + mid) - farAt.at(w + mid));
    }
    return delays;
}

QByteArray soxNoise(const char* kind, int ms)
{
    QProcess sox;
    sox.start(QStringLiteral("sox"),
        { QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("48000"), QStringLiteral("-c"),
            QStringLiteral("2"), QStringLiteral("-b"), QStringLiteral("16"), QStringLiteral("-e"),
            QStringLiteral("signed-integer"), QStringLiteral("-t"), QStringLiteral("raw"),
            QStringLiteral("-"), QStringLiteral("synth"), QString::number(ms / 1000.0),
            QLatin1String(kind), QStringLiteral("vol"), QStringLiteral("0.5") });
    if (!sox.waitForFinished(30000) || sox.exitCode() != 0)
        return QByteArray();
    const QByteArray pcm = sox.readAllStandardOutput();
    return pcm.left(pcm.size() / 4 * 4);
}

QByteArray silence(int ms)
{
    return QByteArray(ms * kBytesPerMs, '\0');
}

QByteArray scaled(const QByteArray& pcm, double gain)
{
    QByteArray out(pcm.size() / 2 * 2, Qt::Uninitialized);
    for (int i = 0; i < out.size() / 2; ++i) {
        const long v = std::lround(sampleAt(pcm, i) * gain);
        qToLittleEndian<qint16>(qint16(qBound(-32768L, v, 32767L)), out.data() + 2 * i);
    }
    return out;
}

QByteArray mixed(const QByteArray& a, const QByteArray& b)
{
    const int samples = qMax(a.size(), b.size()) / 2;
    QByteArray out(samples * 2, Qt::Uninitialized);
    for (int i = 0; i < samples; ++i) {
        const int v
            = (2 * i < a.size() ? sampleAt(a, i) : 0) + (2 * i < b.size() ? sampleAt(b, i) : 0);
        qToLittleEndian<qint16>(qint16(qBound(-32768, v, 32767)), out.data() + 2 * i);
    }
    return out;
}

QByteArray withNoise(const QByteArray& speech, const QByteArray& noise, double snrDb)
{
    const double gain = activeRms(speech) / qMax(1.0, rmsOf(noise)) / std::pow(10.0, snrDb / 20.0);
    return mixed(speech, scaled(noise.left(speech.size()), gain));
}

QVector<double> envelope(const QByteArray& pcm, int frameMs)
{
    const int frameSamples = frameMs * kBytesPerMs / 2;
    QVector<double> env;
    for (int start = 0; start + frameSamples <= pcm.size() / 2; start += frameSamples) {
        double sum = 0;
        for (int i = 0; i < frameSamples; ++i) {
            const double s = sampleAt(pcm, start + i);
            sum += s * s;
        }
        env << std::sqrt(sum / frameSamples);
    }
    return env;
}

double dbfs(double rms)
{
    return 20.0 * std::log10(qMax(rms, 1e-3) / 32768.0);
}

double rmsOf(const QByteArray& pcm)
{
    double sum = 0;
    const int samples = pcm.size() / 2;
    for (int i = 0; i < samples; ++i) {
        const double s = sampleAt(pcm, i);
        sum += s * s;
    }
    return samples > 0 ? std::sqrt(sum / samples) : 0.0;
}

double activeRms(const QByteArray& pcm)
{
    double sum = 0;
    int n = 0;
    for (double v : envelope(pcm)) {
        if (dbfs(v) >= -45.0) {
            sum += v * v;
            ++n;
        }
    }
    return n > 0 ? std::sqrt(sum / n) : 0.0;
}

double correlation(const QVector<double>& a, const QVector<double>& b, int lag)
{
    const int n = qMin(a.size(), b.size() - lag);
    if (n < 2 || lag < 0)
        return 0.0;
    double ma = 0, mb = 0;
    for (int i = 0; i < n; ++i) {
        ma += a[i];
        mb += b[i + lag];
    }
    ma /= n;
    mb /= n;
    double sab = 0, saa = 0, sbb = 0;
    for (int i = 0; i < n; ++i) {
        const double x = a[i] - ma, y = b[i + lag] - mb;
        sab += x * y;
        saa += x * x;
        sbb += y * y;
    }
    return saa > 0 && sbb > 0 ? sab / std::sqrt(saa * sbb) : 0.0;
}

int bestLag(const QVector<double>& a, const QVector<double>& b, int maxLag)
{
    int best = 0;
    double bestScore = -2;
    for (int lag = 0; lag <= maxLag; ++lag) {
        const double score = correlation(a, b, lag);
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

QByteArray alignedTo(const QByteArray& reference, const QByteArray& recorded, int maxLagMs)
{
    const int lag = bestLag(envelope(reference, 1), envelope(recorded, 1), maxLagMs);
    return recorded.mid(lag * kBytesPerMs);
}

QVector<int> activeFrames(const QByteArray& clean)
{
    const QVector<double> env = envelope(clean);
    QVector<int> frames;
    for (int i = 0; i < env.size(); ++i) {
        if (dbfs(env[i]) >= -45.0)
            frames << i;
    }
    return frames;
}

QVector<int> pauseFrames(const QByteArray& clean)
{
    const QVector<double> env = envelope(clean);
    QVector<int> frames;
    constexpr int kGuard = 10;
    for (int i = kGuard; i + kGuard < env.size(); ++i) {
        bool quiet = true;
        for (int j = i - kGuard; quiet && j <= i + kGuard; ++j)
            quiet = dbfs(env[j]) < -50.0;
        if (quiet)
            frames << i;
    }
    return frames;
}

double noiseFloorDbfs(const QByteArray& pcm, int fromFrame, int toFrame)
{
    const QVector<double> env = envelope(pcm);
    QVector<double> levels;
    for (int i = qMax(0, fromFrame); i < qMin(toFrame, int(env.size())); ++i)
        levels << dbfs(env[i]);
    if (levels.isEmpty())
        return 0.0;
    std::sort(levels.begin(), levels.end());
    return levels.at(levels.size() / 10);
}

double rmsOverFrames(const QByteArray& sent, const QVector<int>& frames, int lag)
{
    const QVector<double> env = envelope(sent);
    double sum = 0;
    int n = 0;
    for (int f : frames) {
        if (f + lag >= 0 && f + lag < env.size()) {
            sum += env[f + lag] * env[f + lag];
            ++n;
        }
    }
    return n > 0 ? std::sqrt(sum / n) : 0.0;
}

} // namespace ProcessingRig
