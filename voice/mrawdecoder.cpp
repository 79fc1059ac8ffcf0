#include "mrawdecoder.h"

#include <QIODevice>

MRawDecoder::MRawDecoder(QIODevice* output, const QAudioFormat& format, QObject* parent)
    : MDecoder(output, format, parent)
{
    skipCallPerMissingPacket = false;
}

MRawDecoder::~MRawDecoder() = default;

void MRawDecoder::processVoicePacket(const QByteArray& packet)
{
    if (outputDevice && packet.size() > 4)
        outputDevice->write(packet.constData() + 4, packet.size() - 4);
}

void MRawDecoder::processSeqSkip(int /*lastPayloadSize*/) { }
