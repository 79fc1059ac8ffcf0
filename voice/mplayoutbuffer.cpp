#include "mplayoutbuffer.h"

#include <cstring>

namespace {

// Played audio is released once this much has gathered in front of the read
// position (about 5 s at 48 kHz stereo), and only when it is most of the
// storage, so that the move costs little per byte played.
const int kReleaseBytes = 1 << 20;

} // namespace

void MPlayoutBuffer::write(const char* data, int size)
{
    if (size <= 0)
        return;
    const qint64 offset = m_position - m_base;
    const qint64 end = offset + size;
    if (end > m_storage.size())
        m_storage.resize(int(end));
    std::memcpy(m_storage.data() + offset, data, size_t(size));
    m_position += size;
}

void MPlayoutBuffer::writeRepeated(const QByteArray& block, int count)
{
    if (block.isEmpty() || count <= 0)
        return;
    const qint64 offset = m_position - m_base;
    const qint64 end = offset + qint64(block.size()) * count;
    if (end > m_storage.size())
        m_storage.resize(int(end));
    char* out = m_storage.data() + offset;
    for (int i = 0; i < count; ++i, out += block.size())
        std::memcpy(out, block.constData(), size_t(block.size()));
    m_position = m_base + end;
}

void MPlayoutBuffer::seek(qint64 position)
{
    m_position = qBound(m_readPos, position, size());
}

const char* MPlayoutBuffer::peek(int size, int* got) const
{
    *got = int(qBound<qint64>(0, qMin<qint64>(size, this->size() - m_readPos), size));
    return m_storage.constData() + (m_readPos - m_base);
}

void MPlayoutBuffer::advance(int size)
{
    m_readPos = qMin(m_readPos + qMax(size, 0), m_position);
    releasePlayed();
}

void MPlayoutBuffer::releasePlayed()
{
    const qint64 played = m_readPos - m_base;
    if (played < kReleaseBytes || played * 2 < m_storage.size())
        return;
    m_storage.remove(0, int(played));
    m_base = m_readPos;
}
