#pragma once

// A classroom server in the test process on loopback ports chosen by the
// system, windows that join it and scripted members. Shared by the window,
// file-transfer and address tests.

#include "assistantconfig.h"
#include "classroomclient.h"
#include "dmainwindow.h"
#include "mstudentserver.h"
#include "server.h"
#include "servercli.h"
#include "serversettings.h"

#include <QStringList>
#include <QTest>
#include <QTextEdit>

#include <memory>

namespace ClassroomFixture {

constexpr int kJoinTimeoutMs = 15000;

inline QString chatText(const DMainWindow& window)
{
    return window.findChild<QTextEdit*>(QStringLiteral("txtMessages"))->toPlainText();
}

inline bool isReady(const DMainWindow& window)
{
    return chatText(window).contains(QStringLiteral("Voice Initialized"));
}

class Room
{
public:
    explicit Room(const QStringList& allowedNames = QStringList(), bool udpTextProbe = false)
        : probe(udpTextProbe)
    {
        ServerSettings settings;
        settings.listenAddress = QHostAddress(QHostAddress::LocalHost);
        settings.listenPort = 0;
        settings.udpAddress = QHostAddress(QHostAddress::LocalHost);
        settings.udpPort = 0;
        settings.restrictNames = !allowedNames.isEmpty();
        settings.allowedNames = allowedNames;
        settings.udpTextProbe = udpTextProbe;
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
        c.udpTextProbe = probe;
        return c;
    }

    std::unique_ptr<DMainWindow> openWindow(const QString& identity) const
    {
        auto window = std::make_unique<DMainWindow>(config(identity));
        window->show();
        return window;
    }

    // A scripted member of the class, owned by the class object.
    ClassroomClient* join(const QString& identity)
    {
        auto* client = new ClassroomClient(identity, &members);
        const QHostAddress local(QHostAddress::LocalHost);
        if (!client->connectToServer(local, tcpPort(), local, udpPort()))
            return nullptr;
        return client;
    }

    struct WindowAndMember
    {
        std::unique_ptr<DMainWindow> window;
        ClassroomClient* member = nullptr;
    };
    // A window that has joined and initialised its voice, then a scripted
    // member that is ready too; the member is null when either did not get
    // there within the join time-out.
    WindowAndMember windowWithMember(const QString& windowName, const QString& memberName)
    {
        WindowAndMember both { openWindow(windowName), nullptr };
        DMainWindow* window = both.window.get();
        if (!QTest::qWaitFor([window] { return isReady(*window); }, kJoinTimeoutMs))
            return both;
        ClassroomClient* member = join(memberName);
        if (member && QTest::qWaitFor([member] { return member->isReady(); }, kJoinTimeoutMs))
            both.member = member;
        return both;
    }

private:
    bool probe;
    QObject members;
    std::unique_ptr<ServerCLI> cli;
};

} // namespace ClassroomFixture
