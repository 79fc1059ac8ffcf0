#include "mcollectbuffer.h"

#include "audiomath.h"

#include <cstring>

#include <QDebug>
#include <QLoggingCategory>

MCollectBuffer::MCollectBuffer(int threshold) : m_threshold(threshold)
{
    m_storage.reserve(qMax(threshold, 0) + 65536);
}

bool MCollectBuffer::write(const char* data, int size)
{
    // Without a threshold nothing would ever be taken: keep nothing.
    if (size > 0 && m_threshold > 0) {
        if (m_position + size > m_storage.size())
            m_storage.resize(m_position + size);
        std::memcpy(m_storage.data() + m_position, data, size_t(size));
        m_position += size;
    }
    return m_threshold > 0 && m_position >= m_threshold;
}

void MCollectBuffer::logState() const
{
    qCDebug(AudioMath::voiceLog) << "buff: " << m_storage.size() << m_position
                                 << m_storage.size() - m_position << 0 << false;
}

QByteArray MCollectBuffer::take()
{
    const int collected = m_position;
    m_position = 0;
    return QByteArray(m_storage.constData(), collected);
}
