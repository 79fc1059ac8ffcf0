#pragma once

#include "mencoder.h"

// Sends each block of raw PCM rotated left by 2 bytes (bytes 2 to the end,
// then bytes 0 and 1), so the alignment error changes at every block
// boundary. An experiment in stream alignment. Owned by its parent; input
// device and socket are borrowed. Owner's thread.
class VOICEPIPE_EXPORT MByteExchangerEncoder : public MEncoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MByteExchangerEncoder)

public:
    MByteExchangerEncoder(QIODevice* input, const QAudioFormat& format, MUdpSocket* socket,
        QObject* parent = nullptr);
    ~MByteExchangerEncoder() override;

    // The rotation of one block; a block shorter than 2 bytes is unchanged.
    static QByteArray rotated(const QByteArray& block);

protected slots:
    void sendAvailableVoice() override;
};
