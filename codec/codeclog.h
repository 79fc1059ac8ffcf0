#pragma once

#include <QLoggingCategory>

// The diagnostics of the Opus wrappers, category "codec": a server box quiets them with
// QT_LOGGING_RULES (e.g. "codec.debug=false") without touching the code.
inline const QLoggingCategory& lcCodec()
{
    static const QLoggingCategory category("codec");
    return category;
}
