#include "mnoneencoder.h"

#include <QIODevice>

MNoneEncoder::MNoneEncoder(
    QIODevice* input, const QAudioFormat& format, MUdpSocket* udpSocket, QObject* parent)
    : MEncoder(input, format, udpSocket, parent)
{ }

MNoneEncoder::~MNoneEncoder() = default;

void MNoneEncoder::sendAvailableVoice()
{
    if (inputDevice)
        sendVoicePacket(inputDevice->readAll());
}
