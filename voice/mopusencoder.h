#pragma once

#include "mencoder.h"

#include <QByteArray>

#include <memory>

class QAudioInput;
class OpusEncoderWrapper;

// Live-speech encoder: on each readyRead() of the started audio input it reads
// one input period, encodes whole Opus frames and sends one voice packet per
// frame. When the input's period is not a whole Opus frame (Qt's PulseAudio
// input gives 4092 bytes) it re-chunks into 20 ms frames and keeps the rest
// for the next step. Owned by its parent; audio input, device and socket are
// borrowed. The input and its device must be started before construction.
class VOICEPIPE_EXPORT MOpusEncoder : public MEncoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MOpusEncoder)

public:
    static constexpr int MAX_ENCDATA_BYTES = 8192;

    MOpusEncoder(QAudioInput* audioInput, QIODevice* input, const QAudioFormat& format,
        MUdpSocket* socket, int complexity, int bitrate, bool inbandFec, QObject* parent = nullptr);
    ~MOpusEncoder() override;

    // Bytes read per step (the input's period) and bytes per encoded frame.
    int periodBytes() const { return frameBytes; }
    int opusFrameBytes() const { return m_opusFrameBytes; }

    // Whether byteCount is a whole Opus frame (2.5 to 60 ms) of format.
    static bool isWholeOpusFrame(int byteCount, const QAudioFormat& format);

protected slots:
    void sendAvailableVoice() override;

private:
    void encodeFrame(const char* pcm, int size);

    OpusEncoderWrapper* codec;
    std::unique_ptr<unsigned char[]> packetBuffer;
    int frameBytes = 0;

    int m_opusFrameBytes = 0;
    QByteArray m_pending;
};
