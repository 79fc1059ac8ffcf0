#pragma once

#include <QLoggingCategory>

// The diagnostics of the programs' shared start-up pieces (options, log), category "app": a server
// box quiets them with QT_LOGGING_RULES (e.g. "app.debug=false") without touching the code.
inline const QLoggingCategory& lcApp()
{
    static const QLoggingCategory category("app");
    return category;
}
