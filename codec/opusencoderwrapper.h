#pragma once

#include "codecwrap_global.h"

#include <memory>

#include <QObject>

struct OpusEncoder;

// Turns one frame of 16-bit interleaved PCM into one Opus packet with the
// system's fixed codec settings. Sizes are in bytes. Created as a child of the
// voice encoder that owns it and used only from that owner's thread.
class CODECWRAP_EXPORT OpusEncoderWrapper : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(OpusEncoderWrapper)

public:
    explicit OpusEncoderWrapper(QObject* parent = nullptr);
    ~OpusEncoderWrapper() override;

    // (Re)creates the encoder; 0 on success or the codec's (negative) error.
    int initializeEncoder(
        int sampleRate, int channels, int complexity, int bitrate, bool inbandFec);

    // Encodes one whole frame (2.5 to 60 ms); returns the packet length or a
    // negative error, -3 without an encoder. Any other frame length is fatal.
    int encode(const char* pcm, int pcmBytes, unsigned char* packet, int maxPacketBytes);

    // The codec handle, for reading settings back; null until initialised.
    OpusEncoder* handle() const { return encoderState.get(); }

private:
    struct Deleter
    {
        void operator()(OpusEncoder* state) const;
    };

    int sampleRate = 0;
    int channels = 0;
    std::unique_ptr<OpusEncoder, Deleter> encoderState;
};
