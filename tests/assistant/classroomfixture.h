#pragma once

// A classroom server in the test process on loopback ports chosen by the
// system, windows that join it, scripted members, and a capture of the
// process's diagnostics. Shared by the file-transfer and address tests.

#include "assistantconfig.h"
#include "classroomclient.h"
#include "dmainwindow.h"
#include "mstudentserver.h"
#include "server.h"
#include "servercli.h"
#include "serversettings.h"

#include <QMutex>
#include <QStringList>
#include <QTextEdit>

#include <memory>

namespace ClassroomFixture {

constexpr int kJoinTimeoutMs = 15000;

class LogLines
{
public:
    static void install() { s_previous = qInstallMessageHandler(&LogLines::capture); }
    static bool contains(const QString& text)
    {
        QMutexLocker lock(&s_mutex);
        for (const QString& line : qAsConst(s_lines)) {
            if (line.contains(text))
                return true;
        }
        return false;
    }
    static void clear()
    {
        QMutexLocker lock(&s_mutex);
        s_lines.clear();
    }

private:
    static void capture(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        {
            QMutexLocker lock(&s_mutex);
            s_lines.append(message);
        }
        static const bool verbose = qEnvironmentVariableIsSet("CLASSROOM_TEST_VERBOSE");
        if ((type != QtDebugMsg || verbose) && s_previous)
            s_previous(type, context, message);
    }
    static inline QMutex s_mutex;
    static inline QStringList s_lines;
    static inline QtMessageHandler s_previous = nullptr;
};

class Room
{
public:
    Room()
    {
        ServerSettings settings;
        settings.listenAddress = QHostAddress(QHostAddress::LocalHost);
        settings.listenPort = 0;
        settings.udpAddress = QHostAddress(QHostAddress::LocalHost);
        settings.udpPort = 0;
        cli = std::make_unique<ServerCLI>(settings, nullptr);
    }

    bool isListening() const { return cli->isListening(); }
    Server* server() const { return cli->server(); }
    quint16 tcpPort() const { return server()->currentStudentServer()->serverPort(); }
    quint16 udpPort() const { return server()->currentStudentServer()->boundUdpPort(); }
    int readyCount() const { return server()->studentClientsInfo().size(); }

    AssistantConfig config(const QString& identity) const
    {
        AssistantConfig c;
        c.serverTcpAddress = QHostAddress(QHostAddress::LocalHost);
        c.serverTcpPort = tcpPort();
        c.serverUdpAddress = QHostAddress(QHostAddress::LocalHost);
        c.serverUdpPort = udpPort();
        c.identity = identity;
        c.windowTitle = QStringLiteral("Test ") + identity;
        return c;
    }

    std::unique_ptr<DMainWindow> openWindow(const QString& identity) const
    {
        auto window = std::make_unique<DMainWindow>(config(identity));
        window->show();
        return window;
    }

    ClassroomClient* join(const QString& identity)
    {
        auto* client = new ClassroomClient(identity, &members);
        const QHostAddress local(QHostAddress::LocalHost);
        if (!client->connectToServer(local, tcpPort(), local, udpPort()))
            return nullptr;
        return client;
    }

private:
    QObject members;
    std::unique_ptr<ServerCLI> cli;
};

inline QString chatText(const DMainWindow& window)
{
    return window.findChild<QTextEdit*>(QStringLiteral("txtMessages"))->toPlainText();
}

inline bool isReady(const DMainWindow& window)
{
    return chatText(window).contains(QStringLiteral("Voice Initialized"));
}

} // namespace ClassroomFixture
