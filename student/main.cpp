// pupil: the student client.

#include "cmainwindow.h"
#include "studentconfig.h"
#include "programlog.h"

#include <QApplication>
#include <QDebug>
#include <QFile>

#include "studentlog.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QString appDir = QCoreApplication::applicationDirPath();
    QFile* logFile = ProgramLog::open(appDir + QLatin1String("/logclient.log"));
    ProgramLog::install();

    StudentConfig config;
    config.load(QCoreApplication::arguments().mid(1), appDir);
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
