#include "mvoiceprocessingdevice.h"

#include "mvoiceprocessor.h"

#include <cstring>

MVoiceProcessingDevice::MVoiceProcessingDevice(
    QIODevice* source, MVoiceProcessor* processor, int bytesPerMs, QObject* parent)
    : QIODevice(parent), m_source(source), m_processor(processor), m_bytesPerMs(qMax(1, bytesPerMs))
{
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    connect(m_source, &QIODevice::readyRead, this, &MVoiceProcessingDevice::sourceReadyRead);
}

MVoiceProcessingDevice::~MVoiceProcessingDevice() = default;

qint64 MVoiceProcessingDevice::bytesAvailable() const
{
    return m_ready.size() + QIODevice::bytesAvailable();
}

qint64 MVoiceProcessingDevice::readData(char* data, qint64 maxSize)
{
    const int n = int(qMin<qint64>(maxSize, m_ready.size()));
    if (n <= 0)
        return 0;
    memcpy(data, m_ready.constData(), size_t(n));
    m_ready.remove(0, n);
    return n;
}

qint64 MVoiceProcessingDevice::writeData(const char*, qint64)
{
    return -1;
}

void MVoiceProcessingDevice::sourceReadyRead()
{
    char chunk[16384];
    for (;;) {
        const qint64 n = m_source->read(chunk, sizeof chunk);
        if (n <= 0)
            break;
        m_pending.append(chunk, int(n));
    }
    const int block = m_processor->blockBytes();
    if (block <= 0) {
        // Nothing to process with: the audio goes on as it came.
        m_ready.append(m_pending);
        m_pending.clear();
    } else {
        const int whole = m_pending.size() - m_pending.size() % block;
        // The bytes behind the whole blocks arrived last: they are how old
        // the end of the blocks is when they are processed.
        const int ageMs = (m_pending.size() - whole) / m_bytesPerMs;
        const int done = m_processor->processCapture(m_pending.data(), whole, ageMs);
        m_ready.append(m_pending.constData(), done);
        m_pending.remove(0, done);
    }
    if (!m_ready.isEmpty())
        emit readyRead();
}
