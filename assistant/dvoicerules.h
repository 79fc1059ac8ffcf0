#pragma once

#include <QString>

// The assistant's voice rules, as plain functions of their inputs: the
// two-speaker limit it enforces on its own side, and the statistics line of
// its status bar.
namespace DVoiceRules {

// What one speaker count from the server means for this client.
struct SpeakerDecision
{
    // This client may hear and send voice.
    bool allowed = false;
    // This client now counts as having been a speaker (never cleared).
    bool wasSpeaker = false;
    // Voice is taken away: playback and sending stop and the user is told.
    bool refused = false;
};

// At most two speakers: a sending client stays allowed up to a count of two
// (itself included), a silent one only while at most one other speaks. A
// client that has been one of at most two speakers is never refused later.
SpeakerDecision decideSpeakerLimit(int speakerCount, bool sending, bool wasSpeaker);

// Counters of one side (encoder or decoder), as statsPropagated gives them.
struct FlowCounts
{
    int packets = 0;
    int bytes = 0;
    int successful = 0;
    int failed = 0;
};

// "Encoder: P packets, B bytes, R% success; Decoder: P packets, B bytes, R%
// success." with R = 100 x successful / (successful + failed), 2 decimals.
// A side that counted no sends (0 of 0: a decoder never does) shows no rate
// rather than "nan".
QString statisticsText(const FlowCounts& encoder, const FlowCounts& decoder);

} // namespace DVoiceRules
