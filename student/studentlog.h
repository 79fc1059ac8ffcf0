#pragma once

#include <QtGlobal>

class QFile;
class QMessageLogContext;
class QString;

// pupil's process-wide log: "logclient.log" next to the executable, appended,
// and the message handler that mirrors every diagnostic into it and onto
// standard error. main hands the file object to the window as a child; the
// handler notices when it is destroyed and writes to standard error only
// from then on. Any thread (the file is written without a lock).
class StudentLog
{
public:
    // Creates and opens the file ("Opening log file failed." when it cannot)
    // and writes the run's time stamp. Gives the file object, owned by the caller.
    static QFile* open(const QString& path);
    static void install();
    static void messageHandler(
        QtMsgType type, const QMessageLogContext& context, const QString& message);
};
