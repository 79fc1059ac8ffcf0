#pragma once

// Shared pieces of the voice benchmarks: the test speech, a pipe that plays
// the part of a started audio input's device, and a device that takes
// whatever it is given (an audio output that is never full).

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <QStringList>

#include "pcmpipe.h"

namespace VoiceBench {

constexpr int kFrameBytes = 3840; // 20 ms at 48000 Hz, stereo, 16-bit

inline QByteArray speech()
{
    QFile file(QStringLiteral(CLASSROOM_SPEECH_RAW));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray pcm = file.readAll();
    return pcm.left(pcm.size() / kFrameBytes * kFrameBytes);
}

// The value of "--rounds N" on the command line (1 under callgrind), or
// `fallback`.
inline int roundsArgument(const QStringList& args, int fallback)
{
    const int at = int(args.indexOf(QStringLiteral("--rounds")));
    if (at > 0 && at + 1 < args.size())
        return qMax(1, args.at(at + 1).toInt());
    return fallback;
}

class SinkDevice : public QIODevice
{
public:
    explicit SinkDevice(bool keep) : m_keep(keep)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    const QByteArray& data() const { return m_data; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override
    {
        if (m_keep)
            m_data.append(data, int(size));
        return size;
    }

private:
    bool m_keep;
    QByteArray m_data;
};

} // namespace VoiceBench
