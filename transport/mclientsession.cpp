#include "mclientsession.h"

#include "clientsealer.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "sessioncommands.h"
#include "transportlog.h"

MClientSession::MClientSession(QObject* parent) : QObject(parent) { }

MClientSession::~MClientSession()
{
    // Gone with their parent, but cut first: a socket that closes in its
    // destructor must not signal into an owner that is being destroyed.
    for (QObject* socket : { static_cast<QObject*>(m_tcp), static_cast<QObject*>(m_udp) }) {
        if (socket)
            disconnect(socket, nullptr, this, nullptr);
    }
}

void MClientSession::setSecure(const QString& classCode, const ServerTrust& trust)
{
    m_classCode = classCode;
    m_trust = trust;
}

MClientSession::HandshakeStep MClientSession::handshakeStep(
    const QString& command, QString* argument)
{
    using namespace SessionCommand;
    struct Entry
    {
        QLatin1String prefix;
        HandshakeStep step;
    };
    static const Entry table[] = {
        { kProtocolVer, ProtocolVersion },
        { kIdentifyReply, IdentifyResult },
        { kUdpRequest, UdpRequest },
        { kYourUdpIpPort, UdpAddress },
        { kDoYouCopy, CopyProbe },
        { kConnected, Connected },
    };
    for (const Entry& entry : table) {
        if (command.startsWith(entry.prefix)) {
            if (argument)
                *argument = command.mid(entry.prefix.size());
            return entry.step;
        }
    }
    return NotHandshake;
}

void MClientSession::open(const QHostAddress& tcpAddress, quint16 tcpPort,
    const QHostAddress& udpAddress, quint16 udpPort)
{
    if (isOpen())
        end();

    m_tcp = new MTcpSocket(this);
    connect(m_tcp, &QAbstractSocket::stateChanged, this, &MClientSession::tcpStateChanged);
    connect(m_tcp, &QAbstractSocket::errorOccurred, this, &MClientSession::tcpError);
    connect(m_tcp, &MTcpSocket::packetReceived, this, &MClientSession::tcpPacketReceived);

    m_udp = new MUdpSocket(this);
    connect(m_udp, &QAbstractSocket::stateChanged, this, &MClientSession::udpStateChanged);
    connect(m_udp, &QAbstractSocket::errorOccurred, this, &MClientSession::udpError);
    connect(m_udp, &MUdpSocket::packetReceived, this, &MClientSession::packetReceived);

    if (m_trust) {
        m_tcp->setClientTls(*m_trust);
        connect(m_tcp, &MTcpSocket::tlsRefused, this, &MClientSession::secureConnectionRefused);
        // Refuses every datagram until the key comes: nothing leaves unsealed.
        m_sealer = std::make_unique<ClientSealer>();
        m_udp->setSealer(m_sealer.get());
    }

    // Kept in locals: a slot that the first connect triggers may end or
    // reopen the session.
    MTcpSocket* tcp = m_tcp;
    MUdpSocket* udp = m_udp;
    m_udpAddress = udpAddress;
    m_udpPort = udpPort;
    tcp->connectToHost(tcpAddress, tcpPort);
    if (m_udpConnected) {
        udp->connectToHost(udpAddress, udpPort);
    } else if (udp->bind(QHostAddress(QHostAddress::AnyIPv4), 0)) {
        udp->setPeerHostAndPort(udpAddress, udpPort);
    }
}

void MClientSession::setWaitLimits(int udpReadyMs, int farewellWriteMs)
{
    m_udpReadyTimeoutMs = udpReadyMs;
    m_farewellWriteTimeoutMs = farewellWriteMs;
}

bool MClientSession::end()
{
    if (!isOpen())
        return false;
    // Taken out first, so that a slot run by the close below (a state change
    // to unconnected) finds no session and may even open a new one.
    MTcpSocket* tcp = m_tcp;
    MUdpSocket* udp = m_udp;
    m_tcp = nullptr;
    m_udp = nullptr;

    bool farewell = false;
    // A secure connection whose handshake has not ended has admitted nobody,
    // and waiting to write into it could take as long as the handshake hangs.
    if (tcp->usable() && (!tcp->isTls() || tcp->isEncrypted())) {
        qCDebug(lcTransport, "===endConnection===");
        farewell = tcp->ourProtocolSendCommand(SessionCommand::kClientExit) > 0;
        tcp->waitForBytesWritten(m_farewellWriteTimeoutMs);
    }
    tcp->close();
    // Either socket may be delivering the very packet that ended the session:
    // cut it off and let the event loop delete it.
    disconnect(tcp, nullptr, this, nullptr);
    tcp->deleteLater();

    udp->close();
    disconnect(udp, nullptr, this, nullptr);
    udp->setSealer(nullptr);
    udp->deleteLater();
    m_sealer.reset();
    return farewell;
}

bool MClientSession::tcpUsable() const
{
    return m_tcp && m_tcp->usable();
}

QString MClientSession::identityOrLocalEnd(const QString& identity) const
{
    if (!identity.isEmpty() || !m_tcp)
        return identity;
    return m_tcp->LocalIpAndPort();
}

qint64 MClientSession::queryServerProtocol()
{
    return m_tcp ? m_tcp->ourProtocolSendCommand(SessionCommand::kGetProtocol) : -1;
}

qint64 MClientSession::identifySelf(const QString& identity)
{
    if (!m_tcp)
        return -1;
    if (m_trust && !m_classCode.isEmpty())
        m_tcp->ourProtocolSendCommand(SessionCommand::kClassCode + m_classCode);
    return m_tcp->ourProtocolSendCommand(SessionCommand::kIdentify + identity);
}

void MClientSession::tcpPacketReceived(
    MAbstractSocket* connection, MDataType dataType, const QByteArray& data)
{
    const QLatin1String udpKey = SessionCommand::kUdpKey;
    if (m_sealer && dataType == CommandData
        && data.startsWith(QByteArray::fromRawData(udpKey.data(), udpKey.size()))) {
        takeUdpKey(QString::fromLatin1(data.mid(udpKey.size())));
        return;
    }
    emit packetReceived(connection, dataType, data);
}

void MClientSession::takeUdpKey(const QString& argument)
{
    // The key is never logged.
    if (!m_sealer->setKey(argument))
        qCWarning(lcTransport, "The server's datagram key is damaged: no datagram can be sealed.");
}

qint64 MClientSession::answerUdpRequest(const QString& token)
{
    if (!m_udp)
        return -1;
    if (m_udpConnected) {
        if (m_udp->state() != QAbstractSocket::ConnectedState)
            m_udp->waitForConnected(m_udpReadyTimeoutMs);
    } else {
        // Bound at once; the peer follows every datagram received, so the
        // answer is aimed at the server's UDP end again.
        m_udp->setPeerHostAndPort(m_udpAddress, m_udpPort);
    }
    return m_udp->ourProtocolSendCommand(SessionCommand::kUdpResponse + token);
}

qint64 MClientSession::answerUdpAddress()
{
    return m_tcp ? m_tcp->ourProtocolSendCommand(SessionCommand::kUdpIpPortBound) : -1;
}

qint64 MClientSession::answerCopyProbe(MAbstractSocket* connection, const QString& token)
{
    if (!m_udp)
        return -1;
    if (connection)
        m_udp->setPeerHostAndPort(connection->peerAddress(), connection->peerPort());
    return m_udp->ourProtocolSendCommand(SessionCommand::kIDoCopy + token);
}

MClientSession::HandshakeStep MClientSession::answerHandshake(
    MAbstractSocket* connection, const QString& command)
{
    QString argument;
    const HandshakeStep step = handshakeStep(command, &argument);
    switch (step) {
    case UdpRequest:
        answerUdpRequest(argument);
        break;
    case UdpAddress:
        answerUdpAddress();
        break;
    case CopyProbe:
        answerCopyProbe(connection, argument);
        break;
    case NotHandshake:
    case ProtocolVersion:
    case IdentifyResult:
    case Connected:
        break;
    }
    return step;
}
