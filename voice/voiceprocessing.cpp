#include "voiceprocessing.h"

#include <QDebug>
#include <QString>

#include <atomic>

#include "voicelog.h"

namespace VoiceProcessing {

Settings allOn()
{
    Settings settings;
    settings.noiseSuppression = settings.echoCancellation = settings.gainControl = true;
    return settings;
}

bool disabledByEnvironment()
{
    const bool off = qgetenv(kEnvironmentVariable) == kOffValue;
    static std::atomic<bool> logged { false };
    if (off && !logged.exchange(true))
        qCDebug(lcVoice).noquote()
            << "Voice processing: off (" << kEnvironmentVariable << "=" << kOffValue << ")";
    return off;
}

QString describe(const Settings& settings)
{
    auto part
        = [](bool on, const char* name) { return on ? QLatin1String(name) : QLatin1String("-"); };
    return part(settings.noiseSuppression, "noise") + QLatin1String(", ")
        + part(settings.echoCancellation, "echo") + QLatin1String(", ")
        + part(settings.gainControl, "gain");
}

} // namespace VoiceProcessing
