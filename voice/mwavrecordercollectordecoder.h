#pragma once

#include "mcollectbuffer.h"
#include "mdecoder.h"

class WavRecorder;

// Records received raw PCM into a WAV file in blocks of `seconds`: audio is
// collected and appended to the file whenever a block is full; missing
// packets become silence. What was collected since the last block is
// recorded when the decoder goes, so the file ends where the stream ended.
// The output device is not written. Owned by its parent; the device is
// borrowed. Owner's thread.
class VOICEPIPE_EXPORT MWavRecorderCollectorDecoder : public MDecoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MWavRecorderCollectorDecoder)

public:
    MWavRecorderCollectorDecoder(QIODevice* output, const QAudioFormat& format,
        const QString& fileName, float seconds, QObject* parent = nullptr);
    ~MWavRecorderCollectorDecoder() override;

    const WavRecorder* wavRecorder() const { return recorder; }
    int flushThreshold() const { return collectBuffer.threshold(); }
    int collectedBytes() const { return collectBuffer.position(); }

protected:
    void processVoicePacket(const QByteArray& packet) override;
    void processSeqSkip(int lastPayloadSize) override;

private slots:
    void flush();

private:
    void collect(const char* data, int size);

    float seconds;
    MCollectBuffer collectBuffer;
    WavRecorder* recorder;
};
