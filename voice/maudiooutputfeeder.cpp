#include "maudiooutputfeeder.h"

#include <cstring>

#include <QAudioOutput>
#include <QDebug>
#include <QTimer>

#include "voicelog.h"

MAudioOutputFeeder::MAudioOutputFeeder(
    QAudioOutput* output, QIODevice* device, int periodSize, QObject* parent)
    : QObject(parent), m_output(output), m_device(device), m_offline(output == nullptr),
      m_idleTimer(new QTimer(this)), m_carryCapacity(qMax(periodSize, 0) * 8 + 24576),
      m_periodSize(periodSize)
{
    m_carry.reset(new char[size_t(m_carryCapacity)]);
    m_idleTimer->setTimerType(Qt::PreciseTimer);
    connect(m_idleTimer, &QTimer::timeout, this, &MAudioOutputFeeder::wantsData);
    if (m_output) {
        connect(m_output, &QAudioOutput::notify, this, &MAudioOutputFeeder::wantsData);
        connect(
            m_output, &QAudioOutput::stateChanged, this, &MAudioOutputFeeder::outputStateChanged);
    }
}

MAudioOutputFeeder::~MAudioOutputFeeder() = default;

bool MAudioOutputFeeder::outputUsable(
    const QAudioOutput* output, const QIODevice* device, int bytesPerSecond)
{
    if (!output || !device || bytesPerSecond <= 0)
        return false;
    const int period = output->periodSize();
    return period > 0 && period <= bytesPerSecond;
}

void MAudioOutputFeeder::start(int notifyIntervalMs)
{
    // While idle the output does not notify; this timer stands in for it.
    m_idleTimer->setInterval(qMax(notifyIntervalMs, 1));
    if (m_output) {
        m_output->setNotifyInterval(notifyIntervalMs);
        outputStateChanged(m_output->state());
    }
}

void MAudioOutputFeeder::beginRound()
{
    m_roundWritten = 0;
    noteConsumption();
}

int MAudioOutputFeeder::queuedBytes() const
{
    if (!m_output)
        return 0;
    return qMax(0, m_output->bufferSize() - m_output->bytesFree());
}

bool MAudioOutputFeeder::queueRunsLow() const
{
    if (!m_output || !m_playing)
        return true;
    return queuedBytes() < kLowQueuePeriods * m_periodSize;
}

void MAudioOutputFeeder::noteConsumption()
{
    if (!m_output)
        return;
    const int queued = queuedBytes();
    if (queued < m_queuedAfterWrite) {
        // The queue shrank since the last write: the stream plays.
        m_playing = true;
        m_hasPlayed = true;
        m_stillRounds = 0;
    } else if (m_playing && queued > 0 && ++m_stillRounds >= kStillRoundsBeforePrebuffer) {
        // Nothing taken for a while although audio is queued: the stream
        // waits for its prebuffer again, so fill it up.
        m_playing = false;
        m_stillRounds = 0;
    }
}

bool MAudioOutputFeeder::needsData()
{
    if (!flushCarry())
        return false;
    if (m_offline)
        return m_roundWritten < m_periodSize;
    if (!m_output || !m_device || m_output->state() == QAudio::StoppedState)
        return false;
    if (m_output->bytesFree() < m_periodSize)
        return false;
    // Until the stream plays it must be filled up to its prebuffer, which Qt
    // leaves at nearly the whole buffer; afterwards a few periods suffice.
    if (!m_playing)
        return true;
    return queuedBytes() < kQueuePeriods * m_periodSize;
}

qint64 MAudioOutputFeeder::write(const char* data, int size)
{
    if (size <= 0)
        return 0;
    qint64 accepted = 0;
    if (m_carrySize == 0 && m_device)
        accepted = qMax<qint64>(m_device->write(data, size), 0);
    const int rest = size - int(accepted);
    if (rest > 0) {
        if (m_carrySize + rest > m_carryCapacity) {
            // Cannot happen while callers ask needsData() first; never let it
            // overrun the carry buffer though.
            qCWarning(lcVoice) << "MAudioOutputFeeder:: output blocked, dropping" << rest
                               << "bytes";
        } else {
            std::memcpy(m_carry.get() + m_carrySize, data + accepted, size_t(rest));
            m_carrySize += rest;
        }
    }
    m_totalAccepted += accepted;
    m_roundWritten += size;
    m_queuedAfterWrite = queuedBytes();
    return accepted;
}

bool MAudioOutputFeeder::flushCarry()
{
    if (m_carrySize == 0)
        return true;
    if (!m_device)
        return false;
    const qint64 accepted = qMax<qint64>(m_device->write(m_carry.get(), m_carrySize), 0);
    if (accepted > 0) {
        std::memmove(m_carry.get(), m_carry.get() + accepted, size_t(m_carrySize - accepted));
        m_carrySize -= int(accepted);
        m_totalAccepted += accepted;
        m_queuedAfterWrite = queuedBytes();
    }
    return m_carrySize == 0;
}

void MAudioOutputFeeder::outputStateChanged(QAudio::State state)
{
    if (state == QAudio::IdleState) {
        // An underrun: the stream has to prebuffer again before it plays.
        m_playing = false;
        m_queuedAfterWrite = 0;
        m_stillRounds = 0;
        if (!m_idleTimer->isActive())
            m_idleTimer->start();
        QTimer::singleShot(0, this, &MAudioOutputFeeder::wantsData);
    } else {
        m_idleTimer->stop();
    }
}
