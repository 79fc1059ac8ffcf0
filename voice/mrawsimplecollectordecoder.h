#pragma once

#include "mcollectbuffer.h"
#include "mdecoder.h"

// Raw PCM decoder that collects collectSeconds of audio and then writes it to
// the output device in one burst; gaps vanish. An experiment kept as it is
// ("Raw Collector (Broken)"): the burst is larger than a typical output
// buffer, so the output takes only part of it, and whatever was collected
// since the last burst is dropped at destruction. Owned by its parent; the
// device is borrowed. Owner's thread.
class VOICEPIPE_EXPORT MRawSimpleCollectorDecoder : public MDecoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MRawSimpleCollectorDecoder)

public:
    MRawSimpleCollectorDecoder(QIODevice* device, const QAudioFormat& format, float collectSeconds,
        QObject* parent = nullptr);
    ~MRawSimpleCollectorDecoder() override;

    int flushThreshold() const { return collector.threshold(); }
    int collectedBytes() const { return collector.position(); }

protected:
    void processVoicePacket(const QByteArray& packet) override;
    void processSeqSkip(int lastPayloadSize) override;

private slots:
    void flush();

private:
    float collectSeconds;
    MCollectBuffer collector;
};
