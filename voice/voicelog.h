#pragma once

#include <QLoggingCategory>

// The diagnostics of the voice pipeline, category "voice": a server box quiets them with
// QT_LOGGING_RULES (e.g. "voice.debug=false") without touching the code.
inline const QLoggingCategory& lcVoice()
{
    static const QLoggingCategory category("voice");
    return category;
}
