#pragma once

#include "clientlimits.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <QLatin1String>

// How the classroom server's diagnostic lines are built: every line begins
// with the item "SERVER: ".
namespace ServerLog {

inline constexpr const char* kTag = "SERVER: ";

// The debug stream quotes QLatin1String items but not const char* ones. The
// wire constants are string literals, so their latin1() ends in a NUL.
inline const char* plainItem(QLatin1String text)
{
    return text.latin1();
}

// A payload as the log shows it: whole when short, else its first bytes.
inline QByteArray loggedPayload(const QByteArray& data)
{
    if (data.size() <= ClientLimits::kLoggedPayloadBytes)
        return data;
    return data.left(ClientLimits::kLoggedPayloadBytes) + "...";
}

} // namespace ServerLog

// The category of the server's diagnostics, "server": a server box quiets it with
// QT_LOGGING_RULES (e.g. "server.debug=false") without touching the code.
inline const QLoggingCategory& lcServer()
{
    static const QLoggingCategory category("server");
    return category;
}

// Lines written for every frame and every handshake probe, "server.frames":
// off at the default log level, so that a server box logs admissions,
// departures, refusals and drops rather than the traffic.
inline const QLoggingCategory& lcServerFrames()
{
    static const QLoggingCategory category("server.frames");
    return category;
}
