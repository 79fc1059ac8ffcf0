#include "mwavrecordercollectordecoder.h"

#include "audiomath.h"
#include "wavrecorder.h"
#include "wireformat.h"

#include <QDebug>

#include "voicelog.h"

MWavRecorderCollectorDecoder::MWavRecorderCollectorDecoder(QIODevice* output,
    const QAudioFormat& format, const QString& fileName, float collectSeconds, QObject* parent)
    : MDecoder(output, format, parent), seconds(collectSeconds),
      collectBuffer(AudioMath::collectBytes(format, collectSeconds)),
      recorder(new WavRecorder(fileName, format, this))
{
    skipCallPerMissingPacket = true;
    if (collectBuffer.threshold() <= 0)
        qCWarning(lcVoice) << "MWavRecorderCollectorDecoder:: a block of" << collectSeconds
                           << "s holds no audio; recording every packet as it comes";
}

MWavRecorderCollectorDecoder::~MWavRecorderCollectorDecoder()
{
    // The tail since the last full block belongs in the recording too.
    flush();
}

void MWavRecorderCollectorDecoder::processVoicePacket(const QByteArray& packet)
{
    collect(packet.constData() + WireFormat::kVoiceHeaderSize,
        packet.size() - WireFormat::kVoiceHeaderSize);
}

void MWavRecorderCollectorDecoder::processSeqSkip(int payloadSize)
{
    const QByteArray silence = getEmptyWaveForSeqSkip(payloadSize);
    collect(silence.constData(), silence.size());
}

void MWavRecorderCollectorDecoder::collect(const char* data, int size)
{
    if (collectBuffer.threshold() <= 0) {
        recorder->appendAudio(data, size);
        return;
    }
    const bool full = collectBuffer.write(data, size);
    collectBuffer.logState();
    if (full)
        flush();
}

void MWavRecorderCollectorDecoder::flush()
{
    const QByteArray block = collectBuffer.take();
    if (block.isEmpty())
        return;
    qCDebug(lcVoice) << "FLUSH: " << block.size() << quintptr(&collectBuffer);
    recorder->appendAudio(block);
}
