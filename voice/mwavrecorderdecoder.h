#pragma once

#include "mdecoder.h"

class WavRecorder;

// Records received raw PCM into a WAV file instead of playing it; each
// missing packet becomes silence as long as the last payload, so the
// recording keeps its timing. The output device is not written. Owned by
// its parent; the device is borrowed. Owner's thread.
class VOICEPIPE_EXPORT MWavRecorderDecoder : public MDecoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MWavRecorderDecoder)

public:
    MWavRecorderDecoder(QIODevice* output, const QAudioFormat& format, const QString& fileName,
        QObject* parent = nullptr);
    ~MWavRecorderDecoder() override;

    const WavRecorder* wavRecorder() const { return recorder; }

protected:
    void processVoicePacket(const QByteArray& packet) override;
    void processSeqSkip(int lastPayloadSize) override;

private:
    WavRecorder* recorder;
};
