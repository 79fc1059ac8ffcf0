#include "pcmpipe.h"

#include <cstring>

PcmPipe::PcmPipe()
{
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void PcmPipe::push(const QByteArray& pcm)
{
    m_data += pcm;
    emit readyRead();
}

qint64 PcmPipe::bytesAvailable() const
{
    return m_data.size() + QIODevice::bytesAvailable();
}

void PcmPipe::setWriteLimits(const QList<int>& limits)
{
    m_writeLimits = limits;
    m_writeCalls = 0;
}

qint64 PcmPipe::readData(char* out, qint64 max)
{
    const int n = int(qMin<qint64>(max, m_data.size()));
    std::memcpy(out, m_data.constData(), size_t(n));
    m_data.remove(0, n);
    return n;
}

qint64 PcmPipe::writeData(const char* data, qint64 size)
{
    qint64 taken = size;
    if (!m_writeLimits.isEmpty())
        taken = qBound<qint64>(0, m_writeLimits.at(m_writeCalls % m_writeLimits.size()), size);
    ++m_writeCalls;
    m_written.append(data, int(taken));
    return taken;
}
