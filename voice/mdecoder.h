#pragma once

#include "buildvariant.h"
#include "voicepipe_global.h"

#include <QAudioFormat>
#include <QByteArray>
#include <QObject>

class QIODevice;
class MStatistics;

// Abstract base of every voice decoder. The owner hands it each received voice
// packet (4-byte big-endian sequence number + codec payload) in arrival order;
// the base sorts it into next, skip, repeat or rewind, tells the derived
// decoder about missing packets, passes on what is to be played and counts it.
// Owned by its QObject parent; the output device is borrowed. Owner's thread.
class VOICEPIPE_EXPORT MDecoder : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MDecoder)

public:
    MDecoder(QIODevice* output, const QAudioFormat& format, QObject* parent = nullptr);
    ~MDecoder() override;

    // Not a slot: the owner calls it directly for every voice packet.
    void voicePacketReceived(const QByteArray& packet);

    MStatistics* statisticsObject() const { return statistics; }
    int lastSequence() const { return lastSeq; }

#if defined(VOICEPIPE_PODIUM_BUILD) // see buildvariant.h: podium forwards the flow
signals:
    void statsPropagated(
        int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets);
#endif

protected:
    // The whole voice packet, sequence number included.
    virtual void processVoicePacket(const QByteArray& packet) = 0;
    // Argument: lastPayloadSize. Once per missing packet or once per gap,
    // as skipCallPerMissingPacket says.
    virtual void processSeqSkip(int lastPayloadSize) = 0;
    // A packet older than the newest one seen, and not a repeat of it. True
    // when the decoder still plays it (its slot has not been played yet);
    // false drops it as a rewind, which is what every other decoder does.
    virtual bool processLatePacket(const QByteArray& packet, int seq);

    // Silence of byteCount bytes (whole samples); -1 or 0 reuse the last block.
    QByteArray getEmptyWaveForSeqSkip(int byteCount);

    QIODevice* outputDevice;
    bool skipCallPerMissingPacket = true;
    QAudioFormat audioFormat;
    MStatistics* statistics;
    int lastSeq = -1;
    int lastPayloadSize = 0;
    QByteArray emptyWave;
    int emptyWaveKey = 0;
};
