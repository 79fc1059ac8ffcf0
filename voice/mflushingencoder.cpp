#include "mflushingencoder.h"

#include "audiomath.h"

#include <QDebug>
#include <QIODevice>
#include <QLoggingCategory>
#include <QTimer>

#include "voicelog.h"

MFlushingEncoder::MFlushingEncoder(QIODevice* input, const QAudioFormat& format,
    MUdpSocket* udpSocket, float seconds, int bytesPerPacket, const char* name, QObject* parent)
    : MEncoder(input, format, udpSocket, parent), packetBytes(bytesPerPacket),
      collectBuffer(AudioMath::collectBytes(format, seconds)), m_name(name)
{
    if (collectBuffer.threshold() <= 0)
        setUnusable(QStringLiteral("%1 s of audio is no whole byte").arg(double(seconds)));
    else if (packetBytes <= 0)
        setUnusable(QStringLiteral("packets of %1 bytes").arg(packetBytes));
}

MFlushingEncoder::~MFlushingEncoder() = default;

void MFlushingEncoder::setStep(int stepDelayMs, const char* stepLog)
{
    m_stepDelayMs = stepDelayMs;
    m_stepLog = stepLog;
}

void MFlushingEncoder::setUnusable(const QString& reason)
{
    if (m_usable)
        qCWarning(lcVoice).noquote() << QString::fromLatin1(m_name) + QStringLiteral("::") << reason
                                     << "cannot be sent; this encoder sends nothing";
    m_usable = false;
}

void MFlushingEncoder::sendAvailableVoice()
{
    if (!inputDevice)
        return;
    const QByteArray data = inputDevice->readAll();
    if (!m_usable)
        return;
    if (collectBuffer.write(data))
        flush();
}

void MFlushingEncoder::flush()
{
    const QByteArray block = collectBuffer.take();
    if (block.isEmpty())
        return;
    qCDebug(lcVoice) << "FLUSH: " << block.size();
    if (sendOffset == sendQueue.size()) {
        sendQueue = block;
    } else {
        qCDebug(lcVoice) << "==================== SLOW SENDING DETECTED! ====================";
        sendQueue = sendQueue.mid(sendOffset) + block;
    }
    sendOffset = 0;
    scheduleNextStep();
}

void MFlushingEncoder::continuouslySendData()
{
    const int end = packetBytes + sendOffset;
    qCDebug(AudioMath::voiceLog) << m_stepLog << end << sendQueue.size()
                                 << (end == sendQueue.size());
    if (end > sendQueue.size())
        return;
    qCDebug(AudioMath::voiceLog) << "HAHA";
    sendVoicePacket(sendQueue.mid(sendOffset, packetBytes));
    sendOffset += packetBytes;
    scheduleNextStep();
}

void MFlushingEncoder::scheduleNextStep()
{
    if (m_stepDelayMs <= 0)
        QMetaObject::invokeMethod(this, "continuouslySendData", Qt::QueuedConnection);
    else
        QTimer::singleShot(m_stepDelayMs, this, SLOT(continuouslySendData()));
}
