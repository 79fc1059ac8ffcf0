#pragma once

#include "admission.h"
#include "mabstractsocket.h"
#include "nonreadyclient.h"
#include "readyclient.h"
#include "serversettings.h"

#include <QHash>
#include <QTcpServer>

#include <memory>

class ClientRelay;
class DescriptorReserve;
class HandshakeTimers;
class MTcpSocket;
class MUdpSocket;
class SecureGate;
class UdpBinding;

// The classroom server's listening object: accepts TCP connections, runs the
// admission and UDP binding handshake of each one (its rule is Admission's;
// this class owns the sockets and the step timers), and relays the traffic of
// ready clients. Created and owned by Server; lives on the main thread.
class MStudentServer : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY(MStudentServer)

public:
    // Handshake messages sent in one step before the client is dropped.
    static constexpr int kMaxHandshakeMessages = Admission::kMaxHandshakeMessages;

    MStudentServer(const ServerSettings& settings, QObject* parent);
    ~MStudentServer() override;

    virtual void closeServer();
    virtual void broadcastCommand(const QString& command, MTcpSocket* except);
    virtual void broadcastText(const QString& name, const QString& message, MTcpSocket* except);
    virtual void broadcastVoice(
        const QByteArray& voice, int sequenceNumber, const QHostAddress& address, quint16 port);
    virtual void broadcastXData(const QByteArray& data, MTcpSocket* except);

    const QHash<MTcpSocket*, ReadyClient>& readyClientList() const { return readyClients; }
    // Waiting connections, keyed by their TCP socket (as a QObject).
    const QHash<QObject*, NonReadyClient>& nonReadyClientList() const
    {
        return m_admission.clients();
    }
    // Voice datagrams from ready clients dropped for exceeding the voice limit.
    qint64 droppedVoiceDatagrams() const;
    // Port the UDP socket really got (differs from the setting when that is 0).
    quint16 boundUdpPort() const;
    // A secure class's certificate fingerprint; empty in a plain class.
    QString certificateFingerprint() const;
    // The line a teacher hands to students (address, students' code and
    // fingerprint, as pupil's options); empty in a plain class.
    QString invitation() const;
    // Datagrams of a secure class dropped unopened (forged, replayed, unknown key).
    quint64 droppedSealedDatagrams() const;

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
    void udpCopyResponseReceived(MAbstractSocket* u_connection, int seqNumber);

public slots:
    void removeClient(MTcpSocket* conn);

private:
    void removeClientImpl_unsafe(MTcpSocket* conn);
    void removeAllClients();
    void handshakeDeadlinePassed(QObject* connection);
    void stepTimedOut(QObject* connection);

    ServerSettings settings;
    MUdpSocket* udpSocket = nullptr;
    Admission m_admission;
    HandshakeTimers* m_timers = nullptr;
    std::unique_ptr<UdpBinding> m_binding;
    QHash<MTcpSocket*, ReadyClient> readyClients;
    std::unique_ptr<ClientRelay> m_relay;
    DescriptorReserve* m_reserve = nullptr;

    // Codes, roles, keys and TLS of a secure class; null in a plain class.
    std::unique_ptr<SecureGate> m_gate;
};
