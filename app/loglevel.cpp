#include "loglevel.h"

#include <QLoggingCategory>

namespace LogLevel {

const char* const kServerFrames = "server.frames";
const char* const kTransportFrames = "transport.frames";

namespace {

QString framesRules(bool enabled)
{
    const QLatin1String value(enabled ? "true" : "false");
    return QLatin1String(kServerFrames) + QLatin1String(".debug=") + value + QLatin1Char('\n')
        + QLatin1String(kTransportFrames) + QLatin1String(".debug=") + value;
}

} // namespace

QStringList names()
{
    return { QStringLiteral("quiet"), QStringLiteral("normal"), QStringLiteral("trace") };
}

QString name(Level level)
{
    return names().at(int(level));
}

std::optional<Level> fromName(const QString& text)
{
    const int index = names().indexOf(text.trimmed().toLower());
    if (index < 0)
        return std::nullopt;
    return Level(index);
}

QString filterRules(Level level)
{
    switch (level) {
    case Level::Quiet:
        return QStringLiteral("*.debug=false");
    case Level::Normal:
        return framesRules(false);
    case Level::Trace:
        break;
    }
    return framesRules(true);
}

void apply(Level level)
{
    QLoggingCategory::setFilterRules(filterRules(level));
}

QString environmentVariable(const QString& program)
{
    return program.toUpper() + QStringLiteral("_LOG_LEVEL");
}

ProgramOptions::Option option(Level& target)
{
    return { QLatin1Char('d'), ProgramOptions::Expects::Choice,
        QStringLiteral(
            "what the log holds: quiet (warnings, errors), normal (no per-frame lines) or trace"),
        [&target](const QString& value) { target = fromName(value).value_or(target); }, names() };
}

} // namespace LogLevel
