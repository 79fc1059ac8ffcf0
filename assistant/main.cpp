#include "assistantconfig.h"
#include "dmainwindow.h"
#include "mstudentserver.h"
#include "podiumsignals.h"
#include "programfiles.h"
#include "programlog.h"
#include "programstart.h"
#include "server.h"
#include "servercli.h"

#include <cstdio>
#include <memory>

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>

#include "assistantlog.h"

namespace {

std::unique_ptr<QCoreApplication> createApplication(int& argc, char** argv, bool headless)
{
    if (headless)
        return std::make_unique<QCoreApplication>(argc, argv);
    return std::make_unique<QApplication>(argc, argv);
}

int runWindow(
    QCoreApplication& app, const AssistantConfig& config, ServerCLI* server, QFile* logFile)
{
    auto* window = new DMainWindow(config);
    window->show();
    qCDebug(lcAssistant) << "test";
    // The window takes the server and the log with it when it goes.
    if (server)
        server->setParent(window);
    logFile->setParent(window);
    const int result = app.exec();
    delete window;
    // Sockets and timers released with deleteLater while the class ended.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}

void announceServer(const Server& server)
{
    const MStudentServer* students = server.currentStudentServer();
    if (!server.isListening()) {
        std::fprintf(stderr, "podium: the classroom server is not listening (see the log).\n");
        return;
    }
    std::fprintf(stderr, "podium: clients connect to TCP %s and UDP %s\n",
        qPrintable(MAbstractSocket::addressText(students->serverAddress(), students->serverPort())),
        qPrintable(
            MAbstractSocket::addressText(students->serverAddress(), students->boundUdpPort())));
    // The line a teacher hands out, where the operator of a server box looks.
    const QString line = students->invitation();
    if (!line.isEmpty())
        std::fprintf(stderr, "podium: %s\n", qPrintable(line));
}

} // namespace

int main(int argc, char* argv[])
{
    // Help, version and bad values are answered before a display is needed.
    LogLevel::Level level = LogLevel::Level::Normal;
    QStringList unknown;
    {
        const ProgramStart::Program podium { QStringLiteral("podium"),
            QStringLiteral("configuration file"),
            QStringLiteral("The teacher's chat window, optionally with the classroom server "
                           "(-s; -s -n: a server box without a window).") };
        AssistantConfig options;
        if (const std::optional<int> status
            = ProgramStart::checkCommandLine(podium, options.optionTable(),
                AssistantConfig::environmentArguments() + ProgramStart::arguments(argc, argv),
                level, unknown))
            return *status;
    }
    LogLevel::apply(level);

    const bool headless = AssistantConfig::headlessRequested(argc, argv);
    const std::unique_ptr<QCoreApplication> app = createApplication(argc, argv, headless);

    const ProgramFiles files = ProgramFiles::locate(QStringLiteral("podium"),
        QStringLiteral("logpodium.log"), ProgramFiles::LocalLog::TemporaryFolder);
    QFile* logFile = ProgramLog::open(files.logPath);
    ProgramLog::install();
    qCDebug(lcAssistant).noquote() << files.describe();
    ProgramStart::warnUnknown(unknown);

    AssistantConfig config;
    config.load(AssistantConfig::environmentArguments() + QCoreApplication::arguments().mid(1),
        files.configDir);
    ServerCLI* server = nullptr;
    if (config.internalServer) {
        qCDebug(lcAssistant) << "Using Internal Server.";
        server = new ServerCLI(config.serverSettings(), nullptr);
        if (server->isListening() && config.identity.isEmpty())
            config.identity = QStringLiteral("Local User");
    }
    qCDebug(lcAssistant).noquote() << config.describe();
    if (headless && !config.internalServer) {
        std::fprintf(stderr,
            "podium: -n runs a server box and needs -s; usage: podium -s -n [-laddress:port]\n");
        ProgramLog::detach();
        delete logFile;
        return 2;
    }

    PodiumSignalWatcher signalWatcher;
    QObject::connect(
        &signalWatcher, &PodiumSignalWatcher::terminationRequested, app.get(), [server](int) {
            if (server)
                server->server()->endClass();
            else
                QCoreApplication::quit();
            // The log ends with the class; the teardown's lines go to standard error.
            ProgramLog::detach();
        });

    if (server)
        announceServer(*server->server());
    if (!headless)
        return runWindow(*app, config, server, logFile);

    const int result = QCoreApplication::exec();
    ProgramLog::detach();
    delete server;
    delete logFile;
    // Sockets and timers released with deleteLater while the class ended.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
