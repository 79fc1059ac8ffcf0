#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>

class QTcpServer;
class QTcpSocket;
class QUdpSocket;

// A network tap between one client and a server on loopback: it accepts the
// client's TCP connections and opens one to the server for each, and relays
// the client's UDP datagrams from a socket of its own (answers go back to the
// client's last source), keeping every byte that crosses in either direction,
// as a packet capture on the path would. Owned by the test; main thread.
class TapRelay : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TapRelay)

public:
    explicit TapRelay(QObject* parent = nullptr);
    ~TapRelay() override;

    // Listens on loopback ports chosen by the system.
    bool start(const QHostAddress& server, quint16 serverTcpPort, quint16 serverUdpPort);
    quint16 tcpPort() const;
    quint16 udpPort() const;

    // Everything that crossed, both directions together.
    QByteArray tcpBytes() const { return m_tcpBytes; }
    QList<QByteArray> datagrams() const { return m_datagrams; }
    int datagramsToClient() const { return m_toClient; }

private:
    void clientConnected();
    void clientDatagrams();
    void serverDatagrams();

    QHostAddress m_server;
    quint16 m_serverTcpPort = 0;
    quint16 m_serverUdpPort = 0;
    QTcpServer* m_listener = nullptr;
    QUdpSocket* m_clientSide = nullptr;
    QUdpSocket* m_serverSide = nullptr;
    QHostAddress m_clientAddress;
    quint16 m_clientPort = 0;
    QByteArray m_tcpBytes;
    QList<QByteArray> m_datagrams;
    int m_toClient = 0;
};
