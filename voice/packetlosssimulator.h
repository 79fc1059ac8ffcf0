#pragma once

#include "voicepipe_global.h"

#include <QObject>
#include <QRandomGenerator>

class MStatistics;

// Which packets a PacketLossSimulator drops: the first leadingDropCount
// sequence numbers, and bursts of burstLength packets that each start with a
// chance of lossPercent percent.
struct VOICEPIPE_EXPORT PacketLossSimParams
{
    int leadingDropCount = 0;
    int lossPercent = 0;
    int burstLength = 1;
};

// Test device that makes an encoder drop chosen packets instead of sending
// them; installed with MEncoder::installPacketLossSimulator, which binds it to
// the encoder's statistics. Owned by whoever creates it; never by the encoder.
class VOICEPIPE_EXPORT PacketLossSimulator : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PacketLossSimulator)

public:
    explicit PacketLossSimulator(
        const PacketLossSimParams& params = PacketLossSimParams(), QObject* parent = nullptr);

    void setStatisticsObject(MStatistics* statistics);
    // Called once per packet after the encoder counted it; true: send it.
    bool sendNext();

    // The generator is seeded from the time of day; a fixed seed makes a run
    // repeatable (benchmarks, tests).
    void setSeed(quint32 seed);

    const PacketLossSimParams& params() const { return m_params; }

private:
    MStatistics* m_statistics = nullptr;
    PacketLossSimParams m_params;
    int blockedUntil = 0;
    QRandomGenerator m_random;
};
