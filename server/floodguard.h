#pragma once

#include <QtGlobal>

// A token bucket: `rate` units a second on average, bursts of up to `burst`.
// Plain value; the caller supplies a monotonic clock in milliseconds.
class TokenBucket
{
public:
    TokenBucket(double rate, double burst);

    // Takes amount units when the bucket holds them; false leaves it as it was.
    bool take(double amount, qint64 nowMs);

private:
    double m_rate;
    double m_burst;
    double m_tokens;
    qint64 m_lastMs = -1;
};

// What one client may send: a bucket for its packets and, for TCP, one for
// its bytes. Judges each arriving packet and counts what it dropped within the
// current second, so that a client far beyond the limits can be cut off.
// One per client, kept by MStudentServer.
class FloodGuard
{
public:
    enum Verdict { Pass, Drop, Disconnect };

    // bytesPerSecond 0: bytes are not limited, and the guard never disconnects
    // (voice, whose sender can be forged).
    FloodGuard(double packetsPerSecond, double packetBurst, double bytesPerSecond = 0,
        double byteBurst = 0);

    Verdict admit(qint64 bytes, qint64 nowMs);
    qint64 droppedPackets() const { return m_totalDropped; }

private:
    TokenBucket m_packets;
    TokenBucket m_bytes;
    double m_packetRate;
    double m_byteRate;
    qint64 m_windowStartMs = 0;
    qint64 m_windowPackets = 0;
    qint64 m_windowBytes = 0;
    qint64 m_totalDropped = 0;
};
