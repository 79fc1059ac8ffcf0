#include "reconnectpacer.h"

#include <algorithm>

int ReconnectPacer::nextDelayMs()
{
    const int attempt = m_attempts++;
    if (attempt == 0)
        return 0;
    // 250, 500, 1000, 2000, 2000, ... without overflowing the shift.
    const int doublings = std::min(attempt - 1, 8);
    return std::min(kFirstDelayMs << doublings, kMaxDelayMs);
}

void ReconnectPacer::reset()
{
    m_attempts = 0;
}

bool ReconnectPacer::takeOutageNotice()
{
    if (m_outageShown)
        return false;
    m_outageShown = true;
    return true;
}
