#pragma once

#include "mencoder.h"
#include "mplayoutbuffer.h"

#include <QAudioInput>
#include <QPointer>

class QTimer;

// Sends one audio-input period of raw PCM per timer tick, the ticks 25 %
// longer than a period, so it sends 80 % of what is captured and the backlog
// grows for as long as capture runs (the point of the experiment). Audio
// already sent is released from memory. Needs a started audio input whose
// period is at most a second; otherwise it logs and sends nothing. Owned by
// its parent; audio input, device and socket are borrowed. Owner's thread.
class VOICEPIPE_EXPORT MNoneSlowSenderEncoder : public MEncoder
{
    Q_OBJECT
    Q_DISABLE_COPY(MNoneSlowSenderEncoder)

public:
    MNoneSlowSenderEncoder(QAudioInput* audioInput, QIODevice* input, const QAudioFormat& format,
        MUdpSocket* socket, QObject* parent = nullptr);
    ~MNoneSlowSenderEncoder() override;

    int tickIntervalMs() const;
    bool usable() const;
    qint64 backlogBytes() const { return collectBuffer.available(); }

protected slots:
    void sendAvailableVoice() override;
    void timerTick();

private:
    // Guarded: the owner may stop and delete its input first.
    QPointer<QAudioInput> audioInput;
    MPlayoutBuffer collectBuffer;
    QTimer* tickTimer;
};
