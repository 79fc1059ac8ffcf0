#pragma once

#include "voicepipe_global.h"

#include <QAudio>
#include <QAudioFormat>
#include <QElapsedTimer>
#include <QObject>

#include <functional>

class QAudioOutput;
class QIODevice;
class QTimer;
class MDecoder;
class MPlaybackTap;

// Builds the decoder for one stretch of playback: it writes into `device`, the
// push device of the started `output`, and is a child of `parent`.
using MDecoderFactory = std::function<MDecoder*(
    QAudioOutput* output, QIODevice* device, const QAudioFormat& format, QObject* parent)>;

// Voice playback of a client window: owns one audio output for the voice
// format (opened with the small buffer of audiobuffers.h) and, while playback
// is on, one decoder made by the factory. Stopping deletes the decoder before
// it stops the output. An output that reports an error is looked at again
// after kRestartDelayMs; if playback is still on and the output has stopped,
// or has stayed idle (run dry) all that time, output and decoder are
// restarted. The same restart follows when the output has taken no data for
// kStalledOutputMs while voice arrives: the audio server may kill the stream
// and the output then stays active without reporting an error. Owned by its
// parent; GUI thread.
class VOICEPIPE_EXPORT MVoicePlayback : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MVoicePlayback)

public:
    static constexpr int kRestartDelayMs = 2000;
    // Long enough that no scheduling delay of a loaded machine looks like a
    // dead stream (the output buffer is 40-80 ms), short enough to be heard
    // as a dropout rather than as the end of the voice.
    static constexpr int kStalledOutputMs = 500;
    static constexpr int kStallCheckMs = 100;

    MVoicePlayback(
        const QAudioFormat& format, const MDecoderFactory& factory, QObject* parent = nullptr);
    ~MVoicePlayback() override;

    // Used from the next start on.
    void setDecoderFactory(const MDecoderFactory& factory);

    // Starts the output and builds a decoder; false when already on. Playback
    // counts as on even when the device could not be opened (no decoder then):
    // the recovery keeps trying.
    bool start();
    // Deletes the decoder, then stops the output; false when already off.
    bool stop();
    // Hands one voice packet to the decoder, if there is one.
    void voicePacketReceived(const QByteArray& packet);

    bool isOn() const { return m_on; }
    QAudioOutput* audioOutput() const { return m_output; }
    QIODevice* outputDevice() const { return m_device; }
    MDecoder* decoder() const { return m_decoder; }
    QAudioFormat format() const { return m_format; }
    // Output buffer set before each start (0: Qt's default).
    int requestedBufferBytes() const { return m_bufferBytes; }
    // Totals since construction.
    int underruns() const { return m_underruns; }
    int restarts() const { return m_restarts; }

    // From the next start on, report what the decoder hands the output with
    // farEndPlayed() (the echo canceller's reference).
    void setFarEndTapped(bool tapped) { m_farEndTapped = tapped; }
    // Whether the capture cancels this output's echo: the output then plays
    // from the deeper buffer that keeps the canceller's reference from running
    // dry. Applies at once: an output that plays is restarted with it.
    void setEchoCancelled(bool cancelled);
    bool isEchoCancelled() const { return m_echoCancelled; }

public slots:
    // The delayed look at the output after an error: restarts it when
    // playback is on and the output is stopped or idle.
    void startAudioOutputIfNotAlreadyStarted();

signals:
    // The output's state changed; its error code at that moment.
    void outputStateChanged(QAudio::State state, QAudio::Error error);
    // A new decoder was built (at every start and restart).
    void decoderCreated(MDecoder* decoder);
    void restarted();
    // PCM the output accepted, and the audio queued in front of it (ms).
    void farEndPlayed(const QByteArray& pcm, int delayMs);

private:
    void onOutputStateChanged(QAudio::State state);
    void tapPlayed(const QByteArray& pcm);
    void checkOutputProgress();
    void restart();

    QAudioFormat m_format;
    MDecoderFactory m_factory;
    QAudioOutput* m_output;
    QIODevice* m_device = nullptr;
    MDecoder* m_decoder = nullptr;
    bool m_on = false;
    // Whether the output played since the last error report.
    bool m_activeSinceError = false;
    int m_bufferBytes = 0;
    int m_underruns = 0;
    int m_restarts = 0;
    bool m_farEndTapped = false;
    bool m_echoCancelled = false;
    MPlaybackTap* m_tap = nullptr;
    // The output's progress as it was last seen to move, and when voice last came.
    QTimer* m_stallTimer;
    QElapsedTimer m_sinceProgress;
    QElapsedTimer m_sinceVoice;
    qint64 m_lastProcessedUs = -1;
};
