#include "pcmpipe.h"

#include <cstring>

PcmPipe::PcmPipe()
{
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
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

qint64 PcmPipe::readData(char* out, qint64 max)
{
    const int n = int(qMin<qint64>(max, m_data.size()));
    std::memcpy(out, m_data.constData(), size_t(n));
    m_data.remove(0, n);
    return n;
}
