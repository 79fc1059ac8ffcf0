#include "mopusencoder.h"

#include "opusencoderwrapper.h"

#include <QAudioInput>
#include <QDebug>
#include <QIODevice>

#include "voicelog.h"

namespace {

// Frame durations Opus accepts, in tenths of a millisecond: 2.5 to 60 ms.
const int kOpusFrameTenthsMs[] = { 25, 50, 100, 200, 400, 600 };
// Frame used when the input period is not a whole Opus frame: 20 ms.
const int kRechunkTenthsMs = 200;

int bytesPerSampleFrame(const QAudioFormat& format)
{
    return format.channelCount() * (format.sampleSize() / 8);
}

int opusFrameSamples(int sampleRate, int tenthsMs)
{
    // Truncated as the codec wrapper does: rate x duration in double precision.
    return int(double(sampleRate) * double(tenthsMs) / 10000.0);
}

} // namespace

MOpusEncoder::MOpusEncoder(QAudioInput* audioInput, QIODevice* input, const QAudioFormat& format,
    MUdpSocket* udpSocket, int complexity, int bitrate, bool inbandFec, QObject* parent)
    : MEncoder(input, format, udpSocket, parent), codec(new OpusEncoderWrapper(this)),
      packetBuffer(new unsigned char[MAX_ENCDATA_BYTES])
{
    const int result = codec->initializeEncoder(
        format.sampleRate(), format.channelCount(), complexity, bitrate, inbandFec);
    if (result != 0)
        qCDebug(lcVoice) << "MOpusEncoder:: Encoder initialization failed." << result;
    frameBytes = audioInput ? audioInput->periodSize() : 0;

    if (frameBytes <= 0 || isWholeOpusFrame(frameBytes, format)) {
        m_opusFrameBytes = frameBytes;
    } else {
        // Qt's PulseAudio input reports 4092 bytes (21.3 ms): encode 20 ms
        // frames and carry the rest over, so that no captured byte is lost.
        m_opusFrameBytes
            = opusFrameSamples(format.sampleRate(), kRechunkTenthsMs) * bytesPerSampleFrame(format);
        qCDebug(lcVoice) << "MOpusEncoder:: input period of" << frameBytes
                         << "bytes is not a whole Opus frame; encoding frames of"
                         << m_opusFrameBytes << "bytes";
    }
    m_pending.reserve(frameBytes + m_opusFrameBytes);
}

MOpusEncoder::~MOpusEncoder() = default;

bool MOpusEncoder::isWholeOpusFrame(int byteCount, const QAudioFormat& format)
{
    const int sampleFrame = bytesPerSampleFrame(format);
    if (byteCount <= 0 || sampleFrame <= 0 || byteCount % sampleFrame != 0)
        return false;
    const int samples = byteCount / sampleFrame;
    for (const int tenths : kOpusFrameTenthsMs) {
        if (samples == opusFrameSamples(format.sampleRate(), tenths))
            return true;
    }
    return false;
}

void MOpusEncoder::sendAvailableVoice()
{
    if (!inputDevice || frameBytes <= 0 || m_opusFrameBytes <= 0)
        return;
    // One read of at most one period per readyRead(); a short read waits in
    // m_pending for the rest of its frame instead of reaching the codec.
    const int before = m_pending.size();
    m_pending.resize(before + frameBytes);
    const qint64 got = inputDevice->read(m_pending.data() + before, frameBytes);
    m_pending.resize(before + int(qMax<qint64>(got, 0)));
    if (got <= 0)
        return;

    int offset = 0;
    while (m_pending.size() - offset >= m_opusFrameBytes) {
        encodeFrame(m_pending.constData() + offset, m_opusFrameBytes);
        offset += m_opusFrameBytes;
    }
    if (offset > 0)
        m_pending.remove(0, offset);
}

void MOpusEncoder::encodeFrame(const char* pcm, int size)
{
    const int result = codec->encode(pcm, size, packetBuffer.get(), MAX_ENCDATA_BYTES);
    if (result > 1) {
        sendVoicePacket(
            QByteArray::fromRawData(reinterpret_cast<const char*>(packetBuffer.get()), result));
    } else if (result == 1) {
        qCDebug(lcVoice)
            << "MOpusEncoder::::::::::::::::::::::::::::::::::::::::::::::::::::::::::::::::"
               "1 DETECTED";
    } else {
        qCDebug(lcVoice) << "MOpusEncoder:: Encoding error " << result;
    }
}
