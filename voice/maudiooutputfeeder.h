#pragma once

#include "voicepipe_global.h"

#include <QAudio>
#include <QAudioOutput>
#include <QObject>
#include <QPointer>

#include <memory>

class QIODevice;
class QTimer;

// Feeds a push-mode QAudioOutput for the notification-paced decoders so that
// every byte handed to write() is played exactly once and in order: the part
// of a write that the output did not accept is kept and goes first next time.
// It asks for data (wantsData) on the output's notify(), and also when the
// output falls idle after an underrun, since an idle output stops notifying.
// needsData() keeps the output's queue a few periods deep once it plays (Qt's
// PulseAudio stream only starts after it has prebuffered most of its 250 ms,
// so until it is seen playing it is filled as far as it accepts).
// Owned by its decoder; output and device are borrowed. Owner's thread.
class VOICEPIPE_EXPORT MAudioOutputFeeder : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MAudioOutputFeeder)

public:
    // Output periods kept queued once the output plays; the output's notify()
    // arrives every 20 ms with occasional 40 ms gaps, and its sink takes 40 ms
    // at a time, so four periods ride out one late notification.
    static constexpr int kQueuePeriods = 4;
    // Rounds without any consumption after which a stream thought to be
    // playing is taken to be prebuffering again (its sink takes 40 ms at a
    // time, so two quiet rounds are normal).
    static constexpr int kStillRoundsBeforePrebuffer = 5;
    // Periods below which a playing output's queue runs low: its sink takes
    // 40 ms at a time, so with less than that queued it may run dry before
    // the next notification.
    static constexpr int kLowQueuePeriods = 3;

    // Without an output (offline pacing: benchmarks, tools) the device takes
    // everything and needsData() asks for one period per round (beginRound).
    MAudioOutputFeeder(
        QAudioOutput* output, QIODevice* device, int periodSize, QObject* parent = nullptr);
    ~MAudioOutputFeeder() override;

    // Whether a period size and device are there to feed at all.
    static bool outputUsable(
        const QAudioOutput* output, const QIODevice* device, int bytesPerSecond);

    // Sets the output's notify interval and starts asking for data.
    void start(int notifyIntervalMs);
    // Marks the start of one pacing round (one notification).
    void beginRound();

    // True when the output should be given another block now: nothing left
    // over from an earlier write, and its queue below the target depth (or
    // the output not seen playing yet).
    bool needsData();
    // Hands `size` bytes to the output; what it does not accept is copied and
    // written first on the next flush. Returns the bytes accepted now.
    qint64 write(const char* data, int size);
    // Writes what an earlier write left over; true when nothing is left.
    bool flushCarry();

    int carryBytes() const { return m_carrySize; }
    qint64 totalAccepted() const { return m_totalAccepted; }
    int queuedBytes() const;
    // Whether the output has been seen playing since it was started (always
    // when offline): until then, what it takes fills its prebuffer.
    bool hasPlayed() const { return m_offline || m_hasPlayed; }
    // Whether the output must be given something now, silence if nothing
    // else: it waits for its prebuffer, or it plays with less than
    // kLowQueuePeriods queued (always when offline). A deeper output that
    // still holds more can wait for a late packet instead.
    bool queueRunsLow() const;

signals:
    void wantsData();

private:
    void outputStateChanged(QAudio::State state);
    void noteConsumption();

    // Guarded: the owner may stop or delete its output while this decoder
    // waits for a deferred delete.
    QPointer<QAudioOutput> m_output;
    QPointer<QIODevice> m_device;
    bool m_offline;
    QTimer* m_idleTimer;
    std::unique_ptr<char[]> m_carry;
    int m_carryCapacity = 0;
    int m_carrySize = 0;
    qint64 m_totalAccepted = 0;
    int m_periodSize;
    int m_roundWritten = 0;
    int m_queuedAfterWrite = 0;
    int m_stillRounds = 0;
    bool m_playing = false;
    bool m_hasPlayed = false;
};
