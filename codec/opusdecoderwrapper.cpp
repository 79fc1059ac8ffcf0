#include "opusdecoderwrapper.h"

#include <QDebug>

#include <opus.h>

#include "codeclog.h"

void OpusDecoderWrapper::Deleter::operator()(OpusDecoder* state) const
{
    opus_decoder_destroy(state);
}

OpusDecoderWrapper::OpusDecoderWrapper(QObject* parent) : QObject(parent) { }

OpusDecoderWrapper::~OpusDecoderWrapper() = default;

int OpusDecoderWrapper::initializeDecoder(int rate, int channelCount)
{
    decoderState.reset();
    qCDebug(lcCodec).nospace() << "OPUS -- " << unsigned(sizeof(opus_int32)) << ' '
                               << unsigned(sizeof(opus_int16)) << ' ' << unsigned(sizeof(short))
                               << ' ' << unsigned(sizeof(int));

    sampleRate = rate;
    channels = channelCount;
    int error = OPUS_OK;
    OpusDecoder* state = opus_decoder_create(sampleRate, channels, &error);
    if (error != OPUS_OK) {
        opus_decoder_destroy(state);
        return error;
    }
    decoderState.reset(state);
    return 0;
}

int OpusDecoderWrapper::decode(
    const unsigned char* packet, int packetBytes, unsigned char* pcm, int pcmCapacityBytes)
{
    if (!decoderState) {
        qCWarning(lcCodec) << "Opus (dec) -- Decoder not initialized.";
        return -3;
    }
    return run(packet, packetBytes, pcm, pcmCapacityBytes, 0);
}

int OpusDecoderWrapper::decodeFEC(
    const unsigned char* packet, int packetBytes, unsigned char* pcm, int pcmCapacityBytes)
{
    if (!decoderState) {
        qCWarning(lcCodec) << "Opus (fec) -- Decoder not initialized.";
        return -3;
    }
    return run(packet, packetBytes, pcm, pcmCapacityBytes, 1);
}

int OpusDecoderWrapper::decodePacketLossConcealment(unsigned char* pcm, int pcmCapacityBytes)
{
    if (!decoderState) {
        qCWarning(lcCodec) << "Opus (plc) -- Decoder not initialized.";
        return -3;
    }
    return run(nullptr, 0, pcm, pcmCapacityBytes, 0);
}

int OpusDecoderWrapper::run(const unsigned char* packet, int packetBytes, unsigned char* pcm,
    int pcmCapacityBytes, int fec) const
{
    const int bytesPerFrame = 2 * channels;
    const int samples = opus_decode(decoderState.get(), packet, packetBytes,
        reinterpret_cast<opus_int16*>(pcm), pcmCapacityBytes / bytesPerFrame, fec);
    return samples * bytesPerFrame;
}
