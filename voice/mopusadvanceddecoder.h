#pragma once

#include "mdecoder.h"
#include "mplayouttarget.h"

class QAudioOutput;
class MAudioOutputFeeder;
class OpusDecoderWrapper;

namespace AudioCircularBuffer {

// One slot of MOpusAdvancedDecoder's ring: a decoded frame (valid 1) or a
// placeholder for a lost frame not rebuilt yet (valid 0). Slots start as
// silence of size 0, so nothing undefined is ever played. A stand-in holds
// what FEC or concealment made for a packet that may still arrive late; seq
// says which packet the slot is for (-1: silence of the playout's own).
struct Packet
{
    static constexpr int kCapacity = 24576;

    int valid = 1;
    unsigned char data[kCapacity] = {};
    int size = 0;
    int seq = -1;
    bool standIn = false;
    // Mean absolute sample of the frame: how quiet it is.
    int level = 0;
};

} // namespace AudioCircularBuffer

// The default Opus voice decoder of both clients: decodes each packet into one
// slot of a fixed ring and plays the ring at the pace of the audio output,
// rebuilding a single loss from the next packet's in-band FEC and concealing
// longer losses; a packet overtaken by a later one is still decoded into its
// slot if that has not been played. Starts with half a second of silence
// queued (podium: three periods). The delay it aims for follows the network
// (MPlayoutTarget); silence played for lack of a frame beyond that is given
// back by discarding frames later, quiet ones first, so a stall costs its
// length once. Every byte of audio reaches the output once, in order
// (MAudioOutputFeeder), and playback resumes by itself after the output fell
// idle. Always on the heap (the ring is inside). Owned by its parent; output
// and device are borrowed. Owner's thread.
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
    int latePacketsPlayed() const { return m_latePlayed; }
    const MPlayoutTarget& playoutTarget() const { return m_target; }
    // CLASSROOM_PLAYOUT=fixed: the playout of old, for comparison.
    bool fixedPlayout() const { return m_fixed; }
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
    bool processLatePacket(const QByteArray& packet, int seq) override;

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
    // The fixed playout's way to pay: the oldest waiting frame, at once.
    bool discardOwedFrame();
    // Pays what is owed from waiting frames, quiet ones and stand-ins first;
    // a louder one only once the debt has waited kMaxDebtWaitPeriods.
    void payOwedDiscards();
    void owe(int frames);
    // Removes the k-th waiting slot (0: the oldest), keeping the others in order.
    void removeWaitingSlot(int k);
    int levelOf(const unsigned char* data, int size) const;
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
    bool m_fixed = false;
    MPlayoutTarget m_target { 0, 0 };
    // Missing packets reported since the last packet: numbers their placeholders.
    int m_skipsSinceArrival = 0;
    // Periods played while something was owed, and when a loud frame may go next.
    int m_debtAge = 0;
    int m_nextForcedDiscard = 0;
    int m_latePlayed = 0;
    bool m_sawPacket = false;
};
