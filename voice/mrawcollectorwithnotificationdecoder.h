#pragma once

#include "mnotifieddecoder.h"
#include "mplayoutbuffer.h"

// Raw PCM decoder paced by the audio output: payloads go into a collector
// that starts with three periods of silence; each output period takes one
// period from it, or a block of silence when less than a period is there. A
// gap becomes silence as long as the last payload. Owned by its parent;
// output and device are borrowed. Owner's thread.
class VOICEPIPE_EXPORT MRawCollectorWithNotificationDecoder : public MNotifiedDecoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MRawCollectorWithNotificationDecoder)

public:
    MRawCollectorWithNotificationDecoder(QAudioOutput* output, QIODevice* device,
        const QAudioFormat& format, float collectSeconds, QObject* parent = nullptr);
    // Offline pacing (benchmarks, tools): see MNotifiedDecoder.
    MRawCollectorWithNotificationDecoder(int periodSize, QIODevice* device,
        const QAudioFormat& format, float collectSeconds, QObject* parent = nullptr);
    ~MRawCollectorWithNotificationDecoder() override;

    const MPlayoutBuffer& collectorState() const { return collector; }

protected:
    void processVoicePacket(const QByteArray& packet) override;
    void processSeqSkip(int lastPayloadSize) override;
    bool playBlock() override;

private:
    void setUp();

    float collectSeconds;
    MPlayoutBuffer collector;
};
