#pragma once

#include "buildvariant.h"
#include "voicepipe_global.h"

#include <QAudioFormat>
#include <QObject>

class QByteArray;
class QIODevice;
class MStatistics;
class MUdpSocket;
class PacketLossSimulator;

// Abstract base of every voice encoder: a concrete encoder reads captured
// audio from the input device on readyRead(), encodes it and hands each payload
// to sendVoicePacket, which numbers, counts and sends it as a voice packet
// ("VOIC" + 4-byte big-endian sequence number + payload) on the UDP socket.
// Owned by its QObject parent; input device and socket are borrowed.
class VOICEPIPE_EXPORT MEncoder : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MEncoder)

public:
    MEncoder(QIODevice* input, const QAudioFormat& format, MUdpSocket* socket,
        QObject* parent = nullptr);
    ~MEncoder() override;

    MStatistics* statisticsObject() const { return statistics; }

#if !defined(VOICEPIPE_PODIUM_BUILD) // see buildvariant.h: podium has no simulator
    void installPacketLossSimulator(PacketLossSimulator* simulator);
    void removePacketLossSimulator();
#endif

#if defined(VOICEPIPE_PODIUM_BUILD) // see buildvariant.h: podium forwards the flow
signals:
    void statsPropagated(
        int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets);
#endif

protected slots:
    virtual void sendAvailableVoice() = 0;

protected:
    void sendVoicePacket(const QByteArray& payload);

    QIODevice* inputDevice;
    QAudioFormat audioFormat;
    MUdpSocket* socket;
    MStatistics* statistics;
#if !defined(VOICEPIPE_PODIUM_BUILD)
    PacketLossSimulator* lossSimulator = nullptr;
#endif
};
