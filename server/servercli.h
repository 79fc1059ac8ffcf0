#pragma once

#include "serversettings.h"

#include <QAbstractSocket>
#include <QObject>

class Server;

// Front of the classroom server: owns Server, starts it at construction and
// turns each of its events into a "SERVER: " diagnostic line. podium creates
// it on the main thread and later hands it to its window as a child.
class ServerCLI : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ServerCLI)

public:
    ServerCLI(const ServerSettings& settings, QObject* parent);

    bool isListening() const;
    Server* server() const { return m_server; }

private slots:
    void serversConnected();
    void serversClosed();
    void quitServer();
    void clientRaisedError(
        const QString& clientName, QAbstractSocket::SocketError err, const QString& errorString);
    void studentClientsChanged();

private:
    ServerSettings settings;
    Server* m_server = nullptr;
};
