#include "mvoiceprocessor.h"

#include <cstring>

#include <QDebug>

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include "voicelog.h"

namespace {

bool formatSupported(const QAudioFormat& format)
{
    const int rate = format.sampleRate();
    return format.sampleSize() == 16 && format.byteOrder() == QAudioFormat::LittleEndian
        && (format.channelCount() == 1 || format.channelCount() == 2)
        && (rate == 8000 || rate == 16000 || rate == 32000 || rate == 48000);
}

// The canceller's working range: the extended filter covers the long and
// varying delays of a laptop's speakers and of PulseAudio's buffers; the
// delay-agnostic estimator corrects what the devices do not report (their
// hardware latency). That estimator only starts after 15 s of audio: until
// then the canceller keeps the alignment it took from the first delay given
// (at least 50 ms, half of it kept as margin) and follows the echo only
// within its filter, so an output that runs dry, moving the echo by each gap,
// costs it dearly (AudioBuffers::kEchoReferenceOutputBufferMs). The legacy gain control's analog
// mode needs a mixer volume this program does not touch: the experimental analog controller stays
// off and the gain is digital.
void configure(webrtc::Config& config)
{
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
}

// Noise suppression "very high": measured 18 dB less pink and 26 dB less
// brown noise in speech pauses at 5 dB SNR, where "high" gave 14 to 17 dB
// of pink (bench_voiceprocessing, docs/performance.md).
constexpr auto kNoiseLevel = webrtc::NoiseSuppression::kVeryHigh;
// Gain control: speech levelled to -3 dBFS with up to 20 dB of gain, so that
// a quiet talker is heard at about the normal level; the limiter keeps loud
// talkers from clipping.
constexpr int kTargetLevelDbfs = 3;
constexpr int kCompressionGainDb = 20;

} // namespace

MVoiceProcessor::MVoiceProcessor(
    const QAudioFormat& format, const VoiceProcessing::Settings& settings)
    : m_format(format), m_settings(settings)
{
    if (!formatSupported(format)) {
        qCWarning(lcVoice) << "Voice processing: format" << format
                           << "not supported; audio is sent as captured.";
        return;
    }
    m_samplesPerChannel = format.sampleRate() / 100;
    m_blockBytes = m_samplesPerChannel * format.bytesPerFrame();
    webrtc::Config config;
    configure(config);
    m_apm.reset(webrtc::AudioProcessing::Create(config));
    if (!m_apm) {
        qCWarning(lcVoice) << "Voice processing: the audio processing module could not be made.";
        return;
    }
    // The module takes the far end only at the capture's rate, which it
    // otherwise learns from the first captured block.
    const auto layout = format.channelCount() == 2 ? webrtc::AudioProcessing::kStereo
                                                   : webrtc::AudioProcessing::kMono;
    const int rate = format.sampleRate();
    m_apm->Initialize(rate, rate, rate, layout, layout, layout);
    m_frame = std::make_unique<webrtc::AudioFrame>();
    m_apm->high_pass_filter()->Enable(true);
    m_apm->echo_cancellation()->enable_drift_compensation(false);
    m_apm->echo_cancellation()->set_suppression_level(
        webrtc::EchoCancellation::kModerateSuppression);
    m_apm->echo_cancellation()->enable_metrics(true);
    m_apm->echo_cancellation()->enable_delay_logging(true);
    m_apm->noise_suppression()->set_level(kNoiseLevel);
    m_apm->gain_control()->set_mode(webrtc::GainControl::kAdaptiveDigital);
    m_apm->gain_control()->set_target_level_dbfs(kTargetLevelDbfs);
    m_apm->gain_control()->set_compression_gain_db(kCompressionGainDb);
    m_apm->gain_control()->enable_limiter(true);
    apply();
}

MVoiceProcessor::~MVoiceProcessor() = default;

void MVoiceProcessor::setSettings(const VoiceProcessing::Settings& settings)
{
    if (settings == m_settings)
        return;
    m_settings = settings;
    if (!m_settings.echoCancellation)
        m_farPending.clear();
    apply();
}

void MVoiceProcessor::apply()
{
    if (!m_apm)
        return;
    m_apm->echo_cancellation()->Enable(m_settings.echoCancellation);
    m_apm->noise_suppression()->Enable(m_settings.noiseSuppression);
    m_apm->gain_control()->Enable(m_settings.gainControl);
    qCDebug(lcVoice).noquote() << "Voice processing:" << VoiceProcessing::describe(m_settings);
}

int MVoiceProcessor::processCapture(char* pcm, int bytes, int ageMs)
{
    if (m_blockBytes <= 0)
        return 0;
    const int blocks = qMax(0, bytes) / m_blockBytes;
    if (!m_apm || !m_settings.any())
        return blocks * m_blockBytes;
    for (int i = 0; i < blocks; ++i) {
        char* block = pcm + i * m_blockBytes;
        // Blocks nearer the start of the chunk were captured earlier.
        const int blockAge = ageMs + (blocks - 1 - i) * 10;
        m_frame->UpdateFrame(0, 0, reinterpret_cast<const int16_t*>(block),
            size_t(m_samplesPerChannel), m_format.sampleRate(), webrtc::AudioFrame::kNormalSpeech,
            webrtc::AudioFrame::kVadUnknown, m_format.channelCount());
        if (m_settings.echoCancellation) {
            m_lastStreamDelayMs = qBound(0, m_farDelayMs + blockAge, kMaxStreamDelayMs);
            m_apm->set_stream_delay_ms(m_lastStreamDelayMs);
        }
        const int result = m_apm->ProcessStream(m_frame.get());
        if (result != webrtc::AudioProcessing::kNoError) {
            if (!m_errorLogged)
                qCWarning(lcVoice) << "Voice processing: ProcessStream failed with" << result;
            m_errorLogged = true;
            continue;
        }
        memcpy(block, m_frame->data_, size_t(m_blockBytes));
        ++m_processedBlocks;
    }
    return blocks * m_blockBytes;
}

MVoiceProcessor::EchoDelayEstimate MVoiceProcessor::echoDelayEstimate() const
{
    EchoDelayEstimate estimate;
    if (!m_apm || !m_settings.echoCancellation)
        return estimate;
    int median = 0;
    int spread = 0;
    float poor = 0.0f;
    if (m_apm->echo_cancellation()->GetDelayMetrics(&median, &spread, &poor)
            == webrtc::AudioProcessing::kNoError
        && spread >= 0) {
        estimate.medianMs = median;
        estimate.spreadMs = spread;
        estimate.poorFraction = double(poor);
    }
    return estimate;
}

void MVoiceProcessor::addFarEnd(const char* pcm, int bytes, int delayMs)
{
    if (!m_apm || !m_settings.echoCancellation || bytes <= 0)
        return;
    // The delay of the newest far end counts: it is the queue in front of
    // the speaker when the next captured block is taken.
    m_farDelayMs = qMax(0, delayMs);
    m_farPending.append(pcm, bytes);
    int offset = 0;
    for (; offset + m_blockBytes <= m_farPending.size(); offset += m_blockBytes)
        farEndBlock(m_farPending.constData() + offset);
    m_farPending.remove(0, offset);
}

void MVoiceProcessor::farEndBlock(const char* pcm)
{
    webrtc::AudioFrame frame;
    frame.UpdateFrame(0, 0, reinterpret_cast<const int16_t*>(pcm), size_t(m_samplesPerChannel),
        m_format.sampleRate(), webrtc::AudioFrame::kNormalSpeech, webrtc::AudioFrame::kVadUnknown,
        m_format.channelCount());
    const int result = m_apm->AnalyzeReverseStream(&frame);
    if (result != webrtc::AudioProcessing::kNoError && !m_errorLogged) {
        qCWarning(lcVoice) << "Voice processing: AnalyzeReverseStream failed with" << result;
        m_errorLogged = true;
    }
}
