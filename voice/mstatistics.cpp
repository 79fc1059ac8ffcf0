#include "mstatistics.h"

#include <QDebug>
#include <QTimer>

#include "voicelog.h"

namespace {

// The flow timer ticks once a second; the flow figures are per tick.
const int kFlowTickMs = 1000;

} // namespace

MStatistics::MStatistics(QObject* parent) : QObject(parent), flowTimer(new QTimer(this))
{
    flowTimer->setInterval(kFlowTickMs);
    connect(flowTimer, &QTimer::timeout, this, &MStatistics::flowTimerTimeout);
    flowTimer->start();
}

MStatistics::~MStatistics()
{
    flowTimer->stop();
    qCDebug(lcVoice) << "OVERALL: " << packetCount << "packets, " << byteCount << "bytes, "
                     << "average " << double(byteCount) / double(packetCount) << " bytes";
}

void MStatistics::echoThings()
{
    qCDebug(lcVoice) << "Previous " << propagationIntervalSecs
                     << " secs: " << packetCount - lastTickPackets << "packets, "
                     << byteCount - lastTickBytes << "bytes, "
                     << double(successfulPackets) * 100.0
            / double(successfulPackets + failedPackets)
                     << "% success.";
}

void MStatistics::flowTimerTimeout()
{
    ++tickCount;
    // The field is public; a value written past the setter must not divide
    // by zero.
    if (tickCount % qMax(1, propagationIntervalSecs) == 0)
        echoThings();
    emit statsPropagated(
        packetCount - lastTickPackets, byteCount - lastTickBytes, successfulPackets, failedPackets);
    lastTickPackets = packetCount;
    lastTickBytes = byteCount;
}

void MStatistics::setPropagationIntervalSecs(int secs)
{
    propagationIntervalSecs = qMax(1, secs);
}
