#include "packetlosssimulator.h"

#include "mstatistics.h"

#include <QTime>

#include <climits>

PacketLossSimulator::PacketLossSimulator(const PacketLossSimParams& params, QObject* parent)
    : QObject(parent), m_params(params), m_random(quint32(QTime::currentTime().msec()))
{ }

void PacketLossSimulator::setStatisticsObject(MStatistics* statistics)
{
    m_statistics = statistics;
}

void PacketLossSimulator::setSeed(quint32 seed)
{
    m_random.seed(seed);
}

bool PacketLossSimulator::sendNext()
{
    if (!m_statistics)
        return false;
    const int n = m_statistics->packetCount;
    if (n <= m_params.leadingDropCount || n < blockedUntil)
        return false;
    const int r = int(m_random.generate() % 100u);
    if (r >= m_params.lossPercent)
        return true;
    // In 64 bits: a burst reaching past the largest sequence number blocks
    // to its end instead of wrapping into the past.
    blockedUntil = int(qBound<qint64>(0, qint64(n) + m_params.burstLength, INT_MAX));
    return false;
}
