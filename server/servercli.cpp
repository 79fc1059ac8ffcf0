#include "servercli.h"

#include "mstudentserver.h"
#include "server.h"

#include <cstdio>

#include <QCoreApplication>
#include <QDebug>

#include "serverlog.h"

namespace {
const char* const kTag = "SERVER: ";
}

ServerCLI::ServerCLI(const ServerSettings& settingsArg, QObject* parent)
    : QObject(parent), settings(settingsArg)
{
    m_server = new Server(settings, this);
    connect(m_server, &Server::serversConnected, this, &ServerCLI::serversConnected);
    connect(m_server, &Server::serversClosed, this, &ServerCLI::serversClosed);
    connect(m_server, &Server::quitServer, this, &ServerCLI::quitServer);
    connect(m_server, &Server::clientRaisedError, this, &ServerCLI::clientRaisedError);
    connect(m_server, &Server::studentClientsChanged, this, &ServerCLI::studentClientsChanged);
    m_server->start();
}

bool ServerCLI::isListening() const
{
    return m_server->isListening();
}

void ServerCLI::serversConnected()
{
    qCDebug(lcServer) << kTag << "Servers Listening...";
    // The line a teacher hands out goes where the operator of a server box
    // looks, not only into the log.
    const MStudentServer* students = m_server->currentStudentServer();
    const QString invitation = students ? students->invitation() : QString();
    if (!invitation.isEmpty()) {
        std::printf("%s\n", qPrintable(invitation));
        std::fflush(stdout);
    }
}

void ServerCLI::serversClosed()
{
    qCDebug(lcServer) << kTag << "Servers Closed.";
}

void ServerCLI::quitServer()
{
    QCoreApplication::quit();
}

void ServerCLI::clientRaisedError(
    const QString& clientName, QAbstractSocket::SocketError err, const QString& errorString)
{
    qCDebug(lcServer) << kTag
                      << QStringLiteral("Student Error: %1\r\nError: %2 %3")
                             .arg(clientName, QString::number(int(err)), errorString);
}

void ServerCLI::studentClientsChanged()
{
    qCDebug(lcServer) << kTag << "Students Changed: ============================================";
    const QHash<QString, QString> info = m_server->studentClientsInfo();
    for (auto it = info.cbegin(); it != info.cend(); ++it)
        qCDebug(lcServer) << kTag
                          << QString(
                                 it.key() + QLatin1String(" (") + it.value() + QLatin1Char(')'));
    qCDebug(lcServer) << kTag << "==============================================================";
}
