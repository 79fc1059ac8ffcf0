#include "audiobuffers.h"

#include <QAudioFormat>
#include <QAudioInput>
#include <QAudioOutput>
#include <QDebug>

#include <atomic>

#include "voicelog.h"

namespace AudioBuffers {

bool useQtDefaults()
{
    const bool qtDefaults = qgetenv(kEnvironmentVariable) == kQtDefaultValue;
    static std::atomic<bool> logged { false };
    if (!logged.exchange(true)) {
        if (qtDefaults)
            qCDebug(lcVoice).noquote() << "Audio buffers: Qt's defaults (" << kEnvironmentVariable
                                       << "=" << kQtDefaultValue << ")";
        else
            qCDebug(lcVoice).noquote()
                << "Audio buffers: output" << outputBufferMs() << "ms (" << outputBufferMs(true)
                << "ms as an echo reference), input" << kInputBufferMs << "ms";
    }
    return qtDefaults;
}

bool fixedPlayout()
{
    const bool fixed = qgetenv(kPlayoutVariable) == kFixedPlayoutValue;
    static std::atomic<bool> logged { false };
    if (fixed && !logged.exchange(true))
        qCDebug(lcVoice).noquote()
            << "Playout: fixed (" << kPlayoutVariable << "=" << kFixedPlayoutValue << ")";
    return fixed;
}

int outputBufferMs(bool echoReference)
{
    if (fixedPlayout())
        return kFixedPlayoutOutputBufferMs;
    return echoReference ? kEchoReferenceOutputBufferMs : kOutputBufferMs;
}

int bytesFor(const QAudioFormat& format, int ms)
{
    const int frame = format.bytesPerFrame();
    if (frame <= 0 || ms <= 0)
        return 0;
    return int(format.framesForDuration(qint64(ms) * 1000)) * frame;
}

namespace {

// QAudioOutput and QAudioInput share these members without a common base.
template <class Device> int applySize(Device* device, int ms)
{
    if (!device || useQtDefaults())
        return 0;
    const int bytes = bytesFor(device->format(), ms);
    if (bytes > 0)
        device->setBufferSize(bytes);
    return bytes;
}

} // namespace

int applyTo(QAudioOutput* output, bool echoReference)
{
    return applySize(output, outputBufferMs(echoReference));
}

int applyTo(QAudioInput* input)
{
    return applySize(input, kInputBufferMs);
}

} // namespace AudioBuffers
