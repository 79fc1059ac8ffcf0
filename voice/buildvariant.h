#pragma once

// The voice classes are built twice from the same sources: the shared library
// voicepipe and the static voicepipe_podium that podium links. The
// voicepipe_podium target sets VOICEPIPE_PODIUM_BUILD (PUBLIC, so users of its
// headers see the same interface). Every behavioural difference between the
// two builds is one of the values below; the only other uses of the macro are
// the two interface differences it implies (statsPropagated on MEncoder and
// MDecoder, and MEncoder's loss-simulator operations).

namespace VoiceBuild {

#if defined(VOICEPIPE_PODIUM_BUILD)
inline constexpr bool kPodium = true;
#else
inline constexpr bool kPodium = false;
#endif

// podium logs the flow line once a minute; the library every second.
inline constexpr int kPropagationIntervalSecs = kPodium ? 60 : 1;

// podium's encoder has no loss simulator; sendVoicePacket always sends.
inline constexpr bool kLossSimulator = !kPodium;

// Slots in MOpusAdvancedDecoder's ring of decoded frames.
inline constexpr int kRingSlots = kPodium ? 20 : 50;

// Start-up delay of MOpusAdvancedDecoder in output periods; 0 means half a
// second of periods, worked out from the format and the output's period.
inline constexpr int kFixedInitialDelayPackets = kPodium ? 3 : 0;

// How the fixed playout of old (CLASSROOM_PLAYOUT=fixed, kept for the
// benchmark's comparison) covered an underrun: podium queued one silence slot
// and played it, discarding nothing later, so every stall added its length to
// the delay for good; the library played silence at once and later discarded
// as many frames as it filled in. Both builds now play silence and give the
// time back (MOpusAdvancedDecoder).
inline constexpr bool kRefillOnUnderrun = kPodium;

// podium's microphone is processed (echo, noise, gain) unless its settings
// say otherwise; the library's capture sends what it captures unless asked.
inline constexpr bool kVoiceProcessingByDefault = kPodium;

} // namespace VoiceBuild
