#pragma once

#include "voicepipe_global.h"

#include <QObject>

class QTimer;

// Packet and byte counters of one encoder or decoder, with a one-second flow
// timer that emits statsPropagated every tick and logs the flow line every
// propagationIntervalSecs ticks. Created by its MEncoder or MDecoder as a
// child; lives on the owner's thread.
class VOICEPIPE_EXPORT MStatistics : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MStatistics)
    Q_PROPERTY(int propagationIntervalSecs READ getPropagationIntervalSecs WRITE
            setPropagationIntervalSecs)

public:
    explicit MStatistics(QObject* parent = nullptr);
    ~MStatistics() override;

    int getPropagationIntervalSecs() const { return propagationIntervalSecs; }

    int propagationIntervalSecs = 1;
    int failedPackets = 0;
    int successfulPackets = 0;
    int packetCount = 0;
    int byteCount = 0;
    // Audio device trouble seen by the owner of the encoder or decoder: output
    // underruns (the device ran dry) and capture overruns (audio dropped).
    int underruns = 0;
    int overruns = 0;
    int tickCount = 0;
    int lastTickBytes = 0;
    int lastTickPackets = 0;
    QTimer* flowTimer = nullptr;

signals:
    void statsPropagated(
        int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets);

public slots:
    void echoThings();
    void flowTimerTimeout();
    // Values below 1 are taken as 1: the tick divides by the interval.
    void setPropagationIntervalSecs(int secs);
};
