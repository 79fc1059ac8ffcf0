#include "mwavrecorderdecoder.h"

#include "wavrecorder.h"
#include "wireformat.h"

MWavRecorderDecoder::MWavRecorderDecoder(
    QIODevice* output, const QAudioFormat& format, const QString& fileName, QObject* parent)
    : MDecoder(output, format, parent), recorder(new WavRecorder(fileName, format, this))
{
    skipCallPerMissingPacket = true;
}

MWavRecorderDecoder::~MWavRecorderDecoder() = default;

void MWavRecorderDecoder::processVoicePacket(const QByteArray& packet)
{
    recorder->appendAudio(packet.constData() + WireFormat::kVoiceHeaderSize,
        packet.size() - WireFormat::kVoiceHeaderSize);
}

void MWavRecorderDecoder::processSeqSkip(int payloadSize)
{
    recorder->appendAudio(getEmptyWaveForSeqSkip(payloadSize));
}
