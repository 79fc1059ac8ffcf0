#include "mopusadvanceddecoder.h"

#include "audiobuffers.h"
#include "mabstractsocket.h"
#include "maudiooutputfeeder.h"
#include "opusdecoderwrapper.h"
#include "wireformat.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include <QAudioOutput>
#include <QDebug>

#include "voicelog.h"

namespace {

// Upper bound on blocks handed over in one round: the output holds 250 ms,
// so a round never needs more than a few dozen periods.
const int kMaxBlocksPerRound = 64;
// Ring overflows come one per packet while the output is stuck; log the
// first and then one in this many.
const int kOverflowLogEvery = 100;
// Silent periods owed at most: no more placeholders than this ever come for
// one gap (the decoder base conceals at most a minute of frames).
const int kMaxOwedDiscards = 3000;
// A frame this quiet (mean absolute sample, about -40 dBFS) is a pause or
// breath: dropping it to give delay back is not heard.
const int kQuietLevel = 328;
// How long a debt waits for a quiet frame before louder frames go (0.5 s of
// 20 ms periods), and then how far apart they go: a 300 ms stall is given
// back within about two seconds of speech without pauses.
const int kMaxDebtWaitPeriods = 25;
const int kForcedDiscardSpacing = 4;

int bytesPerSecondOf(const QAudioFormat& format)
{
    return format.sampleSize() * format.sampleRate() * format.channelCount() / 8;
}

int nextIndex(int index)
{
    return (index + 1) % MOpusAdvancedDecoder::kRingSlots;
}

} // namespace

MOpusAdvancedDecoder::MOpusAdvancedDecoder(
    QAudioOutput* output, QIODevice* device, const QAudioFormat& format, QObject* parent)
    : MDecoder(device, format, parent), codec(new OpusDecoderWrapper(this)), audioOutput(output)
{
    const int bytesPerSecond = bytesPerSecondOf(format);
    if (!MAudioOutputFeeder::outputUsable(output, device, bytesPerSecond)) {
        qCWarning(lcVoice) << "MOpusAdvancedDecoder:: unusable audio output (period size"
                           << (output ? output->periodSize() : 0) << "bytes," << bytesPerSecond
                           << "bytes per second, device" << device << "); staying silent";
        return;
    }
    m_feeder = new MAudioOutputFeeder(output, device, output->periodSize(), this);
    setUp(output->periodSize());
}

MOpusAdvancedDecoder::MOpusAdvancedDecoder(
    int periodSize, QIODevice* device, const QAudioFormat& format, QObject* parent)
    : MDecoder(device, format, parent), codec(new OpusDecoderWrapper(this)), audioOutput(nullptr)
{
    const int bytesPerSecond = bytesPerSecondOf(format);
    if (!device || periodSize <= 0 || periodSize > bytesPerSecond) {
        qCWarning(lcVoice) << "MOpusAdvancedDecoder:: unusable period size" << periodSize
                           << "bytes; staying silent";
        return;
    }
    m_feeder = new MAudioOutputFeeder(nullptr, device, periodSize, this);
    setUp(periodSize);
}

// Nothing to disconnect by hand: only this decoder's own connections to the
// output go with it, so a decoder built in its place keeps its notifications.
MOpusAdvancedDecoder::~MOpusAdvancedDecoder() = default;

void MOpusAdvancedDecoder::setUp(int periodSize)
{
    m_fixed = AudioBuffers::fixedPlayout();
    skipCallPerMissingPacket = true;
    m_outputUsable = true;
    m_periodSize = periodSize;
    const int bytesPerSecond = bytesPerSecondOf(audioFormat);

    const int initResult
        = codec->initializeDecoder(audioFormat.sampleRate(), audioFormat.channelCount());
    if (initResult != 0)
        qCDebug(lcVoice) << "MOpusAdvancedDecoder:: Decoder initialization failed.";

    m_silence = getEmptyWaveForSeqSkip(MAX_DECDATA_BYTES);
    initialDelayPackets = VoiceBuild::kFixedInitialDelayPackets > 0
        ? VoiceBuild::kFixedInitialDelayPackets
        : bytesPerSecond / periodSize / 2;
    produceInitialDelay();
    // The delay aimed for, in ring slots: never below the start, at most the ring.
    m_target = MPlayoutTarget(qMax(initialDelayPackets - 2, 1), kRingSlots);
    m_nextForcedDiscard = kMaxDebtWaitPeriods;

    dropCount = 0;
    frameBytes = periodSize;

    m_notifyIntervalMs = 1000 / (bytesPerSecond / periodSize);
    connect(m_feeder, &MAudioOutputFeeder::wantsData, this, &MOpusAdvancedDecoder::notified);
    m_feeder->start(m_notifyIntervalMs);

    // Two periods straight away, so that the output starts and notifies.
    const QByteArray start = getEmptyWaveForSeqSkip(frameBytes);
    m_feeder->write(start.constData(), start.size());
    m_feeder->write(start.constData(), start.size());
}

void MOpusAdvancedDecoder::writeDataIntoPacket(AudioCircularBuffer::Packet* packet,
    const unsigned char* data, int size, const QString& errorText)
{
    if (size <= 0) {
        qCDebug(lcVoice).noquote()
            << "MOpusAdvancedDecoder::writeDecDataIntoPacket : " << errorText << size;
        return;
    }
    const int bytes = qMin(size, AudioCircularBuffer::Packet::kCapacity);
    packet->valid = 1;
    std::memcpy(packet->data, data, size_t(bytes));
    packet->size = bytes;
    packet->level = levelOf(packet->data, bytes);
}

int MOpusAdvancedDecoder::levelOf(const unsigned char* data, int size) const
{
    if (audioFormat.sampleSize() != 16 || size < 2)
        return std::numeric_limits<int>::max();
    qint64 sum = 0;
    const int samples = size / 2;
    for (int i = 0; i < samples; ++i)
        sum += std::abs(int(qint16(quint16(data[2 * i]) | quint16(data[2 * i + 1]) << 8)));
    return int(sum / samples);
}

AudioCircularBuffer::Packet* MOpusAdvancedDecoder::takeWriteSlot()
{
    if (bufferedCount >= kRingSlots) {
        // The output is not keeping up: drop the oldest unplayed frame rather
        // than overwrite the ring, so the delay stays bounded by the ring.
        readIndex = nextIndex(readIndex);
        --bufferedCount;
        ++m_overflowDiscards;
        if (m_overflowDiscards % kOverflowLogEvery == 1)
            qCWarning(lcVoice)
                << "MOpusAdvancedDecoder:: ring full, oldest unplayed frame discarded ("
                << m_overflowDiscards << "so far)";
    }
    writeIndex = nextIndex(writeIndex);
    ++bufferedCount;
    return &ring[writeIndex];
}

void MOpusAdvancedDecoder::produceInitialDelay()
{
    qCDebug(lcVoice) << "MOpusAdvancedDecoder::produceInitialDelay" << initialDelayPackets;
    const int bytes = qMin(m_periodSize, m_silence.size());
    while (bufferedCount < initialDelayPackets - 2) {
        AudioCircularBuffer::Packet* slot = takeWriteSlot();
        slot->seq = -1;
        slot->standIn = false;
        writeDataIntoPacket(slot, reinterpret_cast<const unsigned char*>(m_silence.constData()),
            bytes, QStringLiteral("MOpusAdvancedDecoder::produceInitialDelay error!"));
    }
}

void MOpusAdvancedDecoder::processVoicePacket(const QByteArray& packet)
{
    if (!m_outputUsable)
        return;
    noteArrival();
    const int seq = int(MAbstractSocket::byteArrayToInt(packet));
    m_skipsSinceArrival = 0;
    if (!m_fixed)
        m_target.packetArrived(seq);
    const auto* payload
        = reinterpret_cast<const unsigned char*>(packet.constData()) + WireFormat::kVoiceHeaderSize;
    const int payloadBytes = packet.size() - WireFormat::kVoiceHeaderSize;

    if (bufferedCount > 0 && ring[writeIndex].valid == 0) {
        // The frame lost just before this packet, rebuilt from its redundancy.
        const int n = codec->decodeFEC(payload, payloadBytes, decodeBuffer, repairBytes());
        qCDebug(lcVoice) << "processVoicePacket : FEC" << n;
        writeDataIntoPacket(&ring[writeIndex], decodeBuffer, n,
            QStringLiteral("processVoicePacket:: FEC Decoding error "));
    }

    const int n = codec->decode(payload, payloadBytes, decodeBuffer, MAX_DECDATA_BYTES);
    if (n > 0)
        frameBytes = n;

    settleOwedDiscards();
    if (m_fixed)
        discardOwedFrame();
    AudioCircularBuffer::Packet* slot = takeWriteSlot();
    // A frame that fails to decode leaves a placeholder, never the slot's old
    // audio: stale audio would be heard twice.
    slot->valid = 0;
    slot->size = 0;
    slot->seq = seq;
    slot->standIn = n <= 0;
    writeDataIntoPacket(
        slot, decodeBuffer, n, QStringLiteral("processVoicePacket:: Decoding error "));
    if (!m_fixed)
        payOwedDiscards();
}

void MOpusAdvancedDecoder::processSeqSkip(int /*lastPayloadSize*/)
{
    if (!m_outputUsable)
        return;
    noteArrival();
    // Called once per missing packet, oldest first, before the packet after them.
    const int seq = lastSeq + 1 + m_skipsSinceArrival++;
    if (bufferedCount > 0 && ring[writeIndex].valid == 0) {
        // Two losses in a row: no FEC will come for the older one.
        const int n = codec->decodePacketLossConcealment(decodeBuffer, repairBytes());
        qCDebug(lcVoice) << "processSeqSkip : PLC" << n;
        writeDataIntoPacket(&ring[writeIndex], decodeBuffer, n,
            QStringLiteral("processSeqSkip:: PLC Decoding error "));
    }
    if (m_fixed) {
        discardOwedFrame();
    } else if (dropCount > 0 && bufferedCount > 0) {
        // The cheapest frame to give back: one that is missing anyway. The
        // codec still conceals it, so that its state follows the gap.
        codec->decodePacketLossConcealment(decodeBuffer, repairBytes());
        --dropCount;
        ++m_discarded;
        return;
    }
    AudioCircularBuffer::Packet* slot = takeWriteSlot();
    slot->valid = 0;
    slot->size = 0;
    slot->seq = seq;
    slot->standIn = true;
}

bool MOpusAdvancedDecoder::processLatePacket(const QByteArray& packet, int seq)
{
    if (!m_outputUsable || m_fixed)
        return false;
    for (int k = 0; k < bufferedCount; ++k) {
        AudioCircularBuffer::Packet& slot = ring[(readIndex + 1 + k) % kRingSlots];
        if (slot.seq != seq)
            continue;
        // Holding its own frame already: a duplicate.
        if (!slot.standIn)
            return false;
        const auto* payload = reinterpret_cast<const unsigned char*>(packet.constData())
            + WireFormat::kVoiceHeaderSize;
        const int n = codec->decode(
            payload, packet.size() - WireFormat::kVoiceHeaderSize, decodeBuffer, MAX_DECDATA_BYTES);
        if (n <= 0)
            return false;
        // In place of what FEC or concealment made for it.
        writeDataIntoPacket(
            &slot, decodeBuffer, n, QStringLiteral("processLatePacket:: Decoding error "));
        slot.standIn = false;
        m_target.packetArrived(seq);
        ++m_latePlayed;
        return true;
    }
    return false;
}

void MOpusAdvancedDecoder::notified()
{
    if (!m_outputUsable)
        return;
    m_feeder->beginRound();
    int blocks = 0;
    while (blocks < kMaxBlocksPerRound && m_feeder->needsData()) {
        if (bufferedCount == 0) {
            if (m_fixed && VoiceBuild::kRefillOnUnderrun) {
                produceInitialDelay();
                if (bufferedCount == 0)
                    break;
                continue;
            }
            // An output deeper than the low mark (the 80 ms one an echo
            // canceller reads) still plays what it holds: the late packet
            // may yet come in time, so no silence goes in front of it.
            if (!m_fixed && !m_feeder->queueRunsLow())
                break;
            // Silence now, given back later by discarding a frame, unless the
            // target grows by it. Whether the stream flowed meanwhile is
            // settled when it comes back (noteArrival).
            m_feeder->write(m_silence.constData(), qMin(frameBytes, m_silence.size()));
            if (m_fixed) {
                owe(1);
            } else if (!m_sawPacket || !m_feeder->hasPlayed()) {
                // Silence before the first packet, or while the output fills
                // its prebuffer at the start, is the start-up delay: no
                // packet was late.
                m_target.periodPlayed(false);
            } else {
                if (m_silentPeriods < kRingSlots)
                    qCDebug(lcVoice) << "MOpusAdvancedDecoder:: ring ran dry";
                m_target.periodPlayed(true);
                owe(1);
            }
            m_silentPeriods = qMin(m_silentPeriods + 1, kRingSlots);
            ++blocks;
            continue;
        }
        const int next = nextIndex(readIndex);
        // The newest slot still waiting for its FEC is held back unless the
        // output needs it as the first block of this round.
        if (bufferedCount == 1 && ring[next].valid == 0 && blocks > 0)
            break;
        readIndex = next;
        --bufferedCount;
        ++blocks;
        if (ring[readIndex].valid)
            playSlot(ring[readIndex]);
        else
            playConcealment();
        if (!m_fixed) {
            const int change = m_target.periodPlayed(false);
            if (change != 0) {
                qCDebug(lcVoice) << "MOpusAdvancedDecoder:: target delay" << m_target.target()
                                 << "slots, jitter" << m_target.jitterSlots();
                // Growing keeps one period of the silence just played;
                // shrinking owes one more frame.
                if (change > 0)
                    dropCount = qMax(dropCount - 1, 0);
                else
                    owe(1);
            }
            if (dropCount > 0)
                ++m_debtAge;
        }
    }
}

int MOpusAdvancedDecoder::repairBytes() const
{
    // The codec fills the whole duration asked for. Until a first frame has
    // decoded, frameBytes is the output's period, which may exceed the
    // decode buffer: ask for no more than the buffer's whole 2.5 ms steps.
    const int step = bytesPerSecondOf(audioFormat) / 400;
    const int capacity = step > 0 ? MAX_DECDATA_BYTES - MAX_DECDATA_BYTES % step : 0;
    return qMin(frameBytes, capacity);
}

void MOpusAdvancedDecoder::noteArrival()
{
    m_sawPacket = true;
    if (m_silentPeriods >= kRingSlots)
        m_afterLongSilence = true;
    m_silentPeriods = 0;
}

void MOpusAdvancedDecoder::settleOwedDiscards()
{
    // No late burst brings back more than the ring holds. A silence as long
    // as the ring is therefore a pause of the sender (the speaker stopped):
    // what the lost packets of the gap before this one, if any, have not
    // paid back is not owed, and speech after the pause is kept whole.
    if (m_afterLongSilence && dropCount > 0) {
        qCDebug(lcVoice) << "MOpusAdvancedDecoder:: stream resumed after a pause;" << dropCount
                         << "pending discards cancelled";
        dropCount = 0;
    }
    m_afterLongSilence = false;
    dropCount = qMin(dropCount, int(kRingSlots));
}

void MOpusAdvancedDecoder::owe(int frames)
{
    dropCount = qMin(dropCount + frames, kMaxOwedDiscards);
}

void MOpusAdvancedDecoder::payOwedDiscards()
{
    // Something must stay to be played, or the next period is silent and
    // owes another discard; the newest frame stays too, since a placeholder
    // before it may still take its FEC.
    while (dropCount > 0 && bufferedCount >= 2) {
        int pick = -1;
        for (int k = 0; k + 1 < bufferedCount && pick < 0; ++k) {
            const AudioCircularBuffer::Packet& slot = ring[(readIndex + 1 + k) % kRingSlots];
            if (slot.standIn || (slot.valid && slot.level <= kQuietLevel))
                pick = k;
        }
        if (pick < 0) {
            if (m_debtAge < m_nextForcedDiscard)
                return;
            pick = 0;
            m_nextForcedDiscard = m_debtAge + kForcedDiscardSpacing;
        }
        removeWaitingSlot(pick);
        --dropCount;
        ++m_discarded;
    }
    if (dropCount == 0) {
        m_debtAge = 0;
        m_nextForcedDiscard = kMaxDebtWaitPeriods;
    }
}

void MOpusAdvancedDecoder::removeWaitingSlot(int k)
{
    if (k == 0) {
        readIndex = nextIndex(readIndex);
        --bufferedCount;
        return;
    }
    // The newer slots move back by one; only the bytes in use are copied.
    int to = (readIndex + 1 + k) % kRingSlots;
    for (int j = k + 1; j < bufferedCount; ++j) {
        const int from = (readIndex + 1 + j) % kRingSlots;
        AudioCircularBuffer::Packet& target = ring[to];
        const AudioCircularBuffer::Packet& source = ring[from];
        target.valid = source.valid;
        target.size = qBound(0, source.size, AudioCircularBuffer::Packet::kCapacity);
        std::memcpy(target.data, source.data, size_t(target.size));
        target.seq = source.seq;
        target.standIn = source.standIn;
        target.level = source.level;
        to = from;
    }
    writeIndex = (writeIndex + kRingSlots - 1) % kRingSlots;
    --bufferedCount;
}

bool MOpusAdvancedDecoder::discardOwedFrame()
{
    // With nothing waiting, discarding the arriving frame would only make the
    // next period silent too, owing another discard: speech would be lost
    // period after period while the delay stayed where it was. Taking the
    // oldest waiting frame keeps what plays on continuous.
    if (dropCount <= 0 || bufferedCount <= 0)
        return false;
    readIndex = nextIndex(readIndex);
    --bufferedCount;
    --dropCount;
    ++m_discarded;
    return true;
}

void MOpusAdvancedDecoder::playSlot(const AudioCircularBuffer::Packet& slot)
{
    m_feeder->write(reinterpret_cast<const char*>(slot.data),
        qBound(0, slot.size, AudioCircularBuffer::Packet::kCapacity));
}

void MOpusAdvancedDecoder::playConcealment()
{
    const int n = codec->decodePacketLossConcealment(decodeBuffer, repairBytes());
    if (n > 0)
        m_feeder->write(reinterpret_cast<const char*>(decodeBuffer), n);
    else
        qCDebug(lcVoice) << "MOpusAdvancedDecoder::notified : PLC Decoding error " << n;
}
