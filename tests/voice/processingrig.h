#pragma once

// The voice-processing set-ups shared by the test and the benchmark: the
// microphone of the private audio server plays a prepared mix through the
// real MVoiceCapture, and what the capture path sends is recorded; for echo,
// the speech is played by a real MVoicePlayback whose output the server loops
// back into the microphone. Plus the measures taken on the recordings. PCM is
// 48000 Hz, stereo, signed 16-bit LE throughout. GUI thread.

#include "voiceprocessing.h"

#include <QByteArray>
#include <QVector>

namespace ProcessingRig {

constexpr int kBytesPerMs = 192;

struct Run
{
    VoiceProcessing::Settings settings;
    // Sets CLASSROOM_VOICE_PROCESSING=off for the run.
    bool environmentOff = false;
    // What the microphone hears (played from the start of the run).
    QByteArray microphone;
    // What the window's output plays, from `farEndAtMs`, looped back into the
    // microphone at `echoVolumePercent` (none when empty).
    QByteArray farEnd;
    int farEndAtMs = 0;
    int echoVolumePercent = 60;
    int durationMs = 0;
};

// When a stream had reached a byte count (ms since the run started).
struct Arrival
{
    qint64 atMs = 0;
    int endByte = 0;
};

struct Result
{
    bool ok = false;
    QByteArray sent; // everything the capture path handed the encoder
    QVector<Arrival> sentArrivals;
    // What the window's output accepted (the canceller's reference), whenever
    // there is a far end, with processing on or off.
    QByteArray farEnd;
    QVector<Arrival> farEndArrivals;
    QVector<int> streamDelaysMs; // the echo canceller's delay, sampled per 100 ms
    // The canceller's own estimate of the echo against its aligned far end,
    // sampled per 100 ms once it has one.
    QVector<int> estimatedDelaysMs;
    // A starved machine: the far end's output ran dry or the microphone overran.
    int underruns = 0;
    int overruns = 0;
};

Result run(const Run& settings);

// How long after the output accepted a stretch of the far end its echo
// reached the capture path's end, measured from the recordings by envelope
// correlation over one-second windows of far-end speech: the delay the echo
// canceller should be given. One value per window that found its echo.
QVector<int> echoPathDelaysMs(const Result& result);

// Steady noise made by sox ("pinknoise", "brownnoise"); empty on failure.
QByteArray soxNoise(const char* kind, int ms);
QByteArray silence(int ms);
QByteArray scaled(const QByteArray& pcm, double gain);
// a + b, saturated, as long as the longer of the two.
QByteArray mixed(const QByteArray& a, const QByteArray& b);
// `noise` scaled so that the active speech is `snrDb` above it, added to `speech`.
QByteArray withNoise(const QByteArray& speech, const QByteArray& noise, double snrDb);

// RMS per `frameMs`, both channels.
QVector<double> envelope(const QByteArray& pcm, int frameMs = 10);
double dbfs(double rms);
double rmsOf(const QByteArray& pcm);
// RMS of the frames of `pcm` whose envelope frames are at or above -45 dBFS.
double activeRms(const QByteArray& pcm);
// Pearson correlation of a and b[lag...].
double correlation(const QVector<double>& a, const QVector<double>& b, int lag = 0);
// The lag (in envelope frames, 0..maxLag) at which b follows a best.
int bestLag(const QVector<double>& a, const QVector<double>& b, int maxLag);

// `recorded` from the millisecond at which it best follows `reference`
// (searched up to `maxLagMs`, on 1 ms envelopes): aligned finer than the
// 10 ms envelope frames, so that both runs of a comparison are compared on
// the same frame boundaries.
QByteArray alignedTo(const QByteArray& reference, const QByteArray& recorded, int maxLagMs);

// Frames (10 ms) of `clean` at or above -45 dBFS: where the talker speaks.
QVector<int> activeFrames(const QByteArray& clean);
// Frames (10 ms) of `clean` that lie in a pause: quieter than -50 dBFS with
// 100 ms of quiet on either side.
QVector<int> pauseFrames(const QByteArray& clean);
// The 10th percentile of the frame levels (dBFS) of `pcm` between two
// envelope frames: the noise floor between words, found without alignment.
double noiseFloorDbfs(const QByteArray& pcm, int fromFrame, int toFrame);
// RMS of `sent` over the given frames of the reference shifted by `lag`.
double rmsOverFrames(const QByteArray& sent, const QVector<int>& frames, int lag);

} // namespace ProcessingRig
