// What the microphone's voice processing does and costs, through the real
// capture and playback objects on the private audio server (tools/bench.sh):
// steady pink and brown noise at 5 dB SNR, the window's own output looped back
// into its microphone, a quiet talker, each with processing on and off side by
// side in one run; then the CPU of the processing per 20 ms frame against the
// Opus encode of the same frame, offline; and, offline too, what each
// suppression level and gain setting of the module does to the same noisy
// speech, which shows what the settings podium uses trade.

#include "mvoiceprocessor.h"
#include "opusencoderwrapper.h"
#include "processingrig.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

using namespace ProcessingRig;

namespace {

constexpr int kFrame = 3840; // 20 ms

QByteArray speechPart(const QByteArray& speech, int fromMs, int ms)
{
    return speech.mid(fromMs * kBytesPerMs, ms * kBytesPerMs);
}

// Correlations (no unit) differ in their second decimal: three are printed.
void print(const char* name, double value, const char* unit)
{
    std::printf(*unit ? "%s: %.2f %s\n" : "%s: %.3f%s\n", name, value, unit);
    std::fflush(stdout);
}

void print(const QByteArray& name, double value, const char* unit)
{
    print(name.constData(), value, unit);
}

// An envelope on a level scale (dBFS, floor -60), as the ear weighs it.
QVector<double> inDb(const QVector<double>& env)
{
    QVector<double> out;
    for (double v : env)
        out << qMax(-60.0, dbfs(v));
    return out;
}

Result runOrFail(const Run& run, const char* what)
{
    Result result = ProcessingRig::run(run);
    if (!result.ok)
        std::fprintf(stderr, "bench_voiceprocessing: the %s run recorded nothing\n", what);
    return result;
}

// Noise in the speech pauses and envelope correlation, processing on and off.
bool noise(const QByteArray& speech, const char* kind, const char* name)
{
    const QByteArray clean = speechPart(speech, 0, 9000);
    const QByteArray noisy = withNoise(clean, soxNoise(kind, 9000), 5.0);
    if (noisy.size() < clean.size())
        return false;
    // The first two seconds let the suppressor learn the noise.
    QVector<int> pauses;
    for (int f : pauseFrames(clean)) {
        if (f >= 200)
            pauses << f;
    }
    // Off, the noise suppressor alone, and everything on: the envelope
    // correlation on the linear scale hardly sees a steady noise floor, but
    // does see any change to the speech itself (the suppressor's on weak
    // speech, the gain control's levelling), so its cause is shown apart.
    enum { Off, SuppressionOnly, On, Runs };
    double level[Runs], corr[Runs], corrDb[Runs];
    for (int r = 0; r < Runs; ++r) {
        Run run;
        run.settings = VoiceProcessing::allOn();
        if (r == SuppressionOnly)
            run.settings = VoiceProcessing::Settings { true, false, false };
        run.environmentOff = r == Off;
        run.microphone = noisy;
        run.durationMs = 10500;
        const Result result = runOrFail(run, kind);
        if (!result.ok)
            return false;
        const QVector<double> ref = envelope(clean);
        const QByteArray aligned = alignedTo(clean, result.sent, 1500);
        const QVector<double> sent = envelope(aligned);
        level[r] = dbfs(rmsOverFrames(aligned, pauses, 0));
        corr[r] = correlation(ref.mid(200), sent, 200);
        corrDb[r] = correlation(inDb(ref.mid(200)), inDb(sent), 200);
    }
    const QByteArray prefix = QByteArray("noise_") + name;
    print(QByteArray(prefix + "_pause_level_off"), level[Off], "dBFS");
    print(QByteArray(prefix + "_pause_level_on"), level[On], "dBFS");
    print(QByteArray(prefix + "_pause_reduction"), level[Off] - level[On], "dB");
    print(QByteArray(prefix + "_pause_reduction_suppression_only"),
        level[Off] - level[SuppressionOnly], "dB");
    print(QByteArray(prefix + "_envelope_correlation_off"), corr[Off], "");
    print(QByteArray(prefix + "_envelope_correlation_on"), corr[On], "");
    print(QByteArray(prefix + "_envelope_correlation_suppression_only"), corr[SuppressionOnly], "");
    print(QByteArray(prefix + "_db_envelope_correlation_off"), corrDb[Off], "");
    print(QByteArray(prefix + "_db_envelope_correlation_on"), corrDb[On], "");
    print(QByteArray(prefix + "_db_envelope_correlation_suppression_only"), corrDb[SuppressionOnly],
        "");
    std::printf("noise_%s_pause_frames: %d frames\n", name, int(pauses.size()));
    return true;
}

bool echo(const QByteArray& speech)
{
    // Far end from 0.5 s to 8.5 s; the near-end talker from 5.5 s to 10.5 s:
    // far end alone until 5.5 s, both talking until 8.5 s.
    const QByteArray far = speechPart(speech, 0, 8000);
    const QByteArray near = scaled(speechPart(speech, 15000, 5000), 0.7);
    double farOnly[2], corr[2];
    QVector<int> delays, estimates, path[2];
    int underruns[2], overruns[2];
    for (int on = 0; on < 2; ++on) {
        Run run;
        run.settings = VoiceProcessing::allOn();
        run.environmentOff = !on;
        run.microphone = silence(5500) + near;
        run.farEnd = far;
        run.farEndAtMs = 500;
        run.durationMs = 11000;
        const Result result = runOrFail(run, "echo");
        if (!result.ok)
            return false;
        // Far end alone in what was sent: 2.5 s to 5.3 s (the first two
        // seconds of echo let the canceller converge).
        // Digital silence reads as one 16-bit step: the ERLE is then a
        // lower bound, not a division by zero.
        farOnly[on]
            = dbfs(qMax(1.0, rmsOf(result.sent.mid(2500 * kBytesPerMs, 2800 * kBytesPerMs))));
        const QVector<double> ref = envelope(near);
        const QVector<double> sent = envelope(result.sent).mid(500);
        const int lag = bestLag(ref, sent, 150);
        corr[on] = correlation(ref.mid(0, 300), sent, lag);
        path[on] = echoPathDelaysMs(result);
        underruns[on] = result.underruns;
        overruns[on] = result.overruns;
        if (on) {
            delays = result.streamDelaysMs;
            estimates = result.estimatedDelaysMs;
        }
    }
    print("echo_far_end_only_level_off", farOnly[0], "dBFS");
    print("echo_far_end_only_level_on", farOnly[1], "dBFS");
    print("echo_erle", farOnly[0] - farOnly[1], "dB");
    print("echo_double_talk_near_end_correlation_off", corr[0], "");
    print("echo_double_talk_near_end_correlation_on", corr[1], "");
    if (!delays.isEmpty()) {
        std::sort(delays.begin(), delays.end());
        print("echo_stream_delay_fed_median", delays.at(delays.size() / 2), "ms");
        print("echo_stream_delay_fed_min", delays.first(), "ms");
        print("echo_stream_delay_fed_max", delays.last(), "ms");
    }
    // The echo path is measured where the echo is still there to be found:
    // in the run with the processing off, through the same devices.
    if (!path[0].isEmpty()) {
        std::sort(path[0].begin(), path[0].end());
        print("echo_path_delay_measured_median", path[0].at(path[0].size() / 2), "ms");
        print("echo_path_delay_measured_spread", path[0].last() - path[0].first(), "ms");
    }
    const char* runName[2] = { "off", "on" };
    for (int on = 0; on < 2; ++on) {
        print(QByteArray("echo_output_underruns_") + runName[on], underruns[on], "");
        print(QByteArray("echo_microphone_overruns_") + runName[on], overruns[on], "");
    }
    if (!estimates.isEmpty()) {
        print("echo_canceller_delay_estimate_last", estimates.last(), "ms");
        std::sort(estimates.begin(), estimates.end());
        print("echo_canceller_delay_estimate_median", estimates.at(estimates.size() / 2), "ms");
    }
    return true;
}

bool gain(const QByteArray& speech)
{
    const QByteArray clean = speechPart(speech, 0, 9000);
    Run run;
    run.settings = VoiceProcessing::allOn();
    run.microphone = scaled(clean, 0.1);
    run.durationMs = 10500;
    const Result result = runOrFail(run, "gain");
    if (!result.ok)
        return false;
    // Levels over the talker's active frames after three seconds of adaptation.
    QVector<int> active;
    for (int f : activeFrames(clean)) {
        if (f >= 300)
            active << f;
    }
    const int lag = bestLag(envelope(clean), envelope(result.sent), 150);
    const double normal = dbfs(rmsOverFrames(clean, active, 0));
    const double quietOn = dbfs(rmsOverFrames(result.sent, active, lag));
    print("gain_normal_talker_level", normal, "dBFS");
    print("gain_quiet_talker_level_off", normal - 20.0, "dBFS");
    print("gain_quiet_talker_level_on", quietOn, "dBFS");
    print("gain_quiet_talker_below_normal_on", normal - quietOn, "dB");
    return true;
}

void cpu(const QByteArray& speech)
{
    constexpr int kFrames = 1500; // 30 s
    const QByteArray mic = withNoise(speechPart(speech, 0, 30000), soxNoise("pinknoise", 30000), 5);
    const QByteArray far = speechPart(speech, 3000, 30000);
    MVoiceProcessor processor(QAudioFormat([] {
        QAudioFormat f;
        f.setSampleRate(48000);
        f.setChannelCount(2);
        f.setSampleSize(16);
        f.setSampleType(QAudioFormat::SignedInt);
        f.setByteOrder(QAudioFormat::LittleEndian);
        f.setCodec(QStringLiteral("audio/pcm"));
        return f;
    }()),
        VoiceProcessing::allOn());
    OpusEncoderWrapper encoder;
    encoder.initializeEncoder(48000, 2, 10, 28000, false);
    unsigned char packet[8192];
    qint64 processNs = 0, encodeNs = 0;
    QElapsedTimer timer;
    const int frames = qMin(kFrames, qMin(mic.size(), far.size()) / kFrame);
    for (int i = 0; i < frames; ++i) {
        QByteArray frame = mic.mid(i * kFrame, kFrame);
        timer.start();
        processor.addFarEnd(far.constData() + i * kFrame, kFrame, 80);
        processor.processCapture(frame.data(), kFrame, 0);
        processNs += timer.nsecsElapsed();
        timer.start();
        encoder.encode(frame.constData(), kFrame, packet, int(sizeof packet));
        encodeNs += timer.nsecsElapsed();
    }
    print("cpu_processing_per_20ms_frame", processNs / 1000.0 / frames, "us");
    print("cpu_opus_encode_per_20ms_frame", encodeNs / 1000.0 / frames, "us");
    print("cpu_processing_to_encode_ratio", double(processNs) / double(qMax<qint64>(1, encodeNs)),
        "x");
}

// One setting of the module for the offline sweep: a suppression level (or
// none) and the gain control's compression gain (or none); the high-pass
// filter always on, as in podium.
struct ModuleSetting
{
    const char* name;
    int suppression; // webrtc::NoiseSuppression::Level, -1: off
    int compressionGainDb; // -1: gain control off
};

QByteArray throughModule(const QByteArray& pcm, const ModuleSetting& setting)
{
    // The gain control as podium has it: digital only (MVoiceProcessor).
    webrtc::Config config;
    config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
    std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create(config));
    const auto stereo = webrtc::AudioProcessing::kStereo;
    apm->Initialize(48000, 48000, 48000, stereo, stereo, stereo);
    apm->high_pass_filter()->Enable(true);
    if (setting.suppression >= 0) {
        apm->noise_suppression()->set_level(webrtc::NoiseSuppression::Level(setting.suppression));
        apm->noise_suppression()->Enable(true);
    }
    if (setting.compressionGainDb >= 0) {
        apm->gain_control()->set_mode(webrtc::GainControl::kAdaptiveDigital);
        apm->gain_control()->set_target_level_dbfs(3);
        apm->gain_control()->set_compression_gain_db(setting.compressionGainDb);
        apm->gain_control()->enable_limiter(true);
        apm->gain_control()->Enable(true);
    }
    QByteArray out = pcm;
    webrtc::AudioFrame frame;
    constexpr int kBlock = 10 * kBytesPerMs;
    for (int at = 0; at + kBlock <= out.size(); at += kBlock) {
        frame.UpdateFrame(0, 0, reinterpret_cast<const int16_t*>(out.constData() + at), 480, 48000,
            webrtc::AudioFrame::kNormalSpeech, webrtc::AudioFrame::kVadUnknown, 2);
        apm->ProcessStream(&frame);
        memcpy(out.data() + at, frame.data_, kBlock);
    }
    return out;
}

// The noise figures of each setting, offline through the module alone, on one
// mix per noise, and the clean speech through the same setting: a setting
// that lowers the linear envelope correlation of clean speech reshapes the
// speech itself, whatever noise it removes.
bool sweep(const QByteArray& speech)
{
    const ModuleSetting settings[] = {
        { "off", -1, -1 },
        { "suppression_moderate", webrtc::NoiseSuppression::kModerate, -1 },
        { "suppression_high", webrtc::NoiseSuppression::kHigh, -1 },
        { "suppression_very_high", webrtc::NoiseSuppression::kVeryHigh, -1 },
        { "gain_9db", -1, 9 },
        { "gain_20db", -1, 20 },
        { "very_high_gain_9db", webrtc::NoiseSuppression::kVeryHigh, 9 },
        { "very_high_gain_20db", webrtc::NoiseSuppression::kVeryHigh, 20 },
    };
    const QByteArray clean = speechPart(speech, 0, 9000);
    QVector<int> pauses;
    for (int f : pauseFrames(clean)) {
        if (f >= 200)
            pauses << f;
    }
    const QVector<double> ref = envelope(clean).mid(200);
    const QByteArray pink = withNoise(clean, soxNoise("pinknoise", 9000), 5.0);
    const QByteArray brown = withNoise(clean, soxNoise("brownnoise", 9000), 5.0);
    if (pink.size() < clean.size() || brown.size() < clean.size())
        return false;
    double offLevel[2] = {};
    for (const ModuleSetting& setting : settings) {
        const QByteArray prefix = QByteArray("sweep_") + setting.name;
        const QByteArray mixes[2] = { pink, brown };
        const char* noiseName[2] = { "_pink", "_brown" };
        for (int n = 0; n < 2; ++n) {
            const QByteArray sent = alignedTo(clean, throughModule(mixes[n], setting), 1500);
            const double level = dbfs(rmsOverFrames(sent, pauses, 0));
            if (setting.suppression < 0 && setting.compressionGainDb < 0)
                offLevel[n] = level;
            print(prefix + noiseName[n] + "_pause_reduction", offLevel[n] - level, "dB");
            print(prefix + noiseName[n] + "_envelope_correlation",
                correlation(ref, envelope(sent), 200), "");
        }
        const QByteArray cleanSent = alignedTo(clean, throughModule(clean, setting), 1500);
        print(
            prefix + "_clean_envelope_correlation", correlation(ref, envelope(cleanSent), 200), "");
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QFile file(QStringLiteral(CLASSROOM_SPEECH_RAW));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bench_voiceprocessing: no test speech\n");
        return 1;
    }
    const QByteArray speech = file.readAll();
    const QStringList args = app.arguments();
    // "--only noise|echo|gain|cpu|sweep" runs one part.
    const int at = int(args.indexOf(QStringLiteral("--only")));
    const QString only = at > 0 && at + 1 < args.size() ? args.at(at + 1) : QString();
    auto wanted
        = [&only](const char* part) { return only.isEmpty() || only == QLatin1String(part); };
    bool ok = true;
    if (wanted("noise")) {
        ok = noise(speech, "pinknoise", "pink") && ok;
        ok = noise(speech, "brownnoise", "brown") && ok;
    }
    if (wanted("echo"))
        ok = echo(speech) && ok;
    if (wanted("gain"))
        ok = gain(speech) && ok;
    if (wanted("cpu"))
        cpu(speech);
    if (wanted("sweep"))
        ok = sweep(speech) && ok;
    return ok ? 0 : 1;
}
