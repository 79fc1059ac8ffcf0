#pragma once

#include "voicepipe_global.h"

#include <QString>

class QAudioFormat;
class QAudioOutput;
class QIODevice;
class QObject;
class MDecoder;

// The decoders a student can choose for incoming voice, in the order of the
// window's list: each row's item text and how its decoder is built (raw
// collectors collect 0.5 s; the recorders write "A.wav", numbered when the
// name is taken, in the working directory). create() has the shape of the
// playback object's decoder factory. Plain functions; owner's thread.
namespace DecoderTable {

inline constexpr int kRowCount = 11;
inline constexpr int kDefaultIndex = 10; // "Opus Advanced"
inline constexpr float kCollectSeconds = 0.5f;

// "Raw", "Raw Collector (Broken)", ...; empty outside 0 .. kRowCount - 1.
VOICEPIPE_EXPORT QString itemText(int index);

// A new decoder of row `index` for the started output and its push device,
// with `parent` as Qt parent; null outside the table.
VOICEPIPE_EXPORT MDecoder* create(int index, QAudioOutput* output, QIODevice* device,
    const QAudioFormat& format, QObject* parent);

} // namespace DecoderTable
