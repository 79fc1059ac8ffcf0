#include "classroomclient.h"

#include "mclientsession.h"

#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "sessioncommands.h"

ClassroomClient::ClassroomClient(const QString& identity, QObject* parent)
    : QObject(parent), m_identity(identity), m_session(new MClientSession(this))
{
    connect(m_session, &MClientSession::tcpStateChanged, this, &ClassroomClient::onTcpStateChanged);
    connect(m_session, &MClientSession::packetReceived, this, &ClassroomClient::onPacket);
}

ClassroomClient::~ClassroomClient() = default;

bool ClassroomClient::connectToServer(const QHostAddress& tcpAddress, quint16 tcpPort,
    const QHostAddress& udpAddress, quint16 udpPort)
{
    m_serverUdpAddress = udpAddress;
    m_serverUdpPort = udpPort;
    m_tcpWasConnected = false;
    m_session->open(tcpAddress, tcpPort, udpAddress, udpPort);
    return m_session->udpSocket()->state() != QAbstractSocket::UnconnectedState;
}

MTcpSocket* ClassroomClient::tcpSocket() const
{
    return m_session->tcpSocket();
}

MUdpSocket* ClassroomClient::udpSocket() const
{
    return m_session->udpSocket();
}

bool ClassroomClient::isTcpConnected() const
{
    return m_session->tcpUsable();
}

qint64 ClassroomClient::sendCommand(const QString& command)
{
    return tcpSocket() ? tcpSocket()->ourProtocolSendCommand(command) : -1;
}

qint64 ClassroomClient::sendUdpCommand(const QString& command)
{
    MUdpSocket* udp = udpSocket();
    if (!udp)
        return -1;
    udp->setPeerHostAndPort(m_serverUdpAddress, m_serverUdpPort);
    return udp->ourProtocolSendCommand(command);
}

qint64 ClassroomClient::sendText(const QString& name, const QString& message)
{
    return tcpSocket() ? tcpSocket()->ourProtocolSendText(name, message) : -1;
}

qint64 ClassroomClient::sendVoice(const QByteArray& voice, int sequenceNumber)
{
    MUdpSocket* udp = udpSocket();
    if (!udp)
        return -1;
    udp->setPeerHostAndPort(m_serverUdpAddress, m_serverUdpPort);
    return udp->ourProtocolSendVoice(voice, sequenceNumber);
}

qint64 ClassroomClient::sendXData(const QByteArray& data, int first, int second)
{
    return tcpSocket() ? tcpSocket()->ourProtocolSendXData(data, first, second) : -1;
}

qint64 ClassroomClient::sendRawTcp(const QByteArray& bytes)
{
    return tcpSocket() ? tcpSocket()->write(bytes) : -1;
}

qint64 ClassroomClient::sendRawUdp(const QByteArray& datagram)
{
    return udpSocket() ? udpSocket()->writeDatagram(datagram, m_serverUdpAddress, m_serverUdpPort)
                       : -1;
}

void ClassroomClient::exitClass()
{
    // Says goodbye but keeps the sockets: callers watch the server close.
    if (m_session->tcpUsable()) {
        tcpSocket()->ourProtocolSendCommand(SessionCommand::kClientExit);
        tcpSocket()->flush();
    }
}

QStringList ClassroomClient::commands(bool overUdp) const
{
    QStringList result;
    for (const Packet& packet : m_received) {
        if (packet.type == CommandData && packet.overUdp == overUdp)
            result.append(QString::fromUtf8(packet.data));
    }
    return result;
}

QList<QByteArray> ClassroomClient::payloads(MDataType type, bool overUdp) const
{
    QList<QByteArray> result;
    for (const Packet& packet : m_received) {
        if (packet.type == type && packet.overUdp == overUdp)
            result.append(packet.data);
    }
    return result;
}

QString ClassroomClient::lastArgument(QLatin1String keyword) const
{
    const QStringList all = commands(false);
    for (auto it = all.crbegin(); it != all.crend(); ++it) {
        if (it->startsWith(keyword))
            return it->mid(keyword.size());
    }
    return QString();
}

void ClassroomClient::onTcpStateChanged(QAbstractSocket::SocketState state)
{
    if (state == QAbstractSocket::UnconnectedState) {
        if (m_tcpWasConnected)
            emit tcpDisconnected();
        m_tcpWasConnected = false;
        return;
    }
    if (state != QAbstractSocket::ConnectedState)
        return;
    m_tcpWasConnected = true;
    if (!m_autoHandshake)
        return;
    m_session->queryServerProtocol();
    m_session->identifySelf(m_identity);
}

void ClassroomClient::onPacket(MAbstractSocket* connection, MDataType type, const QByteArray& data)
{
    const bool overUdp = connection == static_cast<MAbstractSocket*>(udpSocket());
    m_received.append(Packet { overUdp, type, data });
    emit packetArrived(overUdp, type, data);
    if (type != CommandData)
        return;

    const QString text = QString::fromUtf8(data);
    if (text == SessionCommand::kConnected) {
        m_ready = true;
        emit becameReady();
        return;
    }
    if (!m_autoHandshake)
        return;
    // The server asks for the UDP steps over TCP and probes over UDP.
    const MClientSession::HandshakeStep step = MClientSession::handshakeStep(text);
    const bool expectedTransport = step == MClientSession::CopyProbe || !overUdp;
    if (!expectedTransport)
        return;
    m_session->answerHandshake(connection, text);
    if (step == MClientSession::CopyProbe) {
        // The prober is the server's UDP end as the network shows it: later
        // sends go there too.
        m_serverUdpAddress = connection->peerAddress();
        m_serverUdpPort = connection->peerPort();
    }
}
