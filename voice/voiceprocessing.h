#pragma once

#include "voicepipe_global.h"

class QString;

// What the microphone's voice processing does, and the one switch that turns
// all of it off for comparisons: with CLASSROOM_VOICE_PROCESSING=off in the
// environment nothing is inserted into the capture path, so it is exactly the
// unprocessed one. High-pass filtering runs whenever any of the three parts is
// on. Any thread.
namespace VoiceProcessing {

inline constexpr char kEnvironmentVariable[] = "CLASSROOM_VOICE_PROCESSING";
inline constexpr char kOffValue[] = "off";

struct Settings
{
    bool noiseSuppression = false;
    bool echoCancellation = false;
    bool gainControl = false;

    bool any() const { return noiseSuppression || echoCancellation || gainControl; }
    bool operator==(const Settings& other) const
    {
        return noiseSuppression == other.noiseSuppression
            && echoCancellation == other.echoCancellation && gainControl == other.gainControl;
    }
    bool operator!=(const Settings& other) const { return !(*this == other); }
};

// All three parts on.
VOICEPIPE_EXPORT Settings allOn();

// Whether the environment turns the processing off; logs once per process.
VOICEPIPE_EXPORT bool disabledByEnvironment();

// "noise, echo, gain" with "-" for each part that is off, for the log.
VOICEPIPE_EXPORT QString describe(const Settings& settings);

} // namespace VoiceProcessing
