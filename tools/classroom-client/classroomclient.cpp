#include "classroomclient.h"

#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "sessioncommands.h"

ClassroomClient::ClassroomClient(const QString& identity, QObject* parent)
    : QObject(parent), m_identity(identity), m_tcp(new MTcpSocket(this)),
      m_udp(new MUdpSocket(this))
{
    connect(m_tcp, &QAbstractSocket::connected, this, &ClassroomClient::onTcpConnected);
    connect(m_tcp, &QAbstractSocket::disconnected, this, &ClassroomClient::tcpDisconnected);
    connect(m_tcp, &MTcpSocket::packetReceived, this, &ClassroomClient::onPacket);
    connect(m_udp, &MUdpSocket::packetReceived, this, &ClassroomClient::onPacket);
}

ClassroomClient::~ClassroomClient() = default;

bool ClassroomClient::connectToServer(const QHostAddress& tcpAddress, quint16 tcpPort,
    const QHostAddress& udpAddress, quint16 udpPort, const QHostAddress& localAddress)
{
    m_serverUdpAddress = udpAddress;
    m_serverUdpPort = udpPort;
    if (!m_udp->bind(localAddress, 0))
        return false;
    m_udp->setPeerHostAndPort(udpAddress, udpPort);
    m_tcp->connectToHost(tcpAddress, tcpPort);
    return true;
}

bool ClassroomClient::isTcpConnected() const
{
    return m_tcp->usable();
}

qint64 ClassroomClient::sendCommand(const QString& command)
{
    return m_tcp->ourProtocolSendCommand(command);
}

qint64 ClassroomClient::sendUdpCommand(const QString& command)
{
    m_udp->setPeerHostAndPort(m_serverUdpAddress, m_serverUdpPort);
    return m_udp->ourProtocolSendCommand(command);
}

qint64 ClassroomClient::sendText(const QString& name, const QString& message)
{
    return m_tcp->ourProtocolSendText(name, message);
}

qint64 ClassroomClient::sendVoice(const QByteArray& voice, int sequenceNumber)
{
    m_udp->setPeerHostAndPort(m_serverUdpAddress, m_serverUdpPort);
    return m_udp->ourProtocolSendVoice(voice, sequenceNumber);
}

qint64 ClassroomClient::sendXData(const QByteArray& data, int first, int second)
{
    return m_tcp->ourProtocolSendXData(data, first, second);
}

qint64 ClassroomClient::sendRawTcp(const QByteArray& bytes)
{
    return m_tcp->write(bytes);
}

qint64 ClassroomClient::sendRawUdp(const QByteArray& datagram)
{
    return m_udp->writeDatagram(datagram, m_serverUdpAddress, m_serverUdpPort);
}

void ClassroomClient::exitClass()
{
    if (m_tcp->usable()) {
        m_tcp->ourProtocolSendCommand(SessionCommand::kClientExit);
        m_tcp->flush();
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

void ClassroomClient::onTcpConnected()
{
    if (!m_autoHandshake)
        return;
    m_tcp->ourProtocolSendCommand(SessionCommand::kGetProtocol);
    m_tcp->ourProtocolSendCommand(SessionCommand::kIdentify + m_identity);
}

void ClassroomClient::onPacket(MAbstractSocket* connection, MDataType type, const QByteArray& data)
{
    const bool overUdp = connection == static_cast<MAbstractSocket*>(m_udp);
    m_received.append(Packet { overUdp, type, data });
    emit packetArrived(overUdp, type, data);
    if (type != CommandData)
        return;

    using namespace SessionCommand;
    const QString text = QString::fromUtf8(data);
    if (text == kConnected) {
        m_ready = true;
        emit becameReady();
        return;
    }
    if (!m_autoHandshake)
        return;
    if (!overUdp && text.startsWith(kUdpRequest)) {
        sendUdpCommand(kUdpResponse + text.mid(kUdpRequest.size()));
    } else if (!overUdp && text.startsWith(kYourUdpIpPort)) {
        m_tcp->ourProtocolSendCommand(kUdpIpPortBound);
    } else if (text.startsWith(kDoYouCopy)) {
        // Answer the endpoint that asked: that is the server's UDP end as the
        // network shows it.
        const QHostAddress from = connection->peerAddress();
        const quint16 fromPort = connection->peerPort();
        m_serverUdpAddress = from;
        m_serverUdpPort = fromPort;
        sendUdpCommand(kIDoCopy + text.mid(kDoYouCopy.size()));
    }
}
