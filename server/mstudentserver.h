#pragma once

#include "mabstractsocket.h"
#include "nonreadyclient.h"
#include "readyclient.h"
#include "serversettings.h"

#include <QElapsedTimer>
#include <QHash>
#include <QPair>
#include <QTcpServer>

class MTcpSocket;
class MUdpSocket;
class QSignalMapper;

// The classroom server's listening object: accepts TCP connections, runs the
// admission and UDP binding handshake of each one, and relays the traffic of
// ready clients. Created and owned by Server; lives on the main thread.
class MStudentServer : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY(MStudentServer)

public:
    // Handshake messages sent in one step before the client is dropped.
    static constexpr int kMaxHandshakeMessages = 20;

    MStudentServer(const ServerSettings& settings, QObject* parent);
    ~MStudentServer() override;

    virtual void closeServer();
    virtual void broadcastCommand(const QString& command, MTcpSocket* except);
    virtual void broadcastText(const QString& name, const QString& message, MTcpSocket* except);
    virtual void broadcastVoice(
        const QByteArray& voice, int sequenceNumber, const QHostAddress& address, quint16 port);
    virtual void broadcastXData(const QByteArray& data, MTcpSocket* except);

    const QHash<MTcpSocket*, ReadyClient>& readyClientList() const { return readyClients; }
    const QHash<MTcpSocket*, NonReadyClient>& nonReadyClientList() const { return nonReadyClients; }
    // Port the UDP socket really got (differs from the setting when that is 0).
    quint16 boundUdpPort() const;

signals:
    void clientJoined(MTcpSocket* conn, const QString& clientIdName);
    void clientLeft(MTcpSocket* conn, const QString& clientIdName);
    void clientsChanged();
    void newConnection(MAbstractSocket* connection);
    void clientRaisedError(
        const QString& clientIdName, QAbstractSocket::SocketError err, const QString& errorString);
    void rawPacketReceived(MAbstractSocket* connection, MDataType dataType, const QByteArray& data);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

protected slots:
    void acceptConnection(MAbstractSocket* connection);
    void removeConnection();
    void handleClientError(QAbstractSocket::SocketError err);
    void packetReceived(MAbstractSocket* connection, MDataType dataType, const QByteArray& data);
    void uPacketReceived(MAbstractSocket* connection, MDataType dataType, const QByteArray& data);
    void addNonReadyClient(MTcpSocket* conn);
    void removeNonReadyClient();
    void removeNonReadyClient(MTcpSocket* conn);
    void removeNonReadyClientImpl_unsafe(MTcpSocket* conn);
    void moveToReadyClients(MTcpSocket* conn);
    void nrPacketReceived(MAbstractSocket* connection, MDataType dataType, const QByteArray& data);
    void identifyNonReadyClient(MTcpSocket* conn, const QString& idname);
    void sendUDPRequestToClient(MTcpSocket* conn);
    void udpRequestTimeOut(QObject* connection);
    void udpRequestResponseReceived(MAbstractSocket* u_connection, int seqNumber);
    void tryConnectToClientUdp(MTcpSocket* conn);
    void udpCopyTimeOut(QObject* connection);
    void udpCopyResponseReceived(int seqNumber);

public slots:
    void removeClient(MTcpSocket* conn);

private:
    using UdpEnd = QPair<QHostAddress, quint16>;

    void removeClientImpl_unsafe(MTcpSocket* conn);
    void removeAllClients();
    void handshakeDeadlinePassed(MTcpSocket* conn);
    // Whether a copy answer with this number may go on: false (and logged) when
    // it names a client whose recorded UDP end is not the datagram's sender.
    bool copyAnswerFromRecordedEnd(const MAbstractSocket* connection, int seqNumber);
    // Logs a dropped datagram, at most once a second so a flood cannot fill the log.
    void logDroppedDatagram(const char* reason, const MAbstractSocket* connection);

    ServerSettings settings;
    MUdpSocket* udpSocket = nullptr;
    int seqCounter = 0;
    QHash<MTcpSocket*, NonReadyClient> nonReadyClients;
    QSignalMapper* udpRequestMapper = nullptr;
    QSignalMapper* udpCopyMapper = nullptr;
    QHash<MTcpSocket*, ReadyClient> readyClients;

    // UDP ends of ready clients, counted, for the voice sender check.
    QHash<UdpEnd, int> m_readyUdpEnds;
    QElapsedTimer m_lastDropLog;
};
