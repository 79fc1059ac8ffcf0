#pragma once

#include "mencoder.h"

class WavRecorder;

// Sends whatever the input device holds as one raw PCM voice packet and
// records the same bytes into a WAV file. Owned by its parent; input device
// and socket are borrowed. Owner's thread.
class VOICEPIPE_EXPORT MWavRecorderSenderEncoder : public MEncoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MWavRecorderSenderEncoder)

public:
    MWavRecorderSenderEncoder(QIODevice* input, const QAudioFormat& format, MUdpSocket* socket,
        const QString& fileName, QObject* parent = nullptr);
    ~MWavRecorderSenderEncoder() override;

    const WavRecorder* wavRecorder() const { return recorder; }

protected slots:
    void sendAvailableVoice() override;

private:
    WavRecorder* recorder;
};
