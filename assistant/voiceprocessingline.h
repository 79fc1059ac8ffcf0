#pragma once

#include "voiceprocessing.h"

class QString;

// The configuration file's voice-processing line: "VOICEPROCESSING" followed
// by the parts to run, any of "noise", "echo" and "gain" ("on" or "all" for
// all three; "off" or nothing for none), separated by blanks or commas, e.g.
// "VOICEPROCESSING noise echo". Returns false, changing nothing, for any
// other line; unknown words are logged and skipped.
namespace VoiceProcessingLine {

inline constexpr char kKeyword[] = "VOICEPROCESSING";

bool read(const QString& line, VoiceProcessing::Settings& settings);

} // namespace VoiceProcessingLine
