#pragma once

#include "voicepipe_global.h"
#include "voiceprocessing.h"

#include <QAudioFormat>
#include <QObject>

#include <functional>
#include <memory>

class QAudioInput;
class QIODevice;
class MCaptureGate;
class MEncoder;
class MVoiceProcessingDevice;
class MVoiceProcessor;

// Builds the encoder for one stretch of sending: it reads captured audio from
// `device` (the capture gate in front of the started `input`) and is a child
// of `parent`. The caller's factory supplies the socket and codec settings.
using MEncoderFactory = std::function<MEncoder*(
    QAudioInput* input, QIODevice* device, const QAudioFormat& format, QObject* parent)>;

// Voice capture of a client window: owns one audio input for the voice format
// (opened with the small buffer of audiobuffers.h), and while sending the
// capture gate that keeps the microphone's backlog short and one encoder made
// by the factory. Audio the gate had to drop counts as overruns, in the
// encoder's statistics too. Unless the environment turns it off, the voice
// processing (echo, noise, gain) runs between the microphone and the gate,
// with what farEndPlayed() reports as the echo canceller's reference. Owned
// by its parent; GUI thread.
class VOICEPIPE_EXPORT MVoiceCapture : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MVoiceCapture)

public:
    // Newest captured audio kept before encoding (see MCaptureGate).
    static constexpr int kBacklogMs = 60;

    explicit MVoiceCapture(const QAudioFormat& format, QObject* parent = nullptr);
    ~MVoiceCapture() override;

    // Starts the input, the gate and an encoder; false when already sending.
    // Sending counts as on even when the device could not be opened (no
    // encoder then).
    bool start(const MEncoderFactory& factory);
    // Stops the input, then deletes encoder and gate; false when not sending.
    bool stop();

    bool isSending() const { return m_sending; }
    QAudioInput* audioInput() const { return m_input; }
    QIODevice* inputDevice() const { return m_device; }
    MCaptureGate* gate() const { return m_gate; }
    MEncoder* encoder() const { return m_encoder; }
    QAudioFormat format() const { return m_format; }
    // Input buffer set before each start (0: Qt's default).
    int requestedBufferBytes() const { return m_bufferBytes; }
    // Overruns since construction (gate drops of every sending stretch).
    int overruns() const;

    // Which parts of the voice processing run; applies at once while sending.
    void setProcessingSettings(const VoiceProcessing::Settings& settings);
    VoiceProcessing::Settings processingSettings() const { return m_processing; }
    // The processor of this sending stretch; null when not sending or when
    // the environment turns the processing off.
    MVoiceProcessor* processor() const { return m_processor.get(); }

public slots:
    // What the speakers were handed and the audio queued in front of it: the
    // echo canceller's reference while sending.
    void farEndPlayed(const QByteArray& pcm, int delayMs);

signals:
    // A new encoder was built (at every start).
    void encoderCreated(MEncoder* encoder);

private:
    void gateOverran();

    QAudioFormat m_format;
    QAudioInput* m_input;
    QIODevice* m_device = nullptr;
    MCaptureGate* m_gate = nullptr;
    MEncoder* m_encoder = nullptr;
    std::unique_ptr<MVoiceProcessor> m_processor;
    MVoiceProcessingDevice* m_processingDevice = nullptr;
    VoiceProcessing::Settings m_processing;
    bool m_sending = false;
    int m_bufferBytes = 0;
    int m_pastOverruns = 0;
};
