#pragma once

#include "mdecoder.h"

class QAudioOutput;
class MAudioOutputFeeder;
class OpusDecoderWrapper;

namespace AudioCircularBuffer {

// One slot of MOpusAdvancedDecoder's ring: a decoded frame (valid 1) or a
// placeholder for a lost frame not rebuilt yet (valid 0). Slots start as
// silence of size 0, so nothing undefined is ever played.
struct Packet
{
    static constexpr int kCapacity = 24576;

    int valid = 1;
    unsigned char data[kCapacity] = {};
    int size = 0;
};

} // namespace AudioCircularBuffer

// The default Opus voice decoder of both clients: decodes each packet into one
// slot of a fixed ring and plays the ring at the pace of the audio output,
// rebuilding a single loss from the next packet's in-band FEC and concealing
// longer losses. Starts with half a second of silence queued (podium: three
// periods); underruns are covered as buildvariant.h says. Every byte of audio
// reaches the output once, in order (MAudioOutputFeeder), and playback resumes
// by itself after the output fell idle. Always on the heap (the ring is
// inside). Owned by its parent; output and device are borrowed. Owner's thread.
class VOICEPIPE_EXPORT MOpusAdvancedDecoder : public MDecoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MOpusAdvancedDecoder)

public:
    static constexpr int MAX_DECDATA_BYTES = AudioCircularBuffer::Packet::kCapacity;
    static constexpr int kRingSlots = VoiceBuild::kRingSlots;

    MOpusAdvancedDecoder(QAudioOutput* output, QIODevice* device, const QAudioFormat& format,
        QObject* parent = nullptr);
    // Offline pacing without an audio output (benchmarks, tools): decoded
    // audio goes to device, one period per playPeriod() call.
    MOpusAdvancedDecoder(
        int periodSize, QIODevice* device, const QAudioFormat& format, QObject* parent = nullptr);
    ~MOpusAdvancedDecoder() override;

    // What one output notification does; for offline pacing.
    void playPeriod() { notified(); }

    // State for the owner's diagnostics and the tests.
    bool outputUsable() const { return m_outputUsable; }
    int bufferedFrames() const { return bufferedCount; }
    int pendingDiscards() const { return dropCount; }
    int discardedFrames() const { return m_discarded; }
    int overflowDiscards() const { return m_overflowDiscards; }
    int initialDelay() const { return initialDelayPackets; }
    int notifyIntervalMs() const { return m_notifyIntervalMs; }
    int lastFrameBytes() const { return frameBytes; }
    const AudioCircularBuffer::Packet& slot(int index) const { return ring[index]; }
    int readPosition() const { return readIndex; }
    int writePosition() const { return writeIndex; }
    const MAudioOutputFeeder* feeder() const { return m_feeder; }

protected:
    void processVoicePacket(const QByteArray& packet) override;
    void processSeqSkip(int lastPayloadSize) override;

private slots:
    void notified();

private:
    void setUp(int periodSize);
    void writeDataIntoPacket(AudioCircularBuffer::Packet* packet, const unsigned char* data,
        int size, const QString& errorText);
    void produceInitialDelay();
    // Takes the next ring slot for writing, discarding the oldest unplayed
    // frame when the ring is full.
    AudioCircularBuffer::Packet* takeWriteSlot();
    // Bytes to rebuild or conceal one lost frame: frameBytes, within the
    // decode buffer.
    int repairBytes() const;
    // A packet or a loss arrived: ends a run of silent periods.
    void noteArrival();
    // Before a packet is stored: after a pause (a silence as long as the
    // ring) nothing more is owed; otherwise at most a ring-full.
    void settleOwedDiscards();
    // Discards one frame owed to silence played, if one is owed and waiting.
    bool discardOwedFrame();
    void playSlot(const AudioCircularBuffer::Packet& slot);
    void playConcealment();

    OpusDecoderWrapper* codec;
    unsigned char decodeBuffer[MAX_DECDATA_BYTES] = {};
    AudioCircularBuffer::Packet ring[kRingSlots];
    int readIndex = kRingSlots - 1;
    int writeIndex = kRingSlots - 1;
    int bufferedCount = 0;
    int initialDelayPackets = 0;
    int dropCount = 0;
    int frameBytes = 0;
    QAudioOutput* audioOutput;

    MAudioOutputFeeder* m_feeder = nullptr;
    bool m_outputUsable = false;
    int m_periodSize = 0;
    int m_notifyIntervalMs = 0;
    int m_discarded = 0;
    int m_overflowDiscards = 0;
    // Silent periods played since the last arrival, counted up to the ring size.
    int m_silentPeriods = 0;
    bool m_afterLongSilence = false;
    QByteArray m_silence;
};
