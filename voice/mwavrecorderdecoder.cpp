#include "mwavrecorderdecoder.h"

#include "wavrecorder.h"

MWavRecorderDecoder::MWavRecorderDecoder(
    QIODevice* output, const QAudioFormat& format, const QString& fileName, QObject* parent)
    : MDecoder(output, format, parent), recorder(new WavRecorder(fileName, format, this))
{
    skipCallPerMissingPacket = true;
}

MWavRecorderDecoder::~MWavRecorderDecoder() = default;

void MWavRecorderDecoder::processVoicePacket(const QByteArray& packet)
{
    recorder->appendAudio(packet.constData() + 4, packet.size() - 4);
}

void MWavRecorderDecoder::processSeqSkip(int payloadSize)
{
    recorder->appendAudio(getEmptyWaveForSeqSkip(payloadSize));
}
