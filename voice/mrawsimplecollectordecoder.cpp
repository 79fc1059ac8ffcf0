#include "mrawsimplecollectordecoder.h"

#include "audiomath.h"
#include "wireformat.h"

#include <QDebug>
#include <QIODevice>

#include "voicelog.h"

MRawSimpleCollectorDecoder::MRawSimpleCollectorDecoder(
    QIODevice* device, const QAudioFormat& format, float seconds, QObject* parent)
    : MDecoder(device, format, parent), collectSeconds(seconds),
      collector(AudioMath::collectBytes(format, seconds))
{
    skipCallPerMissingPacket = false;
    if (collector.threshold() <= 0)
        qCWarning(lcVoice) << "MRawSimpleCollectorDecoder:: a collect length of" << seconds
                           << "s holds no audio; nothing will be played";
}

MRawSimpleCollectorDecoder::~MRawSimpleCollectorDecoder() = default;

void MRawSimpleCollectorDecoder::processVoicePacket(const QByteArray& packet)
{
    const bool full = collector.write(packet.constData() + WireFormat::kVoiceHeaderSize,
        packet.size() - WireFormat::kVoiceHeaderSize);
    collector.logState();
    if (full)
        flush();
}

void MRawSimpleCollectorDecoder::processSeqSkip(int /*lastPayloadSize*/) { }

void MRawSimpleCollectorDecoder::flush()
{
    const QByteArray block = collector.take();
    if (block.isEmpty())
        return;
    qCDebug(lcVoice) << "FLUSH: " << block.size();
    if (outputDevice)
        outputDevice->write(block);
}
