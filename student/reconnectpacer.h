#pragma once

// How soon a student tries again after its connection to the class ended by
// itself: the first attempt of an outage goes at once, each later one waits
// twice as long as the one before, from kFirstDelayMs up to kMaxDelayMs, so
// a server that is down is not hammered and a returning one is found within
// kMaxDelayMs. Admission to the class starts the count afresh. It also
// remembers whether the outage has been shown to the student. Plain value.
class ReconnectPacer
{
public:
    static constexpr int kFirstDelayMs = 250;
    static constexpr int kMaxDelayMs = 2000;

    // The wait before the next attempt; counts the attempt.
    int nextDelayMs();
    // Admission: the next outage starts again with an immediate attempt.
    void reset();
    int attempts() const { return m_attempts; }

    // True the first time per outage: the caller shows the line then.
    bool takeOutageNotice();
    // A connection was made: the next drop is a new outage.
    void connectionMade() { m_outageShown = false; }

private:
    int m_attempts = 0;
    bool m_outageShown = false;
};
