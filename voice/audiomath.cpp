#include "audiomath.h"

#include <limits>

#include <QAudioFormat>
#include <QLoggingCategory>

namespace AudioMath {

int bytesPerSecond(const QAudioFormat& format)
{
    return format.sampleSize() * format.sampleRate() * format.channelCount() / 8;
}

int collectBytes(const QAudioFormat& format, float seconds)
{
    const double bytes = double(format.sampleRate()) * double(seconds)
        * double(format.channelCount()) * double(format.sampleSize()) / 8.0;
    // Also refuses NaN and values beyond an int.
    if (!(bytes >= 1.0) || bytes > double(std::numeric_limits<int>::max()))
        return 0;
    return int(bytes);
}

bool usablePeriod(int periodSize, const QAudioFormat& format)
{
    return periodSize > 0 && periodSize <= bytesPerSecond(format);
}

int periodIntervalMs(int periodSize, const QAudioFormat& format)
{
    return 1000 / (bytesPerSecond(format) / periodSize);
}

int concealmentBytes(int frameBytes, const QAudioFormat& format, int capacity)
{
    const int step = bytesPerSecond(format) / 400;
    const int limit = step > 0 ? capacity - capacity % step : 0;
    return qBound(0, frameBytes, limit);
}

const QLoggingCategory& voiceLog()
{
    return *QLoggingCategory::defaultCategory();
}

} // namespace AudioMath
