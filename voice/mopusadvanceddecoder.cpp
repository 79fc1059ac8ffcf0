#include "mopusadvanceddecoder.h"

#include "maudiooutputfeeder.h"
#include "opusdecoderwrapper.h"
#include "wireformat.h"

#include <cstring>

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
        qCDebug(lcVoice).noquote() << "MOpusAdvancedDecoder::writeDecDataIntoPacket : " << errorText
                           << size;
        return;
    }
    const int bytes = qMin(size, AudioCircularBuffer::Packet::kCapacity);
    packet->valid = 1;
    std::memcpy(packet->data, data, size_t(bytes));
    packet->size = bytes;
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
            qCWarning(lcVoice) << "MOpusAdvancedDecoder:: ring full, oldest unplayed frame discarded ("
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
        writeDataIntoPacket(takeWriteSlot(),
            reinterpret_cast<const unsigned char*>(m_silence.constData()), bytes,
            QStringLiteral("MOpusAdvancedDecoder::produceInitialDelay error!"));
    }
}

void MOpusAdvancedDecoder::processVoicePacket(const QByteArray& packet)
{
    if (!m_outputUsable)
        return;
    noteArrival();
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
    discardOwedFrame();
    AudioCircularBuffer::Packet* slot = takeWriteSlot();
    // A frame that fails to decode leaves a placeholder, never the slot's old
    // audio: stale audio would be heard twice.
    slot->valid = 0;
    slot->size = 0;
    writeDataIntoPacket(
        slot, decodeBuffer, n, QStringLiteral("processVoicePacket:: Decoding error "));
}

void MOpusAdvancedDecoder::processSeqSkip(int /*lastPayloadSize*/)
{
    if (!m_outputUsable)
        return;
    noteArrival();
    if (bufferedCount > 0 && ring[writeIndex].valid == 0) {
        // Two losses in a row: no FEC will come for the older one.
        const int n = codec->decodePacketLossConcealment(decodeBuffer, repairBytes());
        qCDebug(lcVoice) << "processSeqSkip : PLC" << n;
        writeDataIntoPacket(&ring[writeIndex], decodeBuffer, n,
            QStringLiteral("processSeqSkip:: PLC Decoding error "));
    }
    discardOwedFrame();
    AudioCircularBuffer::Packet* slot = takeWriteSlot();
    slot->valid = 0;
    slot->size = 0;
}

void MOpusAdvancedDecoder::notified()
{
    if (!m_outputUsable)
        return;
    m_feeder->beginRound();
    int blocks = 0;
    while (blocks < kMaxBlocksPerRound && m_feeder->needsData()) {
        if (bufferedCount == 0) {
            if constexpr (VoiceBuild::kRefillOnUnderrun) {
                produceInitialDelay();
                if (bufferedCount == 0)
                    break;
                continue;
            } else {
                // Silence now, and one frame discarded later, so the delay
                // comes back to what it was. Whether the stream flowed
                // meanwhile is settled when it comes back (noteArrival).
                m_feeder->write(m_silence.constData(), qMin(frameBytes, m_silence.size()));
                dropCount = qMin(dropCount + 1, kMaxOwedDiscards);
                m_silentPeriods = qMin(m_silentPeriods + 1, kRingSlots);
                ++blocks;
                continue;
            }
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
