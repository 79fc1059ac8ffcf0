#pragma once

#include "mdecoder.h"

// Raw PCM decoder: writes each payload straight to the output device; lost
// packets leave no trace. Owned by its parent; the device is borrowed.
// Owner's thread.
class VOICEPIPE_EXPORT MRawDecoder : public MDecoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MRawDecoder)

public:
    MRawDecoder(QIODevice* output, const QAudioFormat& format, QObject* parent = nullptr);
    ~MRawDecoder() override;

protected:
    void processVoicePacket(const QByteArray& packet) override;
    void processSeqSkip(int lastPayloadSize) override;
};
