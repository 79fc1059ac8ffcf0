#pragma once

#include <QString>

// Where a program reads its identity and configuration files and writes its
// log. A program run from a folder it may write (its build folder, a copy
// next to its files) keeps them next to the executable, podium's log in the
// temporary folder; an installed program, whose folder its user cannot
// write, uses the user's folders: ~/.config/<program>/ for the files read,
// ~/.local/state/<program>/ for the log. A service's log folder, when
// systemd names one ($LOGS_DIRECTORY), takes the log in either case. Plain
// data; main thread.
struct ProgramFiles
{
    // Where the log goes when the files lie next to the executable.
    enum class LocalLog { BesideExecutable, TemporaryFolder };

    // The folders a choice depends on, so that the rule is a plain function.
    struct Places
    {
        QString appDir;
        bool appDirWritable = false;
        QString configHome; // $XDG_CONFIG_HOME or ~/.config
        QString stateHome; // $XDG_STATE_HOME or ~/.local/state
        QString tempDir;
        QString logsDirectory; // $LOGS_DIRECTORY (its first folder), or empty
    };

    bool besideExecutable = true;
    // Holds the identity file and the configuration files.
    QString configDir;
    QString logPath;

    static ProgramFiles choose(
        const QString& program, const QString& logName, LocalLog localLog, const Places& places);
    // The places of this process: the running executable's folder (after
    // the application object exists) and the user's folders.
    static Places currentPlaces();
    // choose() for this process; creates the log's folder when it is missing.
    static ProgramFiles locate(const QString& program, const QString& logName, LocalLog localLog);

    // One line for the log: which files are used.
    QString describe() const;
};
