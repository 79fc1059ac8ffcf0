#include "mzlibdecoder.h"

#include "audiomath.h"
#include "wireformat.h"

#include <QDebug>
#include <QIODevice>
#include <QLoggingCategory>
#include <QtEndian>

#include "voicelog.h"

MZLibDecoder::MZLibDecoder(QIODevice* output, const QAudioFormat& format, QObject* parent)
    : MDecoder(output, format, parent)
{
    skipCallPerMissingPacket = false;
}

MZLibDecoder::~MZLibDecoder() = default;

QByteArray MZLibDecoder::uncompressPayload(const char* payload, int size)
{
    if (size >= 4) {
        const quint32 announced = qFromBigEndian<quint32>(payload);
        if (announced > quint32(kMaxUncompressedBytes)) {
            qCWarning(lcVoice) << "MZLibDecoder:: compressed block announcing" << announced
                               << "bytes dropped (more than" << kMaxUncompressedBytes << ")";
            return QByteArray();
        }
    }
    return qUncompress(reinterpret_cast<const uchar*>(payload), size);
}

void MZLibDecoder::processVoicePacket(const QByteArray& packet)
{
    const QByteArray pcm = uncompressPayload(packet.constData() + WireFormat::kVoiceHeaderSize,
        packet.size() - WireFormat::kVoiceHeaderSize);
    qCDebug(AudioMath::voiceLog) << "Compressed packet received: " << packet.size() << ":"
                                 << pcm.size() << " Saving: %"
                                 << double(packet.size()) * 100.0 / double(pcm.size());
    if (outputDevice && !pcm.isEmpty())
        outputDevice->write(pcm);
}

void MZLibDecoder::processSeqSkip(int /*lastPayloadSize*/) { }
