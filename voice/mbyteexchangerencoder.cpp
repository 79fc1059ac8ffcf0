#include "mbyteexchangerencoder.h"

#include <QIODevice>

MByteExchangerEncoder::MByteExchangerEncoder(
    QIODevice* input, const QAudioFormat& format, MUdpSocket* udpSocket, QObject* parent)
    : MEncoder(input, format, udpSocket, parent)
{ }

MByteExchangerEncoder::~MByteExchangerEncoder() = default;

QByteArray MByteExchangerEncoder::rotated(const QByteArray& block)
{
    if (block.size() < 2)
        return block;
    return block.mid(2) + block.left(2);
}

void MByteExchangerEncoder::sendAvailableVoice()
{
    if (inputDevice)
        sendVoicePacket(rotated(inputDevice->readAll()));
}
