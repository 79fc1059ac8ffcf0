#pragma once

#include "voicepipe_global.h"
#include "voiceprocessing.h"

#include <QAudioFormat>
#include <QByteArray>

#include <memory>

namespace webrtc {
class AudioProcessing;
class AudioFrame;
} // namespace webrtc

// The microphone's voice processing: high-pass filter, echo cancellation,
// noise suppression and automatic gain control of the audio processing
// module, on 10 ms blocks of 16-bit PCM at the capture format (8, 16, 32 or
// 48 kHz, one or two channels). The far end (what the speakers play) is given
// with the delay until it is heard; each captured block with its own age, and
// the sum of the two is the echo path's delay the canceller starts from. With
// every part off the PCM is left untouched. Not a QObject; owned by the
// capture object; owner's thread.
class VOICEPIPE_EXPORT MVoiceProcessor
{
    Q_DISABLE_COPY(MVoiceProcessor)

public:
    explicit MVoiceProcessor(
        const QAudioFormat& format, const VoiceProcessing::Settings& settings = {});
    ~MVoiceProcessor();

    // False when the format is not one the module takes or it could not be
    // made; the PCM is then passed on untouched.
    bool isUsable() const { return m_apm != nullptr; }
    void setSettings(const VoiceProcessing::Settings& settings);
    VoiceProcessing::Settings settings() const { return m_settings; }
    // Bytes of one 10 ms block of the format.
    int blockBytes() const { return m_blockBytes; }

    // Processes the whole blocks at the start of `pcm` in place and returns
    // how many bytes that was. `ageMs` is how long ago the last byte of those
    // blocks was captured.
    int processCapture(char* pcm, int bytes, int ageMs);
    // What the speakers were handed; `delayMs` is the audio queued in front of
    // its first byte. Kept only while echo cancellation is on.
    void addFarEnd(const char* pcm, int bytes, int delayMs);

    // The echo path delay fed with the last captured block (-1: none yet).
    int lastStreamDelayMs() const { return m_lastStreamDelayMs; }
    // Where the canceller itself finds the echo against the far end it reads
    // (ms, median and spread over its last seconds; negative: the echo comes
    // before its far end) and the share of estimates it trusts little.
    // medianMs is kNoEstimate until it has one.
    struct EchoDelayEstimate
    {
        int medianMs = kNoEstimate;
        int spreadMs = 0;
        double poorFraction = 0.0;
    };
    static constexpr int kNoEstimate = -1000;
    EchoDelayEstimate echoDelayEstimate() const;
    // Blocks processed (not passed through) since construction.
    qint64 processedBlocks() const { return m_processedBlocks; }

    // Longest delay handed to the module; longer readings are clamped. The
    // module takes 500 ms and more as a bogus reading and puts its own 50 ms
    // guess in its place.
    static constexpr int kMaxStreamDelayMs = 499;

private:
    void apply();
    void farEndBlock(const char* pcm);

    QAudioFormat m_format;
    VoiceProcessing::Settings m_settings;
    std::unique_ptr<webrtc::AudioProcessing> m_apm;
    std::unique_ptr<webrtc::AudioFrame> m_frame;
    QByteArray m_farPending;
    int m_blockBytes = 0;
    int m_samplesPerChannel = 0;
    int m_farDelayMs = 0;
    int m_lastStreamDelayMs = -1;
    qint64 m_processedBlocks = 0;
    bool m_errorLogged = false;
};
