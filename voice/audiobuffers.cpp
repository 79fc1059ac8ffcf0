#include "audiobuffers.h"

#include <QAudioFormat>
#include <QAudioInput>
#include <QAudioOutput>
#include <QDebug>

#include <atomic>

namespace AudioBuffers {

bool useQtDefaults()
{
    const bool qtDefaults = qgetenv(kEnvironmentVariable) == kQtDefaultValue;
    static std::atomic<bool> logged { false };
    if (!logged.exchange(true)) {
        if (qtDefaults)
            qDebug().noquote() << "Audio buffers: Qt's defaults (" << kEnvironmentVariable << "="
                               << kQtDefaultValue << ")";
        else
            qDebug().noquote() << "Audio buffers: output" << kOutputBufferMs << "ms, input"
                               << kInputBufferMs << "ms";
    }
    return qtDefaults;
}

int bytesFor(const QAudioFormat& format, int ms)
{
    const int frame = format.bytesPerFrame();
    if (frame <= 0 || ms <= 0)
        return 0;
    return int(format.framesForDuration(qint64(ms) * 1000)) * frame;
}

int applyTo(QAudioOutput* output)
{
    if (!output || useQtDefaults())
        return 0;
    const int bytes = bytesFor(output->format(), kOutputBufferMs);
    if (bytes > 0)
        output->setBufferSize(bytes);
    return bytes;
}

int applyTo(QAudioInput* input)
{
    if (!input || useQtDefaults())
        return 0;
    const int bytes = bytesFor(input->format(), kInputBufferMs);
    if (bytes > 0)
        input->setBufferSize(bytes);
    return bytes;
}

} // namespace AudioBuffers
