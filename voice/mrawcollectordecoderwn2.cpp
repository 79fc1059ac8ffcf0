#include "mrawcollectordecoderwn2.h"

#include "audiomath.h"
#include "wireformat.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QMutexLocker>

#include "voicelog.h"

namespace {

// The inserted silence is delayPeriods (half a second) four times over.
const int kDelayRepeats = 4;

} // namespace

MRawCollectorDecoderWN2::MRawCollectorDecoderWN2(QAudioOutput* output, QIODevice* device,
    const QAudioFormat& format, float seconds, QObject* parent)
    : MRawCollectorDecoderWN2(
        output, device, format, seconds, false, "MRawCollectorDecoderWN2", parent)
{ }

MRawCollectorDecoderWN2::MRawCollectorDecoderWN2(
    int period, QIODevice* device, const QAudioFormat& format, float seconds, QObject* parent)
    : MRawCollectorDecoderWN2(
        period, device, format, seconds, false, "MRawCollectorDecoderWN2", parent)
{ }

MRawCollectorDecoderWN2::MRawCollectorDecoderWN2(QAudioOutput* output, QIODevice* device,
    const QAudioFormat& format, float seconds, bool withLock, const char* name, QObject* parent)
    : MNotifiedDecoder(output, device, format, name, parent), collectSeconds(seconds),
      collectorLock(withLock ? new QMutex : nullptr)
{
    setUp();
}

MRawCollectorDecoderWN2::MRawCollectorDecoderWN2(int period, QIODevice* device,
    const QAudioFormat& format, float seconds, bool withLock, const char* name, QObject* parent)
    : MNotifiedDecoder(period, device, format, name, parent), collectSeconds(seconds),
      collectorLock(withLock ? new QMutex : nullptr)
{
    setUp();
}

MRawCollectorDecoderWN2::~MRawCollectorDecoderWN2() = default;

void MRawCollectorDecoderWN2::setUp()
{
    skipCallPerMissingPacket = false;
    if (!outputUsable())
        return;
    delayPeriods = AudioMath::bytesPerSecond(audioFormat) / periodSize / 2;
    produceHalfSecondArtificialDelay();
    const QByteArray silence = getEmptyWaveForSeqSkip(periodSize);
    qCDebug(lcVoice) << "seqSkip ByteLen is: " << silence.size();
    startPlayout();
}

void MRawCollectorDecoderWN2::logPositions(const char* what) const
{
    if (!AudioMath::voiceLog().isDebugEnabled())
        return;
    const QByteArray label = QByteArray("======================== ") + what + ": ";
    if (collectorLock)
        qCDebug(lcVoice) << label.constData() << collector.position() << collector.readPosition();
    else
        qCDebug(lcVoice) << label.constData() << collector.position() << resumePos
                         << collector.readPosition();
}

void MRawCollectorDecoderWN2::produceHalfSecondArtificialDelay()
{
    logPositions("produceHalfSecondArtificialDelay");
    qCDebug(lcVoice)
        << "%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%% "
           "PRODUCING DELAY";
    const QByteArray silence = getEmptyWaveForSeqSkip(periodSize);
    qCDebug(lcVoice) << "emptydatalen: " << silence.size();
    {
        QMutexLocker locker(collectorLock.get());
        collector.writeRepeated(silence, delayPeriods * kDelayRepeats);
    }
    qCDebug(lcVoice) << "WRITTEN: " << silence.size();
    if (!collectorLock) {
        resumePos = collector.position();
        pendingSeek = true;
    }
}

void MRawCollectorDecoderWN2::processVoicePacket(const QByteArray& packet)
{
    if (!outputUsable())
        return;
    logPositions("processVoicePacket");
    if (pendingSeek) {
        collector.seek(resumePos);
        pendingSeek = false;
        qCDebug(lcVoice) << QByteArray(73, '^').constData() << resumePos;
    }
    QMutexLocker locker(collectorLock.get());
    collector.write(packet.constData() + WireFormat::kVoiceHeaderSize,
        packet.size() - WireFormat::kVoiceHeaderSize);
}

void MRawCollectorDecoderWN2::processSeqSkip(int payloadSize)
{
    if (!outputUsable())
        return;
    logPositions("processSeqSkip");
    const QByteArray silence = getEmptyWaveForSeqSkip(payloadSize);
    QMutexLocker locker(collectorLock.get());
    collector.write(silence);
}

bool MRawCollectorDecoderWN2::playBlock()
{
    logPositions("notified");
    const qint64 pos = collector.position();
    const qint64 avail = collector.available();
    const int big = periodSize + periodSize / 2;
    qCDebug(AudioMath::voiceLog) << "&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&" << avail
                                 << big;
    if (avail < big) {
        qCDebug(lcVoice) << "PUT OFF...";
        produceHalfSecondArtificialDelay();
        play(getEmptyWaveForSeqSkip(-1));
        // Back before the silence just inserted; the next packet resumes
        // after it (pendingSeek). The locked variant stays after it.
        if (!collectorLock)
            collector.seek(pos);
        return true;
    }
    QMutexLocker locker(collectorLock.get());
    // One period per block, as in the other notification decoders.
    int got = 0;
    const char* data = collector.peek(periodSize, &got);
    play(data, got);
    collector.advance(periodSize);
    collector.seek(pos);
    qCDebug(AudioMath::voiceLog) << "PUT ON...";
    return true;
}
