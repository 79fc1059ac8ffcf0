#include "opusencoderwrapper.h"

#include <QDebug>

#include <opus.h>

#include "codeclog.h"

namespace {

// The frame durations the codec accepts, in seconds.
constexpr double kFrameDurations[] = { 0.0025, 0.005, 0.01, 0.02, 0.04, 0.06 };

// The sizes of the codec's integer types, logged so that a build with
// unexpected type widths shows up in the first lines of a log.
void logTypeSizes()
{
    qCDebug(lcCodec).nospace() << "OPUS -- " << unsigned(sizeof(opus_int32)) << ' '
                               << unsigned(sizeof(opus_int16)) << ' ' << unsigned(sizeof(short))
                               << ' ' << unsigned(sizeof(int));
}

} // namespace

void OpusEncoderWrapper::Deleter::operator()(OpusEncoder* state) const
{
    opus_encoder_destroy(state);
}

OpusEncoderWrapper::OpusEncoderWrapper(QObject* parent) : QObject(parent) { }

OpusEncoderWrapper::~OpusEncoderWrapper() = default;

int OpusEncoderWrapper::initializeEncoder(
    int rate, int channelCount, int complexity, int bitrate, bool inbandFec)
{
    encoderState.reset();
    logTypeSizes();

    sampleRate = rate;
    channels = channelCount;
    int error = OPUS_OK;
    OpusEncoder* state = opus_encoder_create(sampleRate, channels, OPUS_APPLICATION_VOIP, &error);
    if (error != OPUS_OK) {
        opus_encoder_destroy(state);
        return error;
    }
    encoderState.reset(state);

    opus_int32 defaultComplexity = 0;
    opus_int32 defaultBitrate = 0;
    opus_int32 defaultDepth = 0;
    opus_int32 defaultFec = 0;
    opus_encoder_ctl(state, OPUS_GET_COMPLEXITY(&defaultComplexity));
    opus_encoder_ctl(state, OPUS_GET_BITRATE(&defaultBitrate));
    opus_encoder_ctl(state, OPUS_GET_LSB_DEPTH(&defaultDepth));
    opus_encoder_ctl(state, OPUS_GET_INBAND_FEC(&defaultFec));
    qCDebug(lcCodec).nospace() << "OPUS -- COMPLEXITY: " << defaultComplexity
                               << " BITRATE: " << defaultBitrate << " LSB DEPTH: " << defaultDepth
                               << " INBAND FEC: " << defaultFec;

    opus_encoder_ctl(state, OPUS_SET_COMPLEXITY(complexity));
    opus_encoder_ctl(state, OPUS_SET_BITRATE(bitrate));
    opus_encoder_ctl(state, OPUS_SET_SIGNAL(OPUS_AUTO));
    opus_encoder_ctl(state, OPUS_SET_LSB_DEPTH(16));
    if (inbandFec)
        opus_encoder_ctl(state, OPUS_SET_INBAND_FEC(1));
    // Voice travels over UDP without retransmission; telling the codec to
    // expect some loss makes its redundancy worth carrying.
    opus_encoder_ctl(state, OPUS_SET_PACKET_LOSS_PERC(10));
    return 0;
}

int OpusEncoderWrapper::encode(
    const char* pcm, int pcmBytes, unsigned char* packet, int maxPacketBytes)
{
    if (!encoderState) {
        qCWarning(lcCodec) << "Opus -- Encoder not initialized.";
        return -3;
    }

    const unsigned frameSize = unsigned(pcmBytes) / (2u * unsigned(channels));
    bool valid = false;
    for (double seconds : kFrameDurations)
        valid = valid || frameSize == unsigned(int(sampleRate * seconds));
    if (!valid) {
        qCCritical(lcCodec).nospace() << "Opus Fatal -- " << frameSize << ' ' << pcmBytes;
        qFatal("Opus -- Invalid Frame Size");
    }

    return opus_encode(encoderState.get(), reinterpret_cast<const opus_int16*>(pcm), int(frameSize),
        packet, maxPacketBytes);
}
