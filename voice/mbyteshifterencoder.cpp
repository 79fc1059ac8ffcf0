#include "mbyteshifterencoder.h"

#include <QIODevice>

MByteShifterEncoder::MByteShifterEncoder(
    QIODevice* input, const QAudioFormat& format, MUdpSocket* udpSocket, QObject* parent)
    : MEncoder(input, format, udpSocket, parent)
{ }

MByteShifterEncoder::~MByteShifterEncoder() = default;

void MByteShifterEncoder::sendAvailableVoice()
{
    if (!inputDevice)
        return;
    const QByteArray data = inputDevice->readAll();
    sendVoicePacket(blockCount == 0 ? data.mid(2) : data);
    blockCount += 1;
}
