#pragma once

#include "sourcefeeder.h"

#include <QAudioFormat>
#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>

// Access for tests to the private audio server that with-pulse.sh (or
// startPrivateServer) runs: what its default sink played, bit-exact, and where
// its microphone is fed (see SourceFeeder). Functions taking `dir` address the
// server in that folder; an empty `dir` means the server of this process
// (CLASSROOM_PULSE_DIR). PCM is always 48000 Hz, 2 channels, signed 16-bit LE.
// Stateless; usable from any thread.
class AudioHarness
{
public:
    static constexpr int kSampleRate = 48000;
    static constexpr int kChannels = 2;
    static constexpr int kBytesPerFrame = 4;
    static constexpr int kChunkBytes = 3840; // 20 ms

    // The format the harness devices run at; Qt's backend refuses 16-bit unsigned.
    static QAudioFormat format();
    static QByteArray silence(int ms);
    // Deterministic, non-repeating full-scale noise: found in a capture only
    // where it was played.
    static QByteArray testPattern(int ms, quint32 seed);

    static QString serverDir();
    static bool isRunning(const QString& dir = QString());
    static QString serverAddress(const QString& dir = QString()); // "unix:DIR/native"
    static QString sinkCapturePath(const QString& dir = QString());
    static QString sourceFifoPath(const QString& dir = QString());
    // What the microphone delivered, appended as it was delivered.
    static QString microphoneCapturePath(const QString& dir = QString());
    static qint64 sinkCaptureSize(const QString& dir = QString());
    // Up to `bytes` bytes (all to the end with -1) of the capture from `offset`.
    static QByteArray readSinkCapture(
        qint64 offset, qint64 bytes = -1, const QString& dir = QString());
    // Processes events until the capture holds at least `size` bytes.
    static bool waitForSinkCapture(qint64 size, int timeoutMs, const QString& dir = QString());

    // A second, independent server in `dir` (created if missing) for a test
    // that runs a program against an audio server of its own. Stop it before
    // removing the folder; it also stops by itself when this process ends.
    static bool startPrivateServer(const QString& dir);
    static bool stopPrivateServer(const QString& dir);
    // This process's environment with PULSE_SERVER and the CLASSROOM_* audio
    // variables aimed at the server in `dir`, for a QProcess.
    static QProcessEnvironment environmentFor(const QString& dir);

    // Byte offset of the first frame-aligned exact copy of `needle` in
    // `haystack` at or after `from`, or -1.
    static qint64 findExact(const QByteArray& haystack, const QByteArray& needle, qint64 from = 0);

    struct Match
    {
        qint64 offset = -1; // byte offset in the haystack, frame-aligned
        double score = 0.0; // normalised correlation, 1.0 for a scaled copy
    };
    // Where `needle` fits `haystack` best by normalised cross-correlation of
    // channel `channel`; for lossy paths (codec, resampling) where an exact
    // search fails. The needle must not be silent.
    static Match findSignal(const QByteArray& haystack, const QByteArray& needle, int channel = 0);
};
