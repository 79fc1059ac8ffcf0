#pragma once

#include "voicepipe_global.h"

class QAudioFormat;
class QAudioInput;
class QAudioOutput;

// The one place where the voice devices' buffer sizes are chosen. Called
// before start(), Qt's PulseAudio backend makes an output's buffer size the
// stream's target length (and prebuffer) and an input's its fragment size;
// left alone, an output keeps the server's 250 ms. The sizes below were picked
// from measurements under a CPU hog (docs/performance.md).
// With CLASSROOM_AUDIO_BUFFERS=qt-default in the environment no size is set,
// and with CLASSROOM_PLAYOUT=fixed the output and MOpusAdvancedDecoder play
// as they did before their delay followed the network, so that a benchmark
// can compare them in one run. Any thread.
namespace AudioBuffers {

// The decoder gives back what an underrun of the output costs, so the output
// no longer has to be deep enough never to run dry under load.
inline constexpr int kOutputBufferMs = 40;
// The fixed playout never gave delay back: its output had to ride out the
// CPU hog without underruns.
inline constexpr int kFixedPlayoutOutputBufferMs = 80;
// An output whose audio is the echo canceller's reference must not run dry
// either: each underrun plays a gap the reference does not hold, the echo
// moves by it and the canceller has to find it again. 40 ms ran dry 8 to 19
// times in 11 s of the echo benchmark (13 to 20 dB of echo removed), 80 ms
// not once (28 to 42 dB).
inline constexpr int kEchoReferenceOutputBufferMs = 80;
inline constexpr int kInputBufferMs = 20;

inline constexpr char kEnvironmentVariable[] = "CLASSROOM_AUDIO_BUFFERS";
inline constexpr char kQtDefaultValue[] = "qt-default";
inline constexpr char kPlayoutVariable[] = "CLASSROOM_PLAYOUT";
inline constexpr char kFixedPlayoutValue[] = "fixed";

// Whether the environment asks for Qt's default buffers; logs once per
// process which buffers the voice devices use.
VOICEPIPE_EXPORT bool useQtDefaults();
// Whether the environment asks for the fixed playout of old (for comparison).
VOICEPIPE_EXPORT bool fixedPlayout();
// The output buffer in milliseconds for the playout in use; `echoReference`
// for an output whose audio the echo canceller is given.
VOICEPIPE_EXPORT int outputBufferMs(bool echoReference = false);

// Bytes of `ms` milliseconds of `format`, whole sample frames.
VOICEPIPE_EXPORT int bytesFor(const QAudioFormat& format, int ms);

// Set the small buffer on a device that is not started yet, unless Qt's
// defaults are asked for. Return the size set, or 0 when none was.
VOICEPIPE_EXPORT int applyTo(QAudioOutput* output, bool echoReference = false);
VOICEPIPE_EXPORT int applyTo(QAudioInput* input);

} // namespace AudioBuffers
