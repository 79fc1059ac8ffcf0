#pragma once

#include <QLoggingCategory>

// The diagnostics of the packet transport, category "transport": a server box quiets them with
// QT_LOGGING_RULES (e.g. "transport.debug=false") without touching the code.
inline const QLoggingCategory& lcTransport()
{
    static const QLoggingCategory category("transport");
    return category;
}
