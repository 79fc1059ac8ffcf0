#include "programfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

// XDG's rule: a relative path in the variable is ignored.
QString xdgHome(const char* variable, const QString& fallback)
{
    const QString value = qEnvironmentVariable(variable);
    return QDir::isAbsolutePath(value) ? QDir::cleanPath(value) : fallback;
}

} // namespace

ProgramFiles ProgramFiles::choose(
    const QString& program, const QString& logName, LocalLog localLog, const Places& places)
{
    ProgramFiles files;
    files.besideExecutable = places.appDirWritable;
    if (files.besideExecutable) {
        files.configDir = places.appDir;
        const QString logDir
            = localLog == LocalLog::TemporaryFolder ? places.tempDir : places.appDir;
        files.logPath = logDir + QLatin1Char('/') + logName;
    } else {
        files.configDir = places.configHome + QLatin1Char('/') + program;
        files.logPath = places.stateHome + QLatin1Char('/') + program + QLatin1Char('/') + logName;
    }
    if (!places.logsDirectory.isEmpty())
        files.logPath = places.logsDirectory + QLatin1Char('/') + logName;
    return files;
}

ProgramFiles::Places ProgramFiles::currentPlaces()
{
    Places places;
    places.appDir = QCoreApplication::applicationDirPath();
    // Root may write anywhere: an installed program run by root still keeps
    // its files out of the system's program folder.
    places.appDirWritable = QFileInfo(places.appDir).isWritable()
        && QDir(places.appDir) != QDir(QStringLiteral(CLASSROOM_INSTALL_BINDIR));
    places.configHome = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    places.stateHome
        = xdgHome("XDG_STATE_HOME", QDir::homePath() + QStringLiteral("/.local/state"));
    places.tempDir = QDir::tempPath();
    // systemd's LogsDirectory=: several folders are separated by colons.
    const QString logs = qEnvironmentVariable("LOGS_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (QDir::isAbsolutePath(logs))
        places.logsDirectory = QDir::cleanPath(logs);
    return places;
}

ProgramFiles ProgramFiles::locate(const QString& program, const QString& logName, LocalLog localLog)
{
    const ProgramFiles files = choose(program, logName, localLog, currentPlaces());
    // The user's state folder may not exist yet; the others do.
    QDir().mkpath(QFileInfo(files.logPath).absolutePath());
    return files;
}

QString ProgramFiles::describe() const
{
    return QStringLiteral("Files: identity and configuration in ") + configDir
        + QStringLiteral(", log ") + logPath
        + QLatin1String(besideExecutable ? " (next to the program)" : " (the user's folders)");
}
