#pragma once

#include "loglevel.h"
#include "programoptions.h"

#include <QString>
#include <QStringList>

#include <optional>

// The first look both programs take at their command line, before the
// application object (and with it a display) exists: "--help" and
// "--version" answer on standard output and end the program with 0; a bad
// value of a known option, or of the log-level variable, is named on
// standard error and ends it with 2. Plain functions; main thread.
namespace ProgramStart {

struct Program
{
    QString name; // "podium"
    QString bareArgument; // what an argument without "-" names, or empty
    QString summary; // one line: what the program is
};

// argv without the program name, as the application would give it.
QStringList arguments(int argc, char** argv);

// Help, version and bad values end the program here: gives the exit status
// then. Otherwise gives nothing, and sets level from "<PROGRAM>_LOG_LEVEL"
// and the command line, and unknown to the unknown options.
std::optional<int> checkCommandLine(const Program& program, const ProgramOptions::Table& table,
    const QStringList& arguments, LogLevel::Level& level, QStringList& unknown);

// One warning line naming the unknown options (none when there are none).
void warnUnknown(const QStringList& unknown);

QString version();

} // namespace ProgramStart
