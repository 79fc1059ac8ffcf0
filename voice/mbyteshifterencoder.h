#pragma once

#include "mencoder.h"

// Sends raw PCM shifted once by 2 bytes: the first block goes out without
// its first 2 bytes, every later block unchanged, so 16-bit stereo arrives
// with its channels exchanged (16-bit mono one sample late). An experiment
// in stream alignment. Owned by its parent; input device and socket are
// borrowed. Owner's thread.
class VOICEPIPE_EXPORT MByteShifterEncoder : public MEncoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MByteShifterEncoder)

public:
    MByteShifterEncoder(QIODevice* input, const QAudioFormat& format, MUdpSocket* socket,
        QObject* parent = nullptr);
    ~MByteShifterEncoder() override;

protected slots:
    void sendAvailableVoice() override;

private:
    int blockCount = 0;
};
