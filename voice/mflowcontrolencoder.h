#pragma once

#include "mflushingencoder.h"

// Collects `seconds` of raw PCM, then sends it as packets of packetBytes,
// one per turn of the event loop; a rest shorter than a packet waits for the
// next flush. Owned by its parent; input device and socket are borrowed.
// Owner's thread.
class VOICEPIPE_EXPORT MFlowControlEncoder : public MFlushingEncoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MFlowControlEncoder)

public:
    MFlowControlEncoder(QIODevice* input, const QAudioFormat& format, MUdpSocket* socket,
        float seconds, int packetBytes, QObject* parent = nullptr);
    ~MFlowControlEncoder() override;
};
