#pragma once

#include <QLoggingCategory>

// The diagnostics of podium's window and start-up, category "assistant": a server box quiets them
// with QT_LOGGING_RULES (e.g. "assistant.debug=false") without touching the code.
inline const QLoggingCategory& lcAssistant()
{
    static const QLoggingCategory category("assistant");
    return category;
}
