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

// On an underrun podium queues one silence slot and plays it, discarding
// nothing later; the library plays silence at once and later discards as
// many waiting frames or lost-packet placeholders as it filled in, so that
// the delay stays constant. Silence as long as the ring is a pause of the
// speaker, not late packets: beyond the placeholders of the packets lost in
// it, nothing is owed for it.
inline constexpr bool kRefillOnUnderrun = kPodium;

// podium's microphone is processed (echo, noise, gain) unless its settings
// say otherwise; the library's capture sends what it captures unless asked.
inline constexpr bool kVoiceProcessingByDefault = kPodium;

} // namespace VoiceBuild
