#pragma once

#include "mabstractsocket.h"
#include "serversettings.h"

#include <QHash>
#include <QList>
#include <QObject>

class MStudentServer;
class MTcpSocket;
class QTimer;

// The classroom as a whole: owns the current MStudentServer (re-created by
// start()), answers the classroom-level commands of ready clients and relays
// the rest. Owned by ServerCLI; lives on the main thread.
class Server : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Server)

public:
    Server(const ServerSettings& settings, QObject* parent);
    ~Server() override;

    void start();
    QHash<QString, QString> studentClientsInfo() const;

    bool isListening() const;
    // The current student server (null before start()); for callers that need
    // its ports or clients.
    MStudentServer* currentStudentServer() const { return studentServer; }
    int speakerCount() const { return speakers.size(); }

signals:
    void serversConnected();
    void serversClosed();
    void quitServer();
    void clientRaisedError(
        const QString& clientName, QAbstractSocket::SocketError err, const QString& errorString);
    void studentClientsChanged();

private slots:
    void clientPacketReceived(
        MAbstractSocket* connection, MDataType dataType, const QByteArray& data);

public slots:
    // Public so that podium's termination handling can end the class too.
    void endClass();

private slots:
    void sendClientsListToEachOther();

private:
    // Sends the count and the list of the class as it is now; changes within
    // ClientLimits::kClientListWindowMs are gathered into one call.
    void broadcastClientList();
    void stopStudentServer();
    void handleCommand(MTcpSocket* conn, const QByteArray& data);
    void forgetSpeaker(MTcpSocket* conn);
    void broadcastSpeakerCount();

    int xdataIdCounter = 1;
    QList<MAbstractSocket*> speakers;
    ServerSettings settings;
    bool running = false;
    MStudentServer* studentServer = nullptr;
    QTimer* m_clientListTimer = nullptr;
};
