#pragma once

#include <QtGlobal>

class QFile;
class QMessageLogContext;
class QString;

// A program's process-wide log, the same for every program of the class: one
// file appended (where ProgramFiles puts it) and the message handler that mirrors every diagnostic
// into it and onto standard error. The file object may be handed to the window as a child; the
// handler notices when it is destroyed and writes to standard error only from then on. Any thread
// (the file is written without a lock).
class ProgramLog
{
public:
    // Creates and opens the file ("Opening log file failed." when it cannot)
    // and writes the session header. Gives the file object, owned by the caller.
    static QFile* open(const QString& path);
    static void install();
    // Stops writing to the file and closes it; the handler keeps standard error.
    static void detach();
    static void messageHandler(
        QtMsgType type, const QMessageLogContext& context, const QString& message);
};
