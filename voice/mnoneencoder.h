#pragma once

#include "mencoder.h"

// Pass-through encoder: sends whatever the input device holds as one voice
// packet of raw PCM at every readyRead() (an empty read too). Owned by its
// parent; input device and socket are borrowed. Owner's thread.
class VOICEPIPE_EXPORT MNoneEncoder : public MEncoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MNoneEncoder)

public:
    MNoneEncoder(QIODevice* input, const QAudioFormat& format, MUdpSocket* socket,
        QObject* parent = nullptr);
    ~MNoneEncoder() override;

protected slots:
    void sendAvailableVoice() override;
};
