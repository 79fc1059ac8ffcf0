#pragma once

#include "codecwrap_global.h"

#include <memory>

#include <QObject>

struct OpusDecoder;

// Turns one Opus packet, or the absence of one, back into 16-bit interleaved
// PCM. Sizes are in bytes; every decode returns the PCM bytes written or a
// negative error (-3 without a decoder). Created as a child of the voice
// decoder that owns it and used only from that owner's thread.
class CODECWRAP_EXPORT OpusDecoderWrapper : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(OpusDecoderWrapper)

public:
    explicit OpusDecoderWrapper(QObject* parent = nullptr);
    ~OpusDecoderWrapper() override;

    // (Re)creates the decoder; 0 on success or the codec's (negative) error.
    int initializeDecoder(int sampleRate, int channels);

    // Decodes one packet normally.
    int decode(
        const unsigned char* packet, int packetBytes, unsigned char* pcm, int pcmCapacityBytes);
    // Rebuilds the frame lost just before `packet` from its redundancy data;
    // the capacity is the duration to fill.
    int decodeFEC(
        const unsigned char* packet, int packetBytes, unsigned char* pcm, int pcmCapacityBytes);
    // Conceals one lost packet; the capacity is the duration to fill.
    int decodePacketLossConcealment(unsigned char* pcm, int pcmCapacityBytes);

    // The codec handle, for reading state back; null until initialised.
    OpusDecoder* handle() const { return decoderState.get(); }

private:
    struct Deleter
    {
        void operator()(OpusDecoder* state) const;
    };

    int run(const unsigned char* packet, int packetBytes, unsigned char* pcm, int pcmCapacityBytes,
        int fec) const;

    int sampleRate = 0;
    int channels = 0;
    std::unique_ptr<OpusDecoder, Deleter> decoderState;
};
