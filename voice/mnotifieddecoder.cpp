#include "mnotifieddecoder.h"

#include "audiomath.h"
#include "maudiooutputfeeder.h"

#include <QAudioOutput>
#include <QDebug>

#include "voicelog.h"

namespace {

// Upper bound on blocks handed over in one round: the output holds 250 ms,
// so a round never needs more than a few dozen periods.
const int kMaxBlocksPerRound = 64;

} // namespace

MNotifiedDecoder::MNotifiedDecoder(QAudioOutput* output, QIODevice* device,
    const QAudioFormat& format, const char* name, QObject* parent)
    : MDecoder(device, format, parent), audioOutput(output)
{
    const int period = output ? output->periodSize() : 0;
    if (!device || !AudioMath::usablePeriod(period, format)) {
        qCWarning(lcVoice).noquote()
            << QString::fromLatin1(name) + QStringLiteral("::")
            << "unusable audio output (period size" << period << "bytes,"
            << AudioMath::bytesPerSecond(format) << "bytes per second); staying silent";
        return;
    }
    periodSize = period;
    m_feeder = new MAudioOutputFeeder(output, device, period, this);
}

MNotifiedDecoder::MNotifiedDecoder(
    int period, QIODevice* device, const QAudioFormat& format, const char* name, QObject* parent)
    : MDecoder(device, format, parent), audioOutput(nullptr)
{
    if (!device || !AudioMath::usablePeriod(period, format)) {
        qCWarning(lcVoice).noquote() << QString::fromLatin1(name) + QStringLiteral("::")
                                     << "unusable period size" << period << "bytes; staying silent";
        return;
    }
    periodSize = period;
    m_feeder = new MAudioOutputFeeder(nullptr, device, period, this);
}

MNotifiedDecoder::~MNotifiedDecoder() = default;

void MNotifiedDecoder::startPlayout()
{
    if (!m_feeder)
        return;
    m_notifyIntervalMs = AudioMath::periodIntervalMs(periodSize, audioFormat);
    connect(m_feeder, &MAudioOutputFeeder::wantsData, this, &MNotifiedDecoder::notified);
    m_feeder->start(m_notifyIntervalMs);
    // Two periods straight away, so that the output starts and notifies.
    const QByteArray silence = getEmptyWaveForSeqSkip(periodSize);
    play(silence);
    play(silence);
}

void MNotifiedDecoder::play(const char* data, int size)
{
    if (m_feeder)
        m_feeder->write(data, size);
}

void MNotifiedDecoder::notified()
{
    if (!m_feeder)
        return;
    m_feeder->beginRound();
    for (int blocks = 0; blocks < kMaxBlocksPerRound && m_feeder->needsData(); ++blocks) {
        if (!playBlock())
            break;
    }
}
