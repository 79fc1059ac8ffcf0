#pragma once

#include "mencoder.h"

class WavRecorder;

// Records whatever the input device holds into a WAV file and sends nothing
// (the socket is only held). Owned by its parent; input device and socket
// are borrowed. Owner's thread.
class VOICEPIPE_EXPORT MWavRecorderEncoder : public MEncoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MWavRecorderEncoder)

public:
    MWavRecorderEncoder(QIODevice* input, const QAudioFormat& format, MUdpSocket* socket,
        const QString& fileName, QObject* parent = nullptr);
    ~MWavRecorderEncoder() override;

    const WavRecorder* wavRecorder() const { return recorder; }

protected slots:
    void sendAvailableVoice() override;

private:
    WavRecorder* recorder;
};
