#include "mflowcontrolencoder.h"

MFlowControlEncoder::MFlowControlEncoder(QIODevice* input, const QAudioFormat& format,
    MUdpSocket* udpSocket, float seconds, int bytesPerPacket, QObject* parent)
    : MFlushingEncoder(
        input, format, udpSocket, seconds, bytesPerPacket, "MFlowControlEncoder", parent)
{
    setStep(0, "||||||||||||||||||||||||||||||||||| continuouslySendData");
}

MFlowControlEncoder::~MFlowControlEncoder() = default;
