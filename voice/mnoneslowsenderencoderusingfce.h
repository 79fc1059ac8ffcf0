#pragma once

#include "mflushingencoder.h"

// Collects `seconds` of raw PCM (at most one second), then sends it as
// packets of packetBytes spaced 25 % further apart than the blocks come in,
// so a backlog builds up and is carried from flush to flush. An experiment
// in slow sending. Owned by its parent; input device and socket are
// borrowed. Owner's thread.
class VOICEPIPE_EXPORT MNoneSlowSenderEncoderUsingFCE : public MFlushingEncoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MNoneSlowSenderEncoderUsingFCE)

public:
    MNoneSlowSenderEncoderUsingFCE(QIODevice* input, const QAudioFormat& format,
        MUdpSocket* socket, float seconds, int packetBytes, QObject* parent = nullptr);
    ~MNoneSlowSenderEncoderUsingFCE() override;

    int sendInterval() const { return sendIntervalMs; }

private:
    int sendIntervalMs = 0;
};
