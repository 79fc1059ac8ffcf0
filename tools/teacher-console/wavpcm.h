#pragma once

#include <QByteArray>
#include <QString>

// Reads the PCM of a WAV file that holds what the console streams: 48000 Hz,
// 2 channels, signed 16-bit little-endian. Anything else gives an empty
// array and says why in `error` (sox converts any file into this form).
namespace WavPcm {

QByteArray read(const QString& path, QString* error);
// The same for a WAV file already in memory.
QByteArray parse(const QByteArray& file, QString* error);

} // namespace WavPcm
