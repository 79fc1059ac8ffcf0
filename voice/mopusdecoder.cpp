#include "mopusdecoder.h"

#include "opusframedecoder.h"

#include <QAudioOutput>
#include <QDebug>

#include "voicelog.h"

MOpusDecoder::MOpusDecoder(
    const QAudioOutput* output, QIODevice* device, const QAudioFormat& format, QObject* parent)
    : MDecoder(device, format, parent),
      m_opus(new OpusFrameDecoder(this, format, output ? output->periodSize() : 0, "MOpusDecoder"))
{
    skipCallPerMissingPacket = true;
}

MOpusDecoder::~MOpusDecoder() = default;

int MOpusDecoder::lastDecodedBytes() const
{
    return m_opus->lastDecodedSize();
}

void MOpusDecoder::processVoicePacket(const QByteArray& packet)
{
    const int n = m_opus->decodePacket(packet);
    if (n >= 0 && outputDevice)
        outputDevice->write(m_opus->data(), n);
}

void MOpusDecoder::processSeqSkip(int /*lastPayloadSize*/)
{
    const int n = m_opus->conceal();
    if (n < 0)
        qCDebug(lcVoice) << "MOpusDecoder:: Lost Packet Concealment Decoding error " << n;
    else if (outputDevice)
        outputDevice->write(m_opus->data(), n);
}
