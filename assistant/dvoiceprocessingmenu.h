#pragma once

#include "voiceprocessing.h"

class QMenuBar;
class MVoiceCapture;
class MVoicePlayback;

// The window's voice-processing settings: a "Voice" menu with three checkable
// actions (noise suppression, echo cancellation, gain control) that switch the
// parts of the capture's processing at once, starting from `defaults`; and the
// playback's far-end tap wired into the capture as the echo reference, the
// playback told whether its echo is cancelled (its output buffer). With
// the processing turned off by the environment the actions are shown
// unchecked and disabled. The actions are children of the menu bar; GUI
// thread.
namespace DVoiceProcessingMenu {

inline constexpr char kNoiseActionName[] = "actionNoiseSuppression";
inline constexpr char kEchoActionName[] = "actionEchoCancellation";
inline constexpr char kGainActionName[] = "actionGainControl";

void attach(QMenuBar* menuBar, MVoicePlayback* playback, MVoiceCapture* capture,
    const VoiceProcessing::Settings& defaults);

} // namespace DVoiceProcessingMenu
