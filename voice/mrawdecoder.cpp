#include "mrawdecoder.h"

#include "wireformat.h"

#include <QIODevice>

MRawDecoder::MRawDecoder(QIODevice* output, const QAudioFormat& format, QObject* parent)
    : MDecoder(output, format, parent)
{
    skipCallPerMissingPacket = false;
}

MRawDecoder::~MRawDecoder() = default;

void MRawDecoder::processVoicePacket(const QByteArray& packet)
{
    if (outputDevice && packet.size() > WireFormat::kVoiceHeaderSize)
        outputDevice->write(packet.constData() + WireFormat::kVoiceHeaderSize,
            packet.size() - WireFormat::kVoiceHeaderSize);
}

void MRawDecoder::processSeqSkip(int /*lastPayloadSize*/) { }
