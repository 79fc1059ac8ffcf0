#pragma once

#include "voicepipe_global.h"

#include <QtGlobal>

class QAudioFormat;
class QLoggingCategory;

// Arithmetic on the playback format that several voice classes share, and
// the log category their per-packet lines go to. Plain functions; any thread.
namespace AudioMath {

// sample size x sample rate x channel count / 8 (integer arithmetic).
VOICEPIPE_EXPORT int bytesPerSecond(const QAudioFormat& format);

// Bytes in `seconds` of audio, worked out in floating point and truncated:
// the flush threshold of the collecting codecs. 0 for a non-positive result.
VOICEPIPE_EXPORT int collectBytes(const QAudioFormat& format, float seconds);

// Whether an output period of `periodSize` bytes can pace playback of
// format: positive and at most one second of audio, so that the periods
// per second used for notify intervals and delays are at least 1.
VOICEPIPE_EXPORT bool usablePeriod(int periodSize, const QAudioFormat& format);

// Notify interval of one period: 1000 / (bytesPerSecond / periodSize) ms.
// The period must be usable.
VOICEPIPE_EXPORT int periodIntervalMs(int periodSize, const QAudioFormat& format);

// Bytes to ask an Opus decoder to conceal or rebuild for one lost frame of
// `frameBytes`: at most the whole 2.5 ms steps that fit in `capacity`, since
// the codec fills the whole duration asked for.
VOICEPIPE_EXPORT int concealmentBytes(int frameBytes, const QAudioFormat& format, int capacity);

// The default category, for qCDebug on paths run per packet: the line is
// only formatted when debug output is on.
VOICEPIPE_EXPORT const QLoggingCategory& voiceLog();

} // namespace AudioMath
