#pragma once

#include "clientlimits.h"
#include "floodguard.h"
#include "mabstractsocket.h"
#include "nonreadyclient.h"
#include "readyclient.h"
#include "serversettings.h"

#include <QElapsedTimer>
#include <QHash>
#include <QPair>
#include <QTcpServer>

#include <memory>

class DatagramFanOut;
class MTcpSocket;
class MUdpSocket;
class QSignalMapper;
class QSocketNotifier;
class QTimer;

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
    // Voice datagrams from ready clients dropped for exceeding the voice limit.
    qint64 droppedVoiceDatagrams() const { return m_droppedVoice; }
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
    void acceptFailed(QAbstractSocket::SocketError err);

public slots:
    void removeClient(MTcpSocket* conn);

private:
    using UdpEnd = QPair<QHostAddress, quint16>;

    // What the server keeps per ready UDP end: how many ready clients share it
    // and the voice budget of whoever sends from it.
    struct UdpEndState
    {
        int clients = 0;
        FloodGuard voice { ClientLimits::kVoicePerSecond, ClientLimits::kVoiceBurst };
    };
    struct TcpBudget
    {
        FloodGuard guard { ClientLimits::kFramesPerSecond, ClientLimits::kFrameBurst,
            ClientLimits::kBytesPerSecond, ClientLimits::kByteBurst };
    };

    void removeClientImpl_unsafe(MTcpSocket* conn);
    void removeAllClients();
    // A fresh random handshake number, unique among the waiting clients.
    int newHandshakeNumber() const;
    // Judges a packet that arrived on conn against the client's budget: false
    // when it must be dropped (the connection may be closed by then).
    bool admitTcpPacket(MTcpSocket* conn, const QByteArray& data);
    // Drops a ready client whose unsent data has grown past the bound.
    void checkBacklog(MTcpSocket* conn);
    // While the process is out of descriptors: closes the connections that
    // wait in the listen queue without admitting them.
    void turnAwayWaitingConnections();
    // Accepts again once the spare descriptors can be held again.
    void resumeAcceptingIfRoom();
    void reserveSpareDescriptors();
    void releaseSpareDescriptors();
    // Logs a line about dropped traffic, at most once a second in all.
    bool mayLogDrop();
    void handshakeDeadlinePassed(MTcpSocket* conn);
    // Whether a copy answer with this number may go on: false (and logged) when
    // it names a client whose recorded UDP end is not the datagram's sender.
    bool copyAnswerFromRecordedEnd(const MAbstractSocket* connection, int seqNumber);
    // Logs a dropped datagram, at most once a second so a flood cannot fill the log.
    void logDroppedDatagram(const char* reason, const MAbstractSocket* connection);
    void readyEndsChanged();

    ServerSettings settings;
    MUdpSocket* udpSocket = nullptr;
    QHash<MTcpSocket*, NonReadyClient> nonReadyClients;
    QSignalMapper* udpRequestMapper = nullptr;
    QSignalMapper* udpCopyMapper = nullptr;
    QHash<MTcpSocket*, ReadyClient> readyClients;

    // UDP ends of ready clients, for the voice sender check and budget.
    QHash<UdpEnd, UdpEndState> m_readyUdpEnds;
    // Relays voice to the ready clients' UDP ends; rebuilt when they change.
    std::unique_ptr<DatagramFanOut> m_fanOut;
    bool m_fanOutStale = true;
    QHash<MTcpSocket*, TcpBudget> m_tcpBudgets;
    FloodGuard m_handshakeAnswers { ClientLimits::kHandshakeAnswersPerSecond,
        ClientLimits::kHandshakeAnswerBurst };
    QElapsedTimer m_clock;
    qint64 m_lastDropLogMs = -1;
    qint64 m_droppedVoice = 0;
    // Held while connections are admitted and given back when the process
    // runs out, so that it can still turn connections away (and open the odd
    // pipe or file) while full.
    QVector<int> m_spareDescriptors;
    // Out of descriptors: new connections are turned away.
    bool m_full = false;
    // The lack of descriptors has been logged (once until the next admission).
    bool m_acceptFailing = false;
    QSocketNotifier* m_turnAwayNotifier = nullptr;
    QTimer* m_acceptRetryTimer = nullptr;
};
