#pragma once

#include "voicepipe_global.h"

#include <array>

// The playout delay MOpusAdvancedDecoder aims for, in ring slots above the
// output's own queue, chosen from what the stream shows: when the ring has run
// dry for a moment (a packet a little late), it grows by one slot if that
// happened soon after the last such moment or if the arrival jitter exceeds
// it; it shrinks by one after a quiet spell in which the jitter fits a
// smaller target; never below the start delay (floor) nor above the ring
// (ceiling). Its clock is the playout itself: one tick per period played, so
// offline pacing makes it deterministic. A stall (a long dry run followed by a
// burst) never grows it: what it added is owed and given back. Plain value
// owned by its decoder; owner's thread.
class VOICEPIPE_EXPORT MPlayoutTarget
{
public:
    // A dry run this soon after the previous one shows a target that is too
    // small (5 s of 20 ms periods); a stall every 10 s does not.
    static constexpr int kGrowWindowPeriods = 250;
    // Periods without a dry run or a change before the target shrinks (10 s).
    static constexpr int kQuietPeriods = 500;
    // The longest dry run that is a late packet rather than a stall (100 ms).
    static constexpr int kLongestLateRun = 5;
    // Arrivals over which the jitter is measured (2 s of packets).
    static constexpr int kJitterWindow = 100;

    MPlayoutTarget(int floorSlots, int ceilingSlots);

    int target() const { return m_target; }
    int floor() const { return m_floor; }
    int ceiling() const { return m_ceiling; }
    // Spread of the arrivals against the playout clock over the window, in
    // periods: the headroom the ring needs so that no packet comes too late.
    int jitterSlots() const { return m_jitterSlots; }
    long long clock() const { return m_clock; }

    // One period was played; `ranDry` when it was silence for lack of a
    // frame. Returns the change of the target (+1, 0 or -1); it grows when a
    // short dry run ends.
    int periodPlayed(bool ranDry);
    // A packet with sequence number `seq` arrived (in order or late).
    void packetArrived(int seq);

private:
    int m_floor;
    int m_ceiling;
    int m_target;
    long long m_clock = 0;
    long long m_lastDryStart = -1;
    long long m_lastLateStart = -1;
    int m_runLength = 0;
    long long m_lastChange = 0;
    bool m_inDryRun = false;
    std::array<long long, kJitterWindow> m_lateness {};
    int m_arrivals = 0;
    int m_jitterSlots = 0;
};
