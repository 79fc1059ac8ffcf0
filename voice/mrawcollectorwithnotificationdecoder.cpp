#include "mrawcollectorwithnotificationdecoder.h"

#include "audiomath.h"
#include "wireformat.h"

#include <QDebug>
#include <QLoggingCategory>

#include "voicelog.h"

MRawCollectorWithNotificationDecoder::MRawCollectorWithNotificationDecoder(QAudioOutput* output,
    QIODevice* device, const QAudioFormat& format, float seconds, QObject* parent)
    : MNotifiedDecoder(output, device, format, "MRawCollectorWithNotificationDecoder", parent),
      collectSeconds(seconds)
{
    setUp();
}

MRawCollectorWithNotificationDecoder::MRawCollectorWithNotificationDecoder(
    int period, QIODevice* device, const QAudioFormat& format, float seconds, QObject* parent)
    : MNotifiedDecoder(period, device, format, "MRawCollectorWithNotificationDecoder", parent),
      collectSeconds(seconds)
{
    setUp();
}

MRawCollectorWithNotificationDecoder::~MRawCollectorWithNotificationDecoder() = default;

void MRawCollectorWithNotificationDecoder::setUp()
{
    skipCallPerMissingPacket = false;
    if (!outputUsable())
        return;
    const QByteArray silence = getEmptyWaveForSeqSkip(periodSize);
    collector.writeRepeated(silence, 3);
    qCDebug(lcVoice) << "seqSkip ByteLen is: " << silence.size();
    startPlayout();
}

void MRawCollectorWithNotificationDecoder::processVoicePacket(const QByteArray& packet)
{
    if (outputUsable())
        collector.write(packet.constData() + WireFormat::kVoiceHeaderSize,
            packet.size() - WireFormat::kVoiceHeaderSize);
}

void MRawCollectorWithNotificationDecoder::processSeqSkip(int payloadSize)
{
    if (outputUsable())
        collector.write(getEmptyWaveForSeqSkip(payloadSize));
}

bool MRawCollectorWithNotificationDecoder::playBlock()
{
    const qint64 avail = collector.available();
    const int big = periodSize + periodSize / 2;
    qCDebug(AudioMath::voiceLog) << "&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&" << avail
                                 << big;
    if (avail < periodSize) {
        qCDebug(AudioMath::voiceLog) << "PUT OFF...";
        const QByteArray silence = getEmptyWaveForSeqSkip(-1);
        play(silence);
        return !silence.isEmpty();
    }
    // One period per block: the output gets further periods in the same
    // round when it has room, so the half period it used to be offered on
    // top would only be played twice.
    int got = 0;
    const char* data = collector.peek(periodSize, &got);
    play(data, got);
    collector.advance(periodSize);
    qCDebug(AudioMath::voiceLog) << (avail >= big ? "PUT ON..." : "PUT HALF...");
    return true;
}
