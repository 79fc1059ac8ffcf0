// pupil: the student client.

#include "cmainwindow.h"
#include "programfiles.h"
#include "programlog.h"
#include "programstart.h"
#include "studentconfig.h"

#include <QApplication>
#include <QDebug>
#include <QFile>

#include "studentlog.h"

int main(int argc, char* argv[])
{
    // Help, version and bad values are answered before a display is needed.
    LogLevel::Level level = LogLevel::Level::Normal;
    QStringList unknown;
    {
        const ProgramStart::Program pupil { QStringLiteral("pupil"), QString(),
            QStringLiteral("The student's window of a classroom voice and text chat.") };
        StudentConfig options;
        if (const std::optional<int> status = ProgramStart::checkCommandLine(
                pupil, options.optionTable(), ProgramStart::arguments(argc, argv), level, unknown))
            return *status;
    }
    LogLevel::apply(level);

    QApplication app(argc, argv);
    const ProgramFiles files = ProgramFiles::locate(QStringLiteral("pupil"),
        QStringLiteral("logclient.log"), ProgramFiles::LocalLog::BesideExecutable);
    QFile* logFile = ProgramLog::open(files.logPath);
    ProgramLog::install();
    qCDebug(lcStudent).noquote() << files.describe();
    ProgramStart::warnUnknown(unknown);

    StudentConfig config;
    config.load(QCoreApplication::arguments().mid(1), files.configDir);
    qCDebug(lcStudent).noquote() << config.describe();

    int result = 0;
    {
        CMainWindow window(config);
        window.show();
        logFile->setParent(&window);
        result = QApplication::exec();
    }
    // Sockets and decoders released with deleteLater as the class ended.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
