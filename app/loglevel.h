#pragma once

#include "programoptions.h"

#include <QString>
#include <QStringList>

#include <optional>

// How much a program writes to its log and standard error, as Qt logging
// rules (QLoggingCategory::setFilterRules), so that no log line is edited to
// quiet it. QT_LOGGING_RULES, read by Qt after these rules, still refines
// them. Plain functions; main thread, before the event loop.
namespace LogLevel {

enum class Level {
    // Warnings and errors only.
    Quiet,
    // Everything but the per-frame trace: admissions, departures, refusals,
    // drops and errors. The default.
    Normal,
    // Everything, every frame received included.
    Trace,
};

// The categories of lines written once per frame or packet: each subsystem
// logs its per-frame lines under "<subsystem>.frames", and only the trace
// level shows them.
extern const char* const kServerFrames; // "server.frames"
extern const char* const kTransportFrames; // "transport.frames"

// "quiet", "normal", "trace", in that order.
QStringList names();
QString name(Level level);
// Any case; nothing for another word.
std::optional<Level> fromName(const QString& text);

QString filterRules(Level level);
void apply(Level level);

// The environment variable a service sets for program: "<PROGRAM>_LOG_LEVEL".
QString environmentVariable(const QString& program);

// The row "-d" + level that sets target.
ProgramOptions::Option option(Level& target);

} // namespace LogLevel
