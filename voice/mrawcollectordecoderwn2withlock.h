#pragma once

#include "mrawcollectordecoderwn2.h"

// MRawCollectorDecoderWN2 with every move of the collector's position
// serialised by a mutex, and without the resume position: after an
// underrun the write position stays after the inserted silence, so each
// underrun adds its two seconds to the delay at once. Owned by its parent;
// output and device are borrowed. Owner's thread.
class VOICEPIPE_EXPORT MRawCollectorDecoderWN2WithLock : public MRawCollectorDecoderWN2
{
    Q_OBJECT
    Q_DISABLE_COPY(MRawCollectorDecoderWN2WithLock)

public:
    MRawCollectorDecoderWN2WithLock(QAudioOutput* output, QIODevice* device,
        const QAudioFormat& format, float collectSeconds, QObject* parent = nullptr);
    // Offline pacing (benchmarks, tools): see MNotifiedDecoder.
    MRawCollectorDecoderWN2WithLock(int periodSize, QIODevice* device, const QAudioFormat& format,
        float collectSeconds, QObject* parent = nullptr);
    ~MRawCollectorDecoderWN2WithLock() override;
};
