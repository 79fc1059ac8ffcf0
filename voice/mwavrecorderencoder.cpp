#include "mwavrecorderencoder.h"

#include "wavrecorder.h"

#include <QIODevice>

MWavRecorderEncoder::MWavRecorderEncoder(QIODevice* input, const QAudioFormat& format,
    MUdpSocket* udpSocket, const QString& fileName, QObject* parent)
    : MEncoder(input, format, udpSocket, parent), recorder(new WavRecorder(fileName, format, this))
{ }

MWavRecorderEncoder::~MWavRecorderEncoder() = default;

void MWavRecorderEncoder::sendAvailableVoice()
{
    if (inputDevice)
        recorder->appendAudio(inputDevice->readAll());
}
