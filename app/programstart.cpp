#include "programstart.h"

#include "applog.h"

#include <cstdio>

#include <QDebug>

namespace ProgramStart {

QStringList arguments(int argc, char** argv)
{
    QStringList list;
    for (int i = 1; i < argc; ++i)
        list << QString::fromLocal8Bit(argv[i]);
    return list;
}

std::optional<int> checkCommandLine(const Program& program, const ProgramOptions::Table& table,
    const QStringList& arguments, LogLevel::Level& level, QStringList& unknown)
{
    const ProgramOptions::Check found = ProgramOptions::check(table, arguments);
    if (found.help) {
        std::fputs(qPrintable(ProgramOptions::helpText(
                       program.name, program.bareArgument, program.summary, table)),
            stdout);
        std::fprintf(stdout, "\nThe environment variable %s sets the log level as -d does.\n",
            qPrintable(LogLevel::environmentVariable(program.name)));
        return 0;
    }
    if (found.version) {
        std::fprintf(stdout, "%s %s\n", qPrintable(program.name), qPrintable(version()));
        return 0;
    }

    QStringList errors = found.errors;
    // A service passes the level in its environment; the command line wins.
    const QString variable = LogLevel::environmentVariable(program.name);
    const QString fromEnvironment = qEnvironmentVariable(qPrintable(variable)).trimmed();
    if (!fromEnvironment.isEmpty()) {
        if (const std::optional<LogLevel::Level> named = LogLevel::fromName(fromEnvironment))
            level = *named;
        else
            errors.prepend(variable + QLatin1Char('=') + fromEnvironment
                + QStringLiteral(": not a log level (expected one of ")
                + LogLevel::names().join(QStringLiteral(", ")) + QLatin1Char(')'));
    }
    if (!errors.isEmpty()) {
        for (const QString& error : qAsConst(errors))
            std::fprintf(stderr, "%s: %s\n", qPrintable(program.name), qPrintable(error));
        std::fprintf(stderr, "%s: nothing started; %s --help lists the options\n",
            qPrintable(program.name), qPrintable(program.name));
        return 2;
    }
    ProgramOptions::readCommandLine({ LogLevel::option(level) }, arguments);
    unknown = found.unknown;
    return std::nullopt;
}

void warnUnknown(const QStringList& unknown)
{
    if (!unknown.isEmpty())
        qCWarning(lcApp).noquote() << "Unknown options ignored:" << unknown.join(QLatin1Char(' '));
}

QString version()
{
    return QStringLiteral(CLASSROOM_VERSION);
}

} // namespace ProgramStart
