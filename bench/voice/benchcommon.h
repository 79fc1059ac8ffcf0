#pragma once

// Shared pieces of the voice benchmarks: the test speech, a pipe that plays
// the part of a started audio input's device, and a device that takes
// whatever it is given (an audio output that is never full).

#include <cstring>

#include <QByteArray>
#include <QFile>
#include <QIODevice>

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

class PcmPipe : public QIODevice
{
public:
    PcmPipe() { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }
    void push(const char* pcm, int size)
    {
        m_data.append(pcm, size);
        emit readyRead();
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_data.size() + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* out, qint64 max) override
    {
        const int n = int(qMin<qint64>(max, m_data.size()));
        std::memcpy(out, m_data.constData(), size_t(n));
        m_data.remove(0, n);
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_data;
};

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
