#include "mwavrecordersenderencoder.h"

#include "wavrecorder.h"

#include <QIODevice>

MWavRecorderSenderEncoder::MWavRecorderSenderEncoder(QIODevice* input, const QAudioFormat& format,
    MUdpSocket* udpSocket, const QString& fileName, QObject* parent)
    : MEncoder(input, format, udpSocket, parent), recorder(new WavRecorder(fileName, format, this))
{ }

MWavRecorderSenderEncoder::~MWavRecorderSenderEncoder() = default;

void MWavRecorderSenderEncoder::sendAvailableVoice()
{
    if (!inputDevice)
        return;
    const QByteArray data = inputDevice->readAll();
    sendVoicePacket(data);
    recorder->appendAudio(data);
}
