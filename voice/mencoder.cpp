#include "mencoder.h"

#include "mstatistics.h"
#include "mudpsocket.h"
#include "packetlosssimulator.h"
#include "wireformat.h"

#include <QDebug>
#include <QIODevice>

#include "voicelog.h"

namespace {

// A voice datagram is the tag, the sequence number and the payload.
const int kVoiceDatagramOverhead = WireFormat::kTagSize + WireFormat::kVoiceHeaderSize;
// Bound on the wait for the socket's last datagrams at destruction.
const int kFlushTimeoutMs = 30000;

} // namespace

MEncoder::MEncoder(
    QIODevice* input, const QAudioFormat& format, MUdpSocket* udpSocket, QObject* parent)
    : QObject(parent), inputDevice(input), audioFormat(format), socket(udpSocket),
      statistics(new MStatistics(this))
{
    if (inputDevice)
        connect(inputDevice, &QIODevice::readyRead, this, &MEncoder::sendAvailableVoice);
    statistics->setPropagationIntervalSecs(VoiceBuild::kPropagationIntervalSecs);
#if defined(VOICEPIPE_PODIUM_BUILD)
    connect(statistics, &MStatistics::statsPropagated, this, &MEncoder::statsPropagated);
#endif
}

MEncoder::~MEncoder()
{
    if (socket)
        socket->waitForBytesWritten(kFlushTimeoutMs);
}

#if !defined(VOICEPIPE_PODIUM_BUILD)
void MEncoder::installPacketLossSimulator(PacketLossSimulator* simulator)
{
    lossSimulator = simulator;
    if (simulator)
        simulator->setStatisticsObject(statistics);
}

void MEncoder::removePacketLossSimulator()
{
    lossSimulator = nullptr;
}
#endif

void MEncoder::sendVoicePacket(const QByteArray& payload)
{
    const int datagramSize = payload.size() + kVoiceDatagramOverhead;
    statistics->packetCount += 1;
    statistics->byteCount += datagramSize;
#if !defined(VOICEPIPE_PODIUM_BUILD)
    if (lossSimulator && !lossSimulator->sendNext())
        return;
#endif
    if (!socket) {
        statistics->failedPackets += 1;
        return;
    }
    const qint64 result = socket->ourProtocolSendVoice(payload, statistics->packetCount);
    if (result == datagramSize)
        statistics->successfulPackets += 1;
    else if (result == -1)
        statistics->failedPackets += 1;
    else
        qCDebug(lcVoice) << "Strange!!! " << result;
}
