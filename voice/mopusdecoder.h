#pragma once

#include "mdecoder.h"

#include <memory>

class QAudioOutput;
class OpusFrameDecoder;

// Plain Opus voice decoder: decodes each packet and writes the PCM straight
// into the audio output's push device; one concealed frame (as long as the
// last decoded one) per missing packet. The output is only asked for its
// period size. Owned by its parent; output and device are borrowed.
// Owner's thread.
class VOICEPIPE_EXPORT MOpusDecoder : public MDecoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MOpusDecoder)

public:
    static const int MAX_DECDATA_BYTES = 24576;

    MOpusDecoder(const QAudioOutput* output, QIODevice* device, const QAudioFormat& format,
        QObject* parent = nullptr);
    ~MOpusDecoder() override;

    int lastDecodedBytes() const;

protected:
    void processVoicePacket(const QByteArray& packet) override;
    void processSeqSkip(int lastPayloadSize) override;

private:
    std::unique_ptr<OpusFrameDecoder> m_opus;
};
