#pragma once

#include "voicepipe_global.h"

class QAudioFormat;
class QAudioInput;
class QAudioOutput;

// The one place where the voice devices' buffer sizes are chosen. Called
// before start(), Qt's PulseAudio backend makes an output's buffer size the
// stream's target length (and prebuffer) and an input's its fragment size;
// left alone, an output keeps the server's 250 ms. The sizes below were picked
// from a measurement under a CPU hog (no underruns; docs/performance.md).
// With CLASSROOM_AUDIO_BUFFERS=qt-default in the environment no size is set,
// so that a benchmark can compare both in one run. Any thread.
namespace AudioBuffers {

inline constexpr int kOutputBufferMs = 80;
inline constexpr int kInputBufferMs = 20;

inline constexpr char kEnvironmentVariable[] = "CLASSROOM_AUDIO_BUFFERS";
inline constexpr char kQtDefaultValue[] = "qt-default";

// Whether the environment asks for Qt's default buffers; logs once per
// process which buffers the voice devices use.
VOICEPIPE_EXPORT bool useQtDefaults();

// Bytes of `ms` milliseconds of `format`, whole sample frames.
VOICEPIPE_EXPORT int bytesFor(const QAudioFormat& format, int ms);

// Set the small buffer on a device that is not started yet, unless Qt's
// defaults are asked for. Return the size set, or 0 when none was.
VOICEPIPE_EXPORT int applyTo(QAudioOutput* output);
VOICEPIPE_EXPORT int applyTo(QAudioInput* input);

} // namespace AudioBuffers
