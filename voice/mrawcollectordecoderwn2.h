#pragma once

#include "mnotifieddecoder.h"
#include "mplayoutbuffer.h"

#include <QMutex>

#include <memory>

// Raw PCM decoder paced by the audio output, second experiment: it starts
// with about two seconds of silence in its collector and plays a period per
// notification while one and a half periods are there; below that it plays
// a period of silence and buffers about two seconds more, so the delay grows
// by two seconds at every underrun and never shrinks (kept: the point of the
// experiment). After an underrun the write position returns before the
// inserted silence and the next packet continues after it. Owned by its
// parent; output and device are borrowed. Owner's thread.
class VOICEPIPE_EXPORT MRawCollectorDecoderWN2 : public MNotifiedDecoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MRawCollectorDecoderWN2)

public:
    MRawCollectorDecoderWN2(QAudioOutput* output, QIODevice* device, const QAudioFormat& format,
        float collectSeconds, QObject* parent = nullptr);
    // Offline pacing (benchmarks, tools): see MNotifiedDecoder.
    MRawCollectorDecoderWN2(int periodSize, QIODevice* device, const QAudioFormat& format,
        float collectSeconds, QObject* parent = nullptr);
    ~MRawCollectorDecoderWN2() override;

    const MPlayoutBuffer& collectorState() const { return collector; }
    int halfSecondPeriods() const { return delayPeriods; }
    bool resumePending() const { return pendingSeek; }
    qint64 resumePosition() const { return resumePos; }

protected:
    // withLock: the variant that serialises the collector's moves with a
    // mutex, has no resume position, and leaves the write position after the
    // silence inserted at an underrun.
    MRawCollectorDecoderWN2(QAudioOutput* output, QIODevice* device, const QAudioFormat& format,
        float collectSeconds, bool withLock, const char* name, QObject* parent);
    MRawCollectorDecoderWN2(int periodSize, QIODevice* device, const QAudioFormat& format,
        float collectSeconds, bool withLock, const char* name, QObject* parent);

    void processVoicePacket(const QByteArray& packet) override;
    void processSeqSkip(int lastPayloadSize) override;
    bool playBlock() override;

private:
    void setUp();
    void produceHalfSecondArtificialDelay();
    void logPositions(const char* what) const;

    float collectSeconds;
    MPlayoutBuffer collector;
    int delayPeriods = 0;
    bool pendingSeek = false;
    qint64 resumePos = 0;
    // Non-recursive; only in the locked variant.
    std::unique_ptr<QMutex> collectorLock;
};
