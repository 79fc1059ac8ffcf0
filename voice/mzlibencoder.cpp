#include "mzlibencoder.h"

#include "audiomath.h"

#include <QDebug>
#include <QIODevice>
#include <QLoggingCategory>

MZLibEncoder::MZLibEncoder(QIODevice* input, const QAudioFormat& format, MUdpSocket* udpSocket,
    int level, QObject* parent)
    : MEncoder(input, format, udpSocket, parent), compressionLevel(level)
{ }

MZLibEncoder::~MZLibEncoder() = default;

void MZLibEncoder::sendAvailableVoice()
{
    if (!inputDevice)
        return;
    const QByteArray data = inputDevice->readAll();
    const QByteArray compressed = qCompress(data, compressionLevel);
    sendVoicePacket(compressed);
    qCDebug(AudioMath::voiceLog) << "MZLibEncoder::sendAvailableVoice(), Compression: "
                                 << compressed.size() << ":" << data.size() << "   %"
                                 << double(compressed.size()) * 100.0 / double(data.size());
}
