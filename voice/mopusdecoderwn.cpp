#include "mopusdecoderwn.h"

#include "audiomath.h"
#include "opusframedecoder.h"

#include <QDebug>
#include <QLoggingCategory>

#include "voicelog.h"

MOpusDecoderWN::MOpusDecoderWN(
    QAudioOutput* output, QIODevice* device, const QAudioFormat& format, QObject* parent)
    : MNotifiedDecoder(output, device, format, "MOpusDecoderWN", parent)
{
    setUp();
}

MOpusDecoderWN::MOpusDecoderWN(
    int period, QIODevice* device, const QAudioFormat& format, QObject* parent)
    : MNotifiedDecoder(period, device, format, "MOpusDecoderWN", parent)
{
    setUp();
}

MOpusDecoderWN::~MOpusDecoderWN()
{
    qCDebug(lcVoice) << "MOpusDecoderWN::~MOpusDecoderWN" << static_cast<void*>(this);
}

void MOpusDecoderWN::setUp()
{
    qCDebug(lcVoice) << "MOpusDecoderWN::MOpusDecoderWN" << static_cast<void*>(this);
    m_opus.reset(new OpusFrameDecoder(this, audioFormat, periodSize, "MOpusDecoderWN"));
    skipCallPerMissingPacket = true;
    if (!outputUsable())
        return;
    delayPeriodsWritten = 0;
    delayPeriods = AudioMath::bytesPerSecond(audioFormat) / periodSize / 2;
    produceHalfSecondArtificialDelay();
    startPlayout();
}

int MOpusDecoderWN::lastDecodedBytes() const
{
    return m_opus->lastDecodedSize();
}

void MOpusDecoderWN::produceHalfSecondArtificialDelay()
{
    qCDebug(lcVoice)
        << "%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%% "
           "PRODUCING DELAY";
    const QByteArray silence = getEmptyWaveForSeqSkip(periodSize);
    collector.writeRepeated(silence, delayPeriods - delayPeriodsWritten);
    delayPeriodsWritten = qMax(delayPeriodsWritten, delayPeriods);
}

void MOpusDecoderWN::processVoicePacket(const QByteArray& packet)
{
    const int n = m_opus->decodePacket(packet);
    if (n >= 0 && outputUsable())
        collector.write(m_opus->data(), n);
}

void MOpusDecoderWN::processSeqSkip(int /*lastPayloadSize*/)
{
    // Concealed to keep the codec's state in step; the result is not played.
    m_opus->conceal();
}

bool MOpusDecoderWN::playBlock()
{
    qCDebug(AudioMath::voiceLog) << "MOpusDecoderWN::notified" << static_cast<void*>(this);
    const qint64 avail = collector.available();
    const int big = periodSize + periodSize / 2;
    if (avail >= periodSize) {
        // The feeder asks for one period at a time and hands the output more
        // in the same round when it has room, so the extra half period the
        // output used to be offered would only be played twice.
        if (avail < big)
            qCDebug(AudioMath::voiceLog) << "PUT ONLY ONE...";
        int got = 0;
        const char* data = collector.peek(periodSize, &got);
        play(data, got);
        collector.advance(periodSize);
    } else {
        play(getEmptyWaveForSeqSkip(-1));
        delayPeriodsWritten = 0;
        produceHalfSecondArtificialDelay();
    }
    qCDebug(AudioMath::voiceLog) << "DOES SIZE GORW? ============================================"
                                 << collector.position() << collector.size();
    return true;
}
