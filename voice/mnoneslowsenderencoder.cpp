#include "mnoneslowsenderencoder.h"

#include "audiomath.h"

#include <QAudioInput>
#include <QDebug>
#include <QIODevice>
#include <QTimer>

#include "voicelog.h"

MNoneSlowSenderEncoder::MNoneSlowSenderEncoder(QAudioInput* input, QIODevice* device,
    const QAudioFormat& format, MUdpSocket* udpSocket, QObject* parent)
    : MEncoder(device, format, udpSocket, parent), audioInput(input), tickTimer(new QTimer(this))
{
    const int period = audioInput ? audioInput->periodSize() : 0;
    if (!AudioMath::usablePeriod(period, format)) {
        qCWarning(lcVoice)
            << "MNoneSlowSenderEncoder:: audio input period of" << period
            << "bytes cannot pace sending (start the input first); this encoder sends "
               "nothing";
        return;
    }
    const int periodMs = AudioMath::periodIntervalMs(period, format);
    qCDebug(lcVoice) << "NSD" << periodMs;
    tickTimer->setInterval(int(periodMs * 1.25));
    connect(tickTimer, &QTimer::timeout, this, &MNoneSlowSenderEncoder::timerTick);
    tickTimer->start();
}

MNoneSlowSenderEncoder::~MNoneSlowSenderEncoder()
{
    tickTimer->disconnect(this);
    tickTimer->stop();
}

int MNoneSlowSenderEncoder::tickIntervalMs() const
{
    return tickTimer->interval();
}

bool MNoneSlowSenderEncoder::usable() const
{
    return tickTimer->isActive();
}

void MNoneSlowSenderEncoder::sendAvailableVoice()
{
    if (!inputDevice)
        return;
    const QByteArray data = inputDevice->readAll();
    if (usable())
        collectBuffer.write(data);
}

void MNoneSlowSenderEncoder::timerTick()
{
    // The period is read at every tick: it is the input's current one.
    const int n = audioInput ? audioInput->periodSize() : 0;
    if (n <= 0 || collectBuffer.available() < n)
        return;
    int got = 0;
    const char* data = collectBuffer.peek(n, &got);
    sendVoicePacket(QByteArray::fromRawData(data, got));
    collectBuffer.advance(n);
}
