#include "floodguard.h"

#include "clientlimits.h"

#include <algorithm>

TokenBucket::TokenBucket(double rate, double burst) : m_rate(rate), m_burst(burst), m_tokens(burst)
{ }

bool TokenBucket::take(double amount, qint64 nowMs)
{
    if (m_lastMs >= 0 && nowMs > m_lastMs)
        m_tokens = std::min(m_burst, m_tokens + m_rate * double(nowMs - m_lastMs) / 1000.0);
    m_lastMs = nowMs;
    if (m_tokens < amount)
        return false;
    m_tokens -= amount;
    return true;
}

FloodGuard::FloodGuard(
    double packetsPerSecond, double packetBurst, double bytesPerSecond, double byteBurst)
    : m_packets(packetsPerSecond, packetBurst), m_bytes(bytesPerSecond, byteBurst),
      m_packetRate(packetsPerSecond), m_byteRate(bytesPerSecond)
{ }

FloodGuard::Verdict FloodGuard::admit(qint64 bytes, qint64 nowMs)
{
    const bool bytesLimited = m_byteRate > 0;
    // The byte bucket is asked first, so a packet refused for its size does
    // not use up a packet token.
    if ((!bytesLimited || m_bytes.take(double(bytes), nowMs)) && m_packets.take(1, nowMs))
        return Pass;

    ++m_totalDropped;
    if (nowMs - m_windowStartMs >= 1000) {
        m_windowStartMs = nowMs;
        m_windowPackets = 0;
        m_windowBytes = 0;
    }
    ++m_windowPackets;
    m_windowBytes += bytes;
    if (bytesLimited
        && (double(m_windowPackets) > ClientLimits::kDisconnectFactor * m_packetRate
            || double(m_windowBytes) > ClientLimits::kDisconnectFactor * m_byteRate))
        return Disconnect;
    return Drop;
}
