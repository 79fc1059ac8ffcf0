#pragma once

#include "voicepipe_global.h"

#include <QByteArray>
#include <QIODevice>

// Sits between a capture device and the voice encoder and keeps the
// microphone from building a backlog. Each time the capture device signals, it
// takes everything the device holds, keeps only the newest `backlogBytes`
// (whole sample frames of `sampleFrameBytes`, never less than one read
// chunk), and offers that to its reader one read chunk per
// readyRead() until less than a chunk is left. A capture device that delivers
// a second in one burst thus costs the listeners a skip, not a second of
// delay. Owned by its capture object; the capture device is borrowed. Owner's
// thread.
class VOICEPIPE_EXPORT MCaptureGate : public QIODevice
{
    Q_OBJECT
    Q_DISABLE_COPY(MCaptureGate)

public:
    MCaptureGate(
        QIODevice* source, int backlogBytes, int sampleFrameBytes, QObject* parent = nullptr);
    ~MCaptureGate() override;

    // Bytes the reader takes per readyRead(); 0 offers each arrival once.
    void setReadChunk(int bytes);
    qint64 droppedBytes() const { return m_dropped; }
    // Arrivals that overflowed the backlog (each dropped the oldest audio).
    int overruns() const { return m_overruns; }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

signals:
    // The backlog overflowed and the oldest audio was dropped.
    void overran();

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 maxSize) override;

private:
    void sourceReadyRead();

    QIODevice* m_source;
    QByteArray m_buffer;
    int m_backlogBytes;
    int m_sampleFrameBytes;
    int m_readChunk = 0;
    qint64 m_dropped = 0;
    int m_overruns = 0;
};
