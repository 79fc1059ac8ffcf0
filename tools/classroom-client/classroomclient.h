#pragma once

#include "mabstractsocket.h"

#include <QList>
#include <QObject>

class MClientSession;
class MTcpSocket;
class MUdpSocket;

// One classroom client over real sockets, through the same session helper as
// the programs (MClientSession). With the automatic handshake it joins a class
// the way the programs do; without it every step is the caller's. Records
// every packet it receives. Main thread; owned by its parent.
class ClassroomClient : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ClassroomClient)

public:
    struct Packet
    {
        bool overUdp = false;
        MDataType type = UnrecognisedData;
        QByteArray data;
    };

    explicit ClassroomClient(const QString& identity, QObject* parent = nullptr);
    ~ClassroomClient() override;

    // Answer GETPROTOCOL/IDENTIFY on connect and every server-driven step (default on).
    void setAutoHandshake(bool on) { m_autoHandshake = on; }
    // Opens the session: TCP and UDP sockets connect to the server's ends.
    // False when the UDP socket could not be set up.
    bool connectToServer(const QHostAddress& tcpAddress, quint16 tcpPort,
        const QHostAddress& udpAddress, quint16 udpPort);

    qint64 sendCommand(const QString& command);
    // Sent to the server's UDP port.
    qint64 sendUdpCommand(const QString& command);
    qint64 sendText(const QString& name, const QString& message);
    qint64 sendVoice(const QByteArray& voice, int sequenceNumber);
    qint64 sendXData(const QByteArray& data, int first, int second);
    // Bytes written as they are onto the TCP stream (for malformed frames).
    qint64 sendRawTcp(const QByteArray& bytes);
    // A UDP datagram exactly as given (tag and payload) to the server's UDP port.
    qint64 sendRawUdp(const QByteArray& datagram);
    void exitClass();

    bool isReady() const { return m_ready; }
    bool isTcpConnected() const;
    // Null before connectToServer.
    MTcpSocket* tcpSocket() const;
    MUdpSocket* udpSocket() const;
    MClientSession* session() const { return m_session; }
    QString identity() const { return m_identity; }

    const QList<Packet>& received() const { return m_received; }
    // Commands received over TCP (or UDP), in order.
    QStringList commands(bool overUdp = false) const;
    // Payloads of one type received over one transport, in order.
    QList<QByteArray> payloads(MDataType type, bool overUdp) const;
    // The last received TCP command that starts with keyword, without the keyword.
    QString lastArgument(QLatin1String keyword) const;
    void clearReceived() { m_received.clear(); }

signals:
    void packetArrived(bool overUdp, MDataType type, const QByteArray& data);
    void becameReady();
    void tcpDisconnected();

private:
    void onTcpStateChanged(QAbstractSocket::SocketState state);
    void onPacket(MAbstractSocket* connection, MDataType type, const QByteArray& data);

    QString m_identity;
    MClientSession* m_session;
    bool m_tcpWasConnected = false;
    QHostAddress m_serverUdpAddress;
    quint16 m_serverUdpPort = 0;
    bool m_autoHandshake = true;
    bool m_ready = false;
    QList<Packet> m_received;
};
