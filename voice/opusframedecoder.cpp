#include "opusframedecoder.h"

#include "audiomath.h"
#include "opusdecoderwrapper.h"
#include "wireformat.h"

#include <QByteArray>
#include <QDebug>
#include <QLoggingCategory>

#include "voicelog.h"

namespace {

const int kSequenceBytes = WireFormat::kVoiceHeaderSize;

} // namespace

OpusFrameDecoder::OpusFrameDecoder(
    QObject* owner, const QAudioFormat& format, int initialFrameBytes, const char* name)
    : codec(new OpusDecoderWrapper(owner)), decodeBuffer(new unsigned char[MAX_DECDATA_BYTES]()),
      m_format(format), m_lastDecodedSize(initialFrameBytes), m_name(name)
{
    if (codec->initializeDecoder(format.sampleRate(), format.channelCount()) != 0)
        qCDebug(lcVoice).noquote()
            << QString::fromLatin1(m_name) + QStringLiteral(":: Decoder initialization failed.");
}

OpusFrameDecoder::~OpusFrameDecoder() = default;

int OpusFrameDecoder::decodePacket(const QByteArray& packet)
{
    const int payloadBytes = packet.size() - kSequenceBytes;
    const int n
        = codec->decode(reinterpret_cast<const unsigned char*>(packet.constData()) + kSequenceBytes,
            payloadBytes, decodeBuffer.get(), MAX_DECDATA_BYTES);
    if (n < 0) {
        qCDebug(lcVoice).noquote()
            << QString::fromLatin1(m_name) + QStringLiteral(":: Decoding error ") << n;
        return n;
    }
    m_lastDecodedSize = n;
    qCDebug(AudioMath::voiceLog) << "Opus packet received: " << payloadBytes << ":" << n
                                 << " Saving: %" << double(payloadBytes) * 100.0 / double(n);
    return n;
}

int OpusFrameDecoder::conceal()
{
    // Until a first frame has decoded, the size is the output's period, which
    // may exceed the buffer (or be 0 without an output).
    const int bytes = AudioMath::concealmentBytes(m_lastDecodedSize, m_format, MAX_DECDATA_BYTES);
    return codec->decodePacketLossConcealment(decodeBuffer.get(), bytes);
}
