#pragma once

#include "voicepipe_global.h"

#include <QAudioFormat>

#include <memory>

class QByteArray;
class QObject;
class OpusDecoderWrapper;

// The Opus step shared by MOpusDecoder and MOpusDecoderWN: decodes a voice
// packet's payload into a fixed buffer, logs the saving of each frame, and
// conceals a lost frame as long as the last decoded one. The codec wrapper
// is a child of the owning decoder. Owner's thread.
class VOICEPIPE_EXPORT OpusFrameDecoder
{
public:
    static constexpr int MAX_DECDATA_BYTES = 24576;

    // `name` prefixes the log lines ("<name>:: Decoder initialization failed.").
    OpusFrameDecoder(QObject* owner, const QAudioFormat& format, int initialFrameBytes,
        const char* name);
    ~OpusFrameDecoder();
    OpusFrameDecoder(const OpusFrameDecoder&) = delete;
    OpusFrameDecoder& operator=(const OpusFrameDecoder&) = delete;

    // Decodes bytes 4 to the end of a voice packet; the PCM byte count
    // (then in data()), or the codec's negative error, which is logged.
    int decodePacket(const QByteArray& packet);
    // Conceals one lost frame of lastDecodedSize bytes; the byte count or a
    // negative error (not logged).
    int conceal();

    const char* data() const { return reinterpret_cast<const char*>(decodeBuffer.get()); }
    int lastDecodedSize() const { return m_lastDecodedSize; }

private:
    OpusDecoderWrapper* codec;
    std::unique_ptr<unsigned char[]> decodeBuffer;
    QAudioFormat m_format;
    int m_lastDecodedSize;
    const char* m_name;
};
