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

struct Result
{
    bool ok = false;
    QByteArray sent; // everything the capture path handed the encoder
    QVector<int> streamDelaysMs; // the echo canceller's delay, sampled per 100 ms
    // A starved machine: the far end's output ran dry or the microphone overran.
    int underruns = 0;
    int overruns = 0;
};

Result run(const Run& settings);

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
