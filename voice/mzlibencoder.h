#pragma once

#include "mencoder.h"

// Sends whatever the input device holds, compressed with qCompress at the
// given level (-1 the library default, 0 to 9 as in zlib): a 4-byte
// big-endian uncompressed size followed by a zlib stream. Owned by its
// parent; input device and socket are borrowed. Owner's thread.
class VOICEPIPE_EXPORT MZLibEncoder : public MEncoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MZLibEncoder)

public:
    MZLibEncoder(QIODevice* input, const QAudioFormat& format, MUdpSocket* socket,
        int compressionLevel, QObject* parent = nullptr);
    ~MZLibEncoder() override;

protected slots:
    void sendAvailableVoice() override;

private:
    int compressionLevel;
};
