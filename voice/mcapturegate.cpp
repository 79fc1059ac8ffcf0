#include "mcapturegate.h"

#include <cstring>

#include <QtGlobal>

MCaptureGate::MCaptureGate(
    QIODevice* source, int backlogBytes, int sampleFrameBytes, QObject* parent)
    : QIODevice(parent), m_source(source),
      m_backlogBytes(
          qMax(sampleFrameBytes, backlogBytes - backlogBytes % qMax(1, sampleFrameBytes))),
      m_sampleFrameBytes(qMax(1, sampleFrameBytes))
{
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    connect(m_source, &QIODevice::readyRead, this, &MCaptureGate::sourceReadyRead);
}

MCaptureGate::~MCaptureGate() = default;

void MCaptureGate::setReadChunk(int bytes)
{
    m_readChunk = qMax(0, bytes);
}

qint64 MCaptureGate::bytesAvailable() const
{
    return m_buffer.size() + QIODevice::bytesAvailable();
}

qint64 MCaptureGate::readData(char* data, qint64 maxSize)
{
    const int n = int(qMin<qint64>(maxSize, m_buffer.size()));
    if (n <= 0)
        return 0;
    memcpy(data, m_buffer.constData(), size_t(n));
    m_buffer.remove(0, n);
    return n;
}

qint64 MCaptureGate::writeData(const char*, qint64)
{
    return -1;
}

void MCaptureGate::sourceReadyRead()
{
    // Drain the device: what stays behind in it would be read later and
    // would therefore be late for good.
    char chunk[16384];
    for (;;) {
        const qint64 n = m_source->read(chunk, sizeof chunk);
        if (n <= 0)
            break;
        m_buffer.append(chunk, int(n));
    }

    // A backlog shorter than one read chunk would never let the reader take
    // anything: keep at least a chunk.
    const int keep = qMax(m_backlogBytes, m_readChunk);
    if (m_buffer.size() > keep) {
        // Keep the newest audio; cut at a sample frame so channels stay aligned.
        int excess = m_buffer.size() - keep;
        excess += (m_sampleFrameBytes - excess % m_sampleFrameBytes) % m_sampleFrameBytes;
        excess = qMin(excess, m_buffer.size());
        m_buffer.remove(0, excess);
        m_dropped += excess;
        ++m_overruns;
        emit overran();
    }

    if (m_buffer.isEmpty())
        return;
    if (m_readChunk <= 0) {
        emit readyRead();
        return;
    }
    // The encoder takes one chunk per signal; offer every whole chunk now so
    // that nothing waits for the next arrival.
    while (m_buffer.size() >= m_readChunk) {
        const int before = m_buffer.size();
        emit readyRead();
        if (m_buffer.size() >= before)
            break; // the reader did not take anything
    }
}
