#include "secureclient.h"

#include "datagramseal.h"
#include "mclientsession.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "servertrust.h"
#include "sessioncommands.h"

namespace {

// The client's end of its sealed path: one channel, whatever the end.
class ChannelSealer : public DatagramSealer
{
public:
    ChannelSealer(quint32 keyId, const QByteArray& key)
        : m_channel(keyId, key, DatagramChannel::ClientSide)
    { }
    QByteArray seal(const QByteArray& plain, const QHostAddress&, quint16) override
    {
        return m_channel.seal(plain);
    }
    bool open(const QByteArray& sealed, const QHostAddress&, quint16, QByteArray& plain) override
    {
        return m_channel.open(sealed, plain) == SealedDatagram::OpenResult::Opened;
    }

private:
    DatagramChannel m_channel;
};

} // namespace

SecureClient::SecureClient(const QString& name, const QString& code, QObject* parent)
    : QObject(parent), m_name(name), m_code(code), m_tcp(new MTcpSocket(this)),
      m_udp(new MUdpSocket(this))
{
    connect(m_tcp, &QAbstractSocket::connected, this, &SecureClient::onConnected);
    connect(m_tcp, &QAbstractSocket::disconnected, this, [this] { m_closed = true; });
    connect(m_tcp, &MTcpSocket::tlsRefused, this, [this] { m_closed = true; });
    connect(m_tcp, &MTcpSocket::packetReceived, this, &SecureClient::onPacket);
    connect(m_udp, &MUdpSocket::packetReceived, this, &SecureClient::onPacket);
}

SecureClient::~SecureClient()
{
    // The sockets hold a pointer to the sealer: they go first.
    delete m_udp;
    delete m_tcp;
}

void SecureClient::connectTo(
    quint16 tcpPort, quint16 udpPort, const QString& fingerprint, const QHostAddress& localAddress)
{
    const QHostAddress loopback(QHostAddress::LocalHost);
    m_serverUdpPort = udpPort;
    m_udp->bind(localAddress.isNull() ? loopback : localAddress, 0);
    m_udp->setPeerHostAndPort(loopback, udpPort);
    if (!m_plain)
        m_tcp->setClientTls(ServerTrust(
            m_knownServersFolder.filePath(QStringLiteral("known-servers")), fingerprint));
    if (!localAddress.isNull())
        m_tcp->bind(localAddress, 0);
    m_tcp->connectToHost(loopback, tcpPort);
}

void SecureClient::onConnected()
{
    using namespace SessionCommand;
    // Written at once: a TLS socket holds them until the handshake is done.
    m_tcp->ourProtocolSendCommand(kGetProtocol);
    if (!m_code.isNull())
        m_tcp->ourProtocolSendCommand(kClassCode + m_code);
    m_tcp->ourProtocolSendCommand(kIdentify + m_name);
}

void SecureClient::useKey(const QString& argument)
{
    if (!SealedDatagram::parseUdpKeyArgument(argument, m_keyId, m_key))
        return;
    m_sealer = std::make_unique<ChannelSealer>(m_keyId, m_key);
    m_udp->setSealer(m_sealer.get());
}

void SecureClient::onPacket(MAbstractSocket* connection, MDataType type, const QByteArray& data)
{
    const bool overUdp = connection == static_cast<MAbstractSocket*>(m_udp);
    m_received.append(Packet { overUdp, type, data });
    emit packetArrived();
    if (type != CommandData || m_ready)
        return;
    using namespace SessionCommand;
    const QString text = QString::fromUtf8(data);
    if (!overUdp && text.startsWith(kUdpKey)) {
        useKey(text.mid(kUdpKey.size()));
        return;
    }
    QString argument;
    switch (MClientSession::handshakeStep(text, &argument)) {
    case MClientSession::UdpRequest:
        m_udp->setPeerHostAndPort(QHostAddress(QHostAddress::LocalHost), m_serverUdpPort);
        m_udp->ourProtocolSendCommand(kUdpResponse + argument);
        break;
    case MClientSession::UdpAddress:
        m_tcp->ourProtocolSendCommand(kUdpIpPortBound);
        break;
    case MClientSession::CopyProbe:
        if (overUdp)
            m_udp->ourProtocolSendCommand(kIDoCopy + argument);
        break;
    case MClientSession::Connected:
        m_ready = true;
        break;
    default:
        break;
    }
}

bool SecureClient::isConnected() const
{
    return m_tcp->state() == QAbstractSocket::ConnectedState;
}

bool SecureClient::isEncrypted() const
{
    return m_tcp->isEncrypted();
}

qint64 SecureClient::sendCommand(const QString& command)
{
    return m_tcp->ourProtocolSendCommand(command);
}

qint64 SecureClient::sendText(const QString& message)
{
    return m_tcp->ourProtocolSendText(m_name, message);
}

qint64 SecureClient::sendXData(const QByteArray& data, int first, int second)
{
    return m_tcp->ourProtocolSendXData(data, first, second);
}

qint64 SecureClient::sendVoice(const QByteArray& voice, int sequenceNumber)
{
    m_udp->setPeerHostAndPort(QHostAddress(QHostAddress::LocalHost), m_serverUdpPort);
    return m_udp->ourProtocolSendVoice(voice, sequenceNumber);
}

qint64 SecureClient::sendRawUdp(const QByteArray& datagram)
{
    return m_udp->writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), m_serverUdpPort);
}

QStringList SecureClient::commands() const
{
    QStringList result;
    for (const Packet& packet : m_received) {
        if (packet.type == CommandData && !packet.overUdp)
            result.append(QString::fromUtf8(packet.data));
    }
    return result;
}

QList<QByteArray> SecureClient::payloads(MDataType type, bool overUdp) const
{
    QList<QByteArray> result;
    for (const Packet& packet : m_received) {
        if (packet.type == type && packet.overUdp == overUdp)
            result.append(packet.data);
    }
    return result;
}

QString SecureClient::lastArgument(QLatin1String keyword) const
{
    const QStringList all = commands();
    for (auto it = all.crbegin(); it != all.crend(); ++it) {
        if (it->startsWith(keyword))
            return it->mid(keyword.size());
    }
    return QString();
}
