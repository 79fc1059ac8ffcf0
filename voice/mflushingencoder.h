#pragma once

#include "mcollectbuffer.h"
#include "mencoder.h"

// Base of the encoders that collect a fixed duration of raw PCM and then send
// it as a chain of equal packets, one per step: MFlowControlEncoder steps on
// every turn of the event loop, MNoneSlowSenderEncoderUsingFCE on a timer.
// A flush that finds unsent audio logs slow sending and carries it forward.
// Parameters that cannot work (a duration holding no whole byte, packets of
// no bytes) are logged once and the encoder sends nothing. Owned by its
// parent; input device and socket are borrowed. Owner's thread.
class VOICEPIPE_EXPORT MFlushingEncoder : public MEncoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MFlushingEncoder)

public:
    ~MFlushingEncoder() override;

    int threshold() const { return collectBuffer.threshold(); }
    int queuedBytes() const { return sendQueue.size() - sendOffset; }
    bool usable() const { return m_usable; }

protected:
    // stepDelayMs 0: each step is a queued call; otherwise a single-shot
    // timer of that many ms. stepLog starts the line of each step.
    MFlushingEncoder(QIODevice* input, const QAudioFormat& format, MUdpSocket* socket,
        float seconds, int packetBytes, const char* name, QObject* parent);
    void setStep(int stepDelayMs, const char* stepLog);
    void setUnusable(const QString& reason);

protected slots:
    void sendAvailableVoice() override;

private slots:
    void flush();
    void continuouslySendData();

private:
    void scheduleNextStep();

    int packetBytes;
    MCollectBuffer collectBuffer;
    int sendOffset = 0;
    QByteArray sendQueue;

    const char* m_name;
    const char* m_stepLog = "";
    int m_stepDelayMs = 0;
    bool m_usable = true;
};
