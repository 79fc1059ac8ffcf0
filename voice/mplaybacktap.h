#pragma once

#include "voicepipe_global.h"

#include <QByteArray>
#include <QIODevice>

// Stands between a decoder and the audio output's push device: every write
// goes on to the device unchanged, and what the device accepted is reported
// with played(), so that the echo canceller learns what the speakers play.
// The device is borrowed. Owned by its playback object; owner's thread.
class VOICEPIPE_EXPORT MPlaybackTap : public QIODevice
{
    Q_OBJECT
    Q_DISABLE_COPY(MPlaybackTap)

public:
    explicit MPlaybackTap(QIODevice* target, QObject* parent = nullptr);
    ~MPlaybackTap() override;

    bool isSequential() const override { return true; }

signals:
    void played(const QByteArray& pcm);

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    QIODevice* m_target;
};
