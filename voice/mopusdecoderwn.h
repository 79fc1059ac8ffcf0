#pragma once

#include "mnotifieddecoder.h"
#include "mplayoutbuffer.h"

#include <memory>

class OpusFrameDecoder;

// Opus voice decoder paced by the audio output: decoded frames go into a
// collector that the output's notifications drain one period at a time.
// Starts with half a second of silence; each time the collector runs dry it
// plays a period of silence and appends another half second, so the delay
// grows by half a second per underrun. Lost packets are concealed but the
// concealment is not played. Owned by its parent; output and device are
// borrowed. Owner's thread.
class VOICEPIPE_EXPORT MOpusDecoderWN : public MNotifiedDecoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MOpusDecoderWN)

public:
    static const int MAX_DECDATA_BYTES = 24576;

    MOpusDecoderWN(QAudioOutput* output, QIODevice* device, const QAudioFormat& format,
        QObject* parent = nullptr);
    // Offline pacing (benchmarks, tools): see MNotifiedDecoder.
    MOpusDecoderWN(
        int periodSize, QIODevice* device, const QAudioFormat& format, QObject* parent = nullptr);
    ~MOpusDecoderWN() override;

    const MPlayoutBuffer& collectorState() const { return collector; }
    int halfSecondPeriods() const { return delayPeriods; }
    int lastDecodedBytes() const;

protected:
    void processVoicePacket(const QByteArray& packet) override;
    void processSeqSkip(int lastPayloadSize) override;
    bool playBlock() override;

private:
    void setUp();
    void produceHalfSecondArtificialDelay();

    MPlayoutBuffer collector;
    int delayPeriodsWritten = 0;
    int delayPeriods = 0;
    std::unique_ptr<OpusFrameDecoder> m_opus;
};
