#include "mplayouttarget.h"

#include <algorithm>

MPlayoutTarget::MPlayoutTarget(int floorSlots, int ceilingSlots)
    : m_floor(std::max(floorSlots, 0)), m_ceiling(std::max(ceilingSlots, m_floor)),
      m_target(m_floor)
{ }

int MPlayoutTarget::periodPlayed(bool ranDry)
{
    ++m_clock;
    if (ranDry) {
        if (!m_inDryRun) {
            m_inDryRun = true;
            m_runLength = 0;
            m_lastDryStart = m_clock;
        }
        ++m_runLength;
        return 0;
    }
    if (m_inDryRun) {
        m_inDryRun = false;
        if (m_runLength <= kLongestLateRun) {
            const bool soonAgain
                = m_lastLateStart >= 0 && m_lastDryStart - m_lastLateStart <= kGrowWindowPeriods;
            m_lastLateStart = m_lastDryStart;
            if ((soonAgain || m_jitterSlots > m_target) && m_target < m_ceiling) {
                ++m_target;
                m_lastChange = m_clock;
                return 1;
            }
        }
        return 0;
    }
    const long long calmSince = std::max(m_lastDryStart, m_lastChange);
    if (m_clock - calmSince >= kQuietPeriods && m_target > m_floor && m_jitterSlots < m_target) {
        --m_target;
        m_lastChange = m_clock;
        return -1;
    }
    return 0;
}

void MPlayoutTarget::packetArrived(int seq)
{
    // How late the packet is against the playout clock, up to a constant:
    // a packet that waits one period longer on the way is one more late.
    m_lateness[size_t(m_arrivals % kJitterWindow)] = m_clock - seq;
    ++m_arrivals;
    const auto end = m_lateness.begin() + std::min(m_arrivals, kJitterWindow);
    const auto [low, high] = std::minmax_element(m_lateness.begin(), end);
    m_jitterSlots = int(std::min<long long>(*high - *low, m_ceiling));
}
