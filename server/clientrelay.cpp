#include "clientrelay.h"

#include "datagramfanout.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "secureclass.h"
#include "serverlog.h"
#include "wireformat.h"

#include <QDebug>
#include <QVector>

using namespace ServerLog;

namespace {

// Socket buffers of the server's UDP socket.
constexpr int kUdpBufferBytes = 4 * 1024 * 1024;

} // namespace

ClientRelay::ClientRelay(MUdpSocket* socket, const ReadyClients& readyClients, bool udpTextProbe,
    DropClient dropSlowClient, DropClient dropFlooder)
    : m_socket(socket), m_readyClients(readyClients), m_udpTextProbe(udpTextProbe),
      m_dropSlowClient(std::move(dropSlowClient)), m_dropFlooder(std::move(dropFlooder)),
      m_fanOut(std::make_unique<DatagramFanOut>(socket))
{
    m_clock.start();
    // One voice datagram fans out into a copy per client at once, and a class
    // that joins at once answers the handshake at once: with the default
    // buffers a big class meets a full one, and a lost answer costs its
    // client a 5 s retry. The system caps both sizes.
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kUdpBufferBytes);
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kUdpBufferBytes);
}

ClientRelay::~ClientRelay() = default;

void ClientRelay::addConnection(MTcpSocket* conn)
{
    m_tcpBudgets.insert(conn, TcpBudget());
}

void ClientRelay::removeConnection(MTcpSocket* conn)
{
    m_tcpBudgets.remove(conn);
}

FloodGuard::Verdict ClientRelay::judgeFrame(MTcpSocket* conn, int payloadBytes)
{
    auto budget = m_tcpBudgets.find(conn);
    if (budget == m_tcpBudgets.end())
        return FloodGuard::Pass;
    // The frame's length and tag count as well: an empty frame is not free.
    const qint64 size = WireFormat::kTcpHeaderSize + payloadBytes;
    const FloodGuard::Verdict verdict = budget->guard.admit(size, m_clock.elapsed());
    if (verdict == FloodGuard::Drop && mayLogDrop()) {
        qCDebug(lcServer) << kTag << "Dropped traffic beyond the client limits from"
                          << conn->PeerIpAndPort() << budget->guard.droppedPackets()
                          << "packets so far";
    } else if (verdict == FloodGuard::Disconnect) {
        qCDebug(lcServer) << kTag << "Closing a flooding connection" << conn->PeerIpAndPort()
                          << budget->guard.droppedPackets() << "packets dropped";
    }
    return verdict;
}

bool ClientRelay::admitFrame(MTcpSocket* conn, int payloadBytes)
{
    switch (judgeFrame(conn, payloadBytes)) {
    case FloodGuard::Pass:
        return true;
    case FloodGuard::Drop:
        return false;
    case FloodGuard::Disconnect:
        break;
    }
    m_dropFlooder(conn);
    conn->abort();
    return false;
}

bool ClientRelay::confirmUdpText(QByteArray& data) const
{
    if (!m_udpTextProbe)
        return false;
    QString name;
    QString message;
    MAbstractSocket::decodeTextPacket(data, name, message);
    data = MAbstractSocket::encodeTextPacket(
        name, QLatin1String("[Server Confirms Udp] ") + message);
    return true;
}

bool ClientRelay::fromReadyClient(MTcpSocket* conn, MDataType type, QByteArray& data) const
{
    switch (type) {
    case CommandData:
        return true;
    case TextData: {
        const auto it = m_readyClients.constFind(conn);
        if (it == m_readyClients.cend())
            return false;
        QString name;
        QString message;
        MAbstractSocket::decodeTextPacket(data, name, message);
        data = MAbstractSocket::encodeTextPacket(it->clientIdName, message);
        return true;
    }
    case ExtraData:
        if (data.size() >= WireFormat::kExtraDataHeaderSize)
            return true;
        qCDebug(lcServer) << kTag << "Dropped extra data shorter than its header from" << conn;
        return false;
    default:
        return false;
    }
}

void ClientRelay::addReadyEnd(const QHostAddress& address, quint16 port)
{
    ++m_readyUdpEnds[UdpEnd(address, port)].clients;
    m_fanOutStale = true;
}

void ClientRelay::removeReadyEnd(const QHostAddress& address, quint16 port)
{
    auto it = m_readyUdpEnds.find(UdpEnd(address, port));
    if (it != m_readyUdpEnds.end() && --it->clients <= 0)
        m_readyUdpEnds.erase(it);
    m_fanOutStale = true;
}

bool ClientRelay::admitHandshakeAnswer(const MAbstractSocket* from, int bytes)
{
    if (m_handshakeAnswers.admit(bytes, m_clock.elapsed()) == FloodGuard::Pass)
        return true;
    logDroppedDatagram("handshake answers beyond the limit", from);
    return false;
}

bool ClientRelay::admitVoice(const MAbstractSocket* from, const QByteArray& payload)
{
    // Voice is relayed only from the UDP end of an admitted client, so a
    // stranger cannot talk into the class or use the server as amplifier.
    const auto end = m_readyUdpEnds.find(UdpEnd(from->peerAddress(), from->peerPort()));
    if (end == m_readyUdpEnds.end()) {
        logDroppedDatagram("voice from a sender that is no ready client", from);
        return false;
    }
    if (payload.size() < WireFormat::kVoiceHeaderSize) {
        logDroppedDatagram("voice without a sequence number", from);
        return false;
    }
    if (end->voice.admit(payload.size(), m_clock.elapsed()) != FloodGuard::Pass) {
        ++m_droppedVoice;
        logDroppedDatagram("voice beyond the voice limit", from);
        return false;
    }
    return true;
}

void ClientRelay::sendCommand(const QString& command, MTcpSocket* except)
{
    // A copy: a slow client may be dropped on the way.
    const ReadyClients clients = m_readyClients;
    for (const ReadyClient& client : clients) {
        if (client.conn != except && client.conn->usable()) {
            client.conn->ourProtocolSendCommand(command);
            checkBacklog(client.conn);
        }
    }
}

void ClientRelay::sendText(const QString& name, const QString& message, MTcpSocket* except)
{
    const ReadyClients clients = m_readyClients;
    for (const ReadyClient& client : clients) {
        if (client.conn == except || !client.conn->usable())
            continue;
        qCDebug(lcServerFrames)
            << kTag << "********************************************************* broadcastText"
            << client.conn->PeerIpAndPort();
        client.conn->ourProtocolSendText(name, message);
        checkBacklog(client.conn);
        if (m_udpTextProbe) {
            m_socket->setPeerHostAndPort(client.udpAddress, client.udpPort);
            m_socket->ourProtocolSendText(name, QLatin1String("[SC-UDP] ") + message);
        }
    }
}

void ClientRelay::sendXData(const QByteArray& data, MTcpSocket* except)
{
    using namespace WireFormat;
    if (data.size() < kExtraDataHeaderSize)
        return;
    const int first = int(MAbstractSocket::byteArrayToInt(data.left(kNumberSize)));
    const int second = int(MAbstractSocket::byteArrayToInt(data.mid(kNumberSize, kNumberSize)));
    const QByteArray rest = data.mid(kExtraDataHeaderSize);
    const ReadyClients clients = m_readyClients;
    for (const ReadyClient& client : clients) {
        if (client.conn != except && client.conn->usable()) {
            client.conn->ourProtocolSendXData(rest, first, second);
            checkBacklog(client.conn);
        }
    }
}

void ClientRelay::checkBacklog(MTcpSocket* conn)
{
    const qint64 unsent = conn->bytesToWrite();
    if (unsent <= ClientLimits::kMaxUnsentBytes || !m_readyClients.contains(conn))
        return;
    qCDebug(lcServer) << kTag << "Too slow, dropping" << conn->PeerIpAndPort() << "with" << unsent
                      << "bytes unsent";
    m_dropSlowClient(conn);
    // close() would keep the unsent bytes until they are written, which for
    // this client is never.
    conn->abort();
}

void ClientRelay::sendVoice(
    const QByteArray& voice, int sequenceNumber, const QHostAddress& address, quint16 port)
{
    if (m_fanOutStale) {
        // One copy for each ready client, also where two share an end.
        QVector<DatagramFanOut::End> ends;
        for (auto it = m_readyUdpEnds.cbegin(); it != m_readyUdpEnds.cend(); ++it) {
            for (int i = 0; i < it->clients; ++i)
                ends.append(it.key());
        }
        m_fanOut->setEnds(ends);
        m_fanOutStale = false;
    }
    // The frame ourProtocolSendVoice would send, built once for every copy.
    QByteArray datagram;
    datagram.reserve(WireFormat::kTagSize + WireFormat::kVoiceHeaderSize + voice.size());
    datagram.append(WireFormat::kVoiceTag.data(), WireFormat::kTagSize);
    datagram.append(MAbstractSocket::intToByteArray(quint32(sequenceNumber)));
    datagram.append(voice);
    const DatagramFanOut::End skip(address, port);
    // A secure class seals each copy under its recipient's key.
    if (DatagramSealer* sealer = m_socket->sealer()) {
        auto* server = dynamic_cast<ServerSealer*>(sealer);
        m_fanOut->send(datagram, skip,
            [sealer, server](const QByteArray& plain, const DatagramFanOut::End& end) {
                return server ? server->sealTo(end, plain)
                              : sealer->seal(plain, end.first, end.second);
            });
        return;
    }
    m_fanOut->send(datagram, skip);
}

bool ClientRelay::mayLogDrop()
{
    const qint64 now = m_clock.elapsed();
    if (m_lastDropLogMs >= 0 && now - m_lastDropLogMs < ClientLimits::kDropLogIntervalMs)
        return false;
    m_lastDropLogMs = now;
    return true;
}

void ClientRelay::logDroppedDatagram(const char* reason, const MAbstractSocket* from)
{
    if (mayLogDrop())
        qCDebug(lcServer) << kTag << "Dropped" << reason << from->PeerIpAndPort();
}
