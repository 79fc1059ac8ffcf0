#pragma once

#include "mdecoder.h"

class QAudioOutput;
class MAudioOutputFeeder;

// Base of the decoders paced by the audio output's notify(): it checks the
// output's period, sets the notify interval to one period, primes the output
// with two periods of silence and hands the output one block at a time
// through an MAudioOutputFeeder (every byte once, in order; playback resumes
// after the output fell idle). The connections to the output belong to the
// feeder, so destroying a decoder cuts only its own and a decoder built in
// its place keeps receiving notifications. Without a usable period (no
// output device) the decoder warns once and stays silent. Owner's thread.
class VOICEPIPE_EXPORT MNotifiedDecoder : public MDecoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MNotifiedDecoder)

public:
    ~MNotifiedDecoder() override;

    // What one output notification does; for offline pacing.
    void playPeriod() { notified(); }

    bool outputUsable() const { return m_feeder != nullptr; }
    int periodBytes() const { return periodSize; }
    int notifyIntervalMs() const { return m_notifyIntervalMs; }
    const MAudioOutputFeeder* feeder() const { return m_feeder; }

protected:
    // `name` starts the warning about an unusable output.
    MNotifiedDecoder(QAudioOutput* output, QIODevice* device, const QAudioFormat& format,
        const char* name, QObject* parent);
    // Offline pacing without an audio output (benchmarks, tools): blocks go to
    // device, one period per playPeriod() call.
    MNotifiedDecoder(int periodSize, QIODevice* device, const QAudioFormat& format,
        const char* name, QObject* parent);

    // Connects the feeder, sets the notify interval and writes the period of
    // silence (the base's block for periodSize) twice to the output. Called
    // by the derived constructor once its own state is ready.
    void startPlayout();

    // Hands the output one block; false when there is nothing to hand out
    // this round.
    virtual bool playBlock() = 0;
    // Writes to the output through the feeder.
    void play(const char* data, int size);
    void play(const QByteArray& data) { play(data.constData(), data.size()); }

    QAudioOutput* audioOutput;
    // The output's period in bytes; 0 when unusable.
    int periodSize = 0;

private slots:
    void notified();

private:
    MAudioOutputFeeder* m_feeder = nullptr;
    int m_notifyIntervalMs = 0;
};
