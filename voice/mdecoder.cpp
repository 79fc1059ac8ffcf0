#include "mdecoder.h"

#include "mabstractsocket.h"
#include "mstatistics.h"
#include "wireformat.h"

#include <ctime>

#include <QDebug>

#include "voicelog.h"

namespace {

const int kSequenceBytes = WireFormat::kVoiceHeaderSize;
// Bound on the per-missing-packet calls for one gap: a corrupt or hostile
// sequence number must not keep the thread concealing for hours. One minute
// of 20 ms frames covers any real outage.
const qint64 kMaxSkipCalls = 3000;

qint64 processClockMs()
{
    return qint64(std::clock()) * 1000 / CLOCKS_PER_SEC;
}

} // namespace

MDecoder::MDecoder(QIODevice* output, const QAudioFormat& format, QObject* parent)
    : QObject(parent), outputDevice(output), audioFormat(format), statistics(new MStatistics(this))
{
    statistics->setPropagationIntervalSecs(VoiceBuild::kPropagationIntervalSecs);
#if defined(VOICEPIPE_PODIUM_BUILD)
    connect(statistics, &MStatistics::statsPropagated, this, &MDecoder::statsPropagated);
#endif
}

MDecoder::~MDecoder() = default;

void MDecoder::voicePacketReceived(const QByteArray& packet)
{
    if (packet.size() < kSequenceBytes) {
        qCWarning(lcVoice)
            << "MDecoder:: voice packet shorter than its sequence number dropped, bytes:"
            << packet.size();
        return;
    }
    // Reads the first four bytes; no copy of them for every packet.
    const int seq = int(MAbstractSocket::byteArrayToInt(packet));
    const int payloadSize = packet.size() - kSequenceBytes;
    // Computed in 64 bits: a sequence number near the top of the range must
    // not wrap the gap into a negative count.
    const qint64 gap = qint64(seq) - qint64(lastSeq) - 1;

    const auto diagnostic
        = [&] { qCDebug(lcVoice) << processClockMs() << lastSeq << seq << gap << payloadSize; };

    if (gap == 0 || statistics->packetCount == 0) {
        processVoicePacket(packet);
        lastPayloadSize = payloadSize;
    } else if (gap > 0) {
        qCDebug(lcVoice)
            << "========================= SEQ SKIP DETECTED! =========================";
        diagnostic();
        if (skipCallPerMissingPacket) {
            if (gap > kMaxSkipCalls)
                qCWarning(lcVoice)
                    << "MDecoder:: gap of" << gap << "packets, concealing only" << kMaxSkipCalls;
            for (qint64 i = 0; i < qMin(gap, kMaxSkipCalls); ++i)
                processSeqSkip(lastPayloadSize);
        } else {
            processSeqSkip(lastPayloadSize);
        }
        processVoicePacket(packet);
        lastPayloadSize = payloadSize;
    } else if (gap == -1) {
        qCDebug(lcVoice)
            << "======================== SEQ REPEAT DETECTED! ========================";
        diagnostic();
    } else if (processLatePacket(packet, seq)) {
        qCDebug(lcVoice)
            << "===================== LATE PACKET PLAYED IN ITS SLOT =================";
        diagnostic();
    } else {
        qCDebug(lcVoice)
            << "======================== SEQ REWIND DETECTED! ========================";
        diagnostic();
    }

    if (seq > lastSeq)
        lastSeq = seq;
    statistics->packetCount += 1;
    statistics->byteCount += packet.size() + kSequenceBytes;
}

bool MDecoder::processLatePacket(const QByteArray& /*packet*/, int /*seq*/)
{
    return false;
}

QByteArray MDecoder::getEmptyWaveForSeqSkip(int byteCount)
{
    if (byteCount == -1 || byteCount == emptyWaveKey)
        return emptyWave;
    const int bytesPerSample = audioFormat.sampleSize() / 8;
    emptyWave.clear();
    // A format below 8 bits per sample has no whole byte per sample: no block.
    if (bytesPerSample < 1 || byteCount < 0)
        return emptyWave;
    const int samples = byteCount / bytesPerSample;
    if (bytesPerSample == 1)
        emptyWave.fill(char(0x80), samples);
    else if (bytesPerSample == 2)
        emptyWave.fill(char(0x00), samples * 2);
    return emptyWave;
}
