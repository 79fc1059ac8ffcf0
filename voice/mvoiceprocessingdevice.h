#pragma once

#include "voicepipe_global.h"

#include <QByteArray>
#include <QIODevice>

class MVoiceProcessor;

// Sits between the microphone and the capture gate and hands on the audio in
// whole 10 ms blocks, each through the processor: at every readyRead() of the
// microphone it takes everything there is, processes the whole blocks, keeps
// the rest (less than a block) for the next arrival and signals readyRead()
// once. The microphone and the processor are borrowed. Owned by its capture
// object; owner's thread.
class VOICEPIPE_EXPORT MVoiceProcessingDevice : public QIODevice
{
    Q_OBJECT
    Q_DISABLE_COPY(MVoiceProcessingDevice)

public:
    MVoiceProcessingDevice(
        QIODevice* source, MVoiceProcessor* processor, int bytesPerMs, QObject* parent = nullptr);
    ~MVoiceProcessingDevice() override;

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 maxSize) override;

private:
    void sourceReadyRead();

    QIODevice* m_source;
    MVoiceProcessor* m_processor;
    int m_bytesPerMs;
    QByteArray m_pending;
    QByteArray m_ready;
};
