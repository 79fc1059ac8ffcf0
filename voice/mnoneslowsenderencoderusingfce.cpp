#include "mnoneslowsenderencoderusingfce.h"

#include "audiomath.h"

MNoneSlowSenderEncoderUsingFCE::MNoneSlowSenderEncoderUsingFCE(QIODevice* input,
    const QAudioFormat& format, MUdpSocket* udpSocket, float seconds, int bytesPerPacket,
    QObject* parent)
    : MFlushingEncoder(
        input, format, udpSocket, seconds, bytesPerPacket, "MNoneSlowSenderEncoderUsingFCE", parent)
{
    // Blocks per second; a block longer than a second leaves none.
    const int k = threshold() > 0 ? AudioMath::bytesPerSecond(format) / threshold() : 0;
    if (k <= 0) {
        setUnusable(QStringLiteral("blocks of %1 s (more than a second)").arg(double(seconds)));
        return;
    }
    sendIntervalMs = int(1000.0 / double(k));
    // Each packet waits a quarter longer than a block's share of real time.
    setStep(int(sendIntervalMs * 1.25),
        "||||||||||||||||||||||||||||||||||| MNoneSlowSenderEncoderUsingFCE");
}

MNoneSlowSenderEncoderUsingFCE::~MNoneSlowSenderEncoderUsingFCE() = default;
