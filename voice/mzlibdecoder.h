#pragma once

#include "mdecoder.h"

// Decoder of zlib-compressed raw PCM (MZLibEncoder's payload: 4-byte
// big-endian uncompressed size + zlib stream): writes the decompressed audio
// to the output device; lost packets leave no trace. A payload announcing
// more than kMaxUncompressedBytes is dropped unread, so a peer cannot make
// the receiver allocate gigabytes. Owned by its parent; the device is
// borrowed. Owner's thread.
class VOICEPIPE_EXPORT MZLibDecoder : public MDecoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MZLibDecoder)

public:
    // Far above any real block (one second of the default format is 192000
    // bytes) and far below what would hurt.
    static constexpr int kMaxUncompressedBytes = 1 << 20;

    MZLibDecoder(QIODevice* output, const QAudioFormat& format, QObject* parent = nullptr);
    ~MZLibDecoder() override;

    // The decompressed block, or an empty one (with a diagnostic) for a
    // payload that is corrupt or announces more than the bound.
    static QByteArray uncompressPayload(const char* payload, int size);

protected:
    void processVoicePacket(const QByteArray& packet) override;
    void processSeqSkip(int lastPayloadSize) override;
};
