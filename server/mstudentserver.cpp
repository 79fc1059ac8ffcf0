#include "mstudentserver.h"

#include "clientnames.h"
#include "datagramfanout.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "sessioncommands.h"
#include "wireformat.h"

#include <limits>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <QDebug>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalMapper>
#include <QSocketNotifier>
#include <QTimer>

namespace {

const char* const kTag = "SERVER: ";

// The debug stream quotes QLatin1String items but not const char* ones. The
// wire constants are string literals, so their latin1() ends in a NUL.
const char* plainItem(QLatin1String text)
{
    return text.latin1();
}

// Extra data carries two 4-byte numbers before its data; voice a 4-byte
// sequence number before the codec bytes.
constexpr int kXDataHeaderSize = 2 * WireFormat::kNumberSize;
constexpr int kVoiceHeaderSize = WireFormat::kNumberSize;

// Socket buffers of the server's UDP socket.
constexpr int kUdpBufferBytes = 4 * 1024 * 1024;

// Descriptors held back for the time the process is full: one to take a
// connection in order to close it, the rest for what the process or its
// runtime must still open (a pipe, a file).
constexpr int kSpareDescriptors = 4;
// When even the spares are gone, the listener is looked at again this often;
// admitted clients are served in between.
constexpr int kAcceptRetryMs = 1000;
// Waiting connections closed in one go.
constexpr int kMaxTurnedAwayAtOnce = 64;

// A payload as the log shows it: whole when short, else its first bytes.
QByteArray loggedPayload(const QByteArray& data)
{
    if (data.size() <= ClientLimits::kLoggedPayloadBytes)
        return data;
    return data.left(ClientLimits::kLoggedPayloadBytes) + "...";
}

} // namespace

MStudentServer::MStudentServer(const ServerSettings& settingsArg, QObject* parent)
    : QTcpServer(parent), settings(settingsArg)
{
    m_clock.start();
    udpRequestMapper = new QSignalMapper(this);
    connect(
        udpRequestMapper, &QSignalMapper::mappedObject, this, &MStudentServer::udpRequestTimeOut);
    udpCopyMapper = new QSignalMapper(this);
    connect(udpCopyMapper, &QSignalMapper::mappedObject, this, &MStudentServer::udpCopyTimeOut);

    udpSocket = new MUdpSocket(this);
    connect(udpSocket, &MUdpSocket::packetReceived, this, &MStudentServer::uPacketReceived);
    udpSocket->bind(settings.udpAddress, settings.udpPort,
        QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint);
    // One voice datagram fans out into a copy per client at once, and a class
    // that joins at once answers the handshake at once: with the default
    // buffers a big class meets a full one, and a lost answer costs its
    // client a 5 s retry. The system caps both sizes.
    udpSocket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kUdpBufferBytes);
    udpSocket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kUdpBufferBytes);
    m_fanOut = std::make_unique<DatagramFanOut>(udpSocket);

    reserveSpareDescriptors();
    m_acceptRetryTimer = new QTimer(this);
    m_acceptRetryTimer->setSingleShot(true);
    m_acceptRetryTimer->setInterval(kAcceptRetryMs);
    connect(m_acceptRetryTimer, &QTimer::timeout, this, &MStudentServer::resumeAcceptingIfRoom);
    connect(this, &QTcpServer::acceptError, this, &MStudentServer::acceptFailed);

    connect(this, QOverload<MAbstractSocket*>::of(&MStudentServer::newConnection), this,
        &MStudentServer::acceptConnection);

    qDebug() << kTag << "MStudentServer: Listen: " << settings.listenAddress << settings.listenPort;
    if (!listen(settings.listenAddress, settings.listenPort)) {
        qDebug() << "SERVER: MStudentServer: Listen Failed!";
        return;
    }
#ifdef Q_OS_UNIX
    // Qt listens with a queue of 50. A class that reconnects at once needs a
    // place for everybody, or the rest wait for their connection request to
    // be sent again (after 1 s, then 3 s, ...).
    ::listen(int(socketDescriptor()), SOMAXCONN);
#endif
}

MStudentServer::~MStudentServer()
{
    qDebug() << "SERVER: MStudentServer: Closing";
    removeAllClients();
    close();
    releaseSpareDescriptors();
}

quint16 MStudentServer::boundUdpPort() const
{
    return udpSocket->localPort();
}

void MStudentServer::incomingConnection(qintptr socketDescriptor)
{
#ifdef Q_OS_UNIX
    // A connection is admitted only while a descriptor stays free besides the
    // spares; the one that would take the last is turned away instead. QTcpServer
    // may go on accepting within the same round after it was paused: while
    // full, those are turned away too, or they would eat the spares.
    const int probe = m_full ? -1 : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (probe < 0) {
        ::close(int(socketDescriptor));
        if (!m_full) {
            pauseAccepting();
            acceptFailed(QAbstractSocket::SocketResourceError);
        }
        return;
    }
    ::close(probe);
#endif
    if (m_acceptFailing) {
        m_acceptFailing = false;
        qDebug() << kTag << "Accepting new connections again";
    }
    auto* socket = new MTcpSocket(this);
    socket->setSocketDescriptor(
        socketDescriptor, QAbstractSocket::ConnectedState, QIODevice::ReadWrite);
    emit newConnection(static_cast<MAbstractSocket*>(socket));
}

void MStudentServer::acceptConnection(MAbstractSocket* connection)
{
    if (auto* conn = dynamic_cast<MTcpSocket*>(connection))
        addNonReadyClient(conn);
}

void MStudentServer::addNonReadyClient(MTcpSocket* conn)
{
    qDebug() << kTag << "addNonReadyClient " << conn;
    connect(conn, &QAbstractSocket::errorOccurred, this,
        qOverload<>(&MStudentServer::removeNonReadyClient));
    connect(conn, &QAbstractSocket::disconnected, this,
        qOverload<>(&MStudentServer::removeNonReadyClient));
    connect(conn, &MTcpSocket::packetReceived, this, &MStudentServer::nrPacketReceived);

    NonReadyClient client;
    client.conn = conn;
    client.seqNumber = newHandshakeNumber();
    m_tcpBudgets.insert(conn, TcpBudget());

    // The retry steps bound only the two waits they cover; a client could still
    // sit between them (never sending UDPI:PBOUND or IDENTIFY) for ever. The
    // whole admission gets the same 100 s the request step allows.
    client.deadlineTimer = new QTimer;
    client.deadlineTimer->setSingleShot(true);
    const QPointer<MTcpSocket> guarded(conn);
    connect(client.deadlineTimer, &QTimer::timeout, this, [this, guarded] {
        if (guarded)
            handshakeDeadlinePassed(guarded);
    });
    client.deadlineTimer->start(settings.admissionDeadlineMs > 0
            ? settings.admissionDeadlineMs
            : kMaxHandshakeMessages * settings.handshakeIntervalMs);

    nonReadyClients.insert(conn, client);
    sendUDPRequestToClient(conn);
}

void MStudentServer::handshakeDeadlinePassed(MTcpSocket* conn)
{
    if (!nonReadyClients.contains(conn))
        return;
    qDebug() << kTag << "Not ready in time, removing" << conn;
    removeNonReadyClient(conn);
}

void MStudentServer::nrPacketReceived(
    MAbstractSocket* connection, MDataType dataType, const QByteArray& data)
{
    auto* conn = dynamic_cast<MTcpSocket*>(connection);
    if (!conn || !admitTcpPacket(conn, data))
        return;
    qDebug() << kTag << "nrPacketReceived " << loggedPayload(data);
    if (dataType != CommandData)
        return;
    const QString text = QString::fromUtf8(data);

    using namespace SessionCommand;
    if (text == kGetProtocol) {
        conn->ourProtocolSendCommand(kProtocolVer + kProtocolVersion);
    } else if (text.startsWith(kIdentify)) {
        identifyNonReadyClient(conn, text.mid(kIdentify.size()));
    } else if (text == kUdpIpPortBound) {
        tryConnectToClientUdp(conn);
    } else if (text == kClientExit) {
        removeNonReadyClient(conn);
    } else {
        qDebug() << kTag << plainItem(kUnknownCommand) << text;
    }
}

void MStudentServer::identifyNonReadyClient(MTcpSocket* conn, const QString& idname)
{
    qDebug() << kTag << "identifyNonReadyClient" << conn << idname;
    auto it = nonReadyClients.find(conn);
    if (it == nonReadyClients.end())
        return;
    // The client list cannot escape separators: a name holding one is listed
    // with them replaced (chat carries names length-prefixed and keeps them,
    // so the teacher console's "|Teacher|" still shows as the teacher).
    const QString listed = ClientNames::listSafe(idname);
    if (listed != idname)
        qDebug() << kTag << "Name with list separators listed as" << listed;
    it->clientIdName = idname;
    qDebug() << kTag << QByteArray("B" + QByteArray(75, 'A')).constData();

    using namespace SessionCommand;
    if (settings.restrictNames) {
        qDebug() << kTag << QByteArray(75, 'A').constData();
        if (!settings.allowedNames.contains(idname)) {
            conn->ourProtocolSendCommand(kIdentifyReply + kIdentifyFail);
            return;
        }
        for (const ReadyClient& ready : qAsConst(readyClients)) {
            if (ready.clientIdName == idname) {
                conn->ourProtocolSendCommand(kIdentifyReply + kIdentifyFail);
                return;
            }
        }
    }

    it->identified = true;
    conn->ourProtocolSendCommand(kIdentifyReply + kIdentifyOk);
    if (it->identified && it->udpState == 3)
        moveToReadyClients(conn);
}

void MStudentServer::moveToReadyClients(MTcpSocket* conn)
{
    qDebug() << kTag << "moveToReadyClients" << conn;
    auto it = nonReadyClients.find(conn);
    if (it == nonReadyClients.end())
        return;

    conn->ourProtocolSendCommand(SessionCommand::kConnected);

    disconnect(conn, &QAbstractSocket::errorOccurred, nullptr, nullptr);
    disconnect(conn, &QAbstractSocket::disconnected, nullptr, nullptr);
    disconnect(conn, &MTcpSocket::packetReceived, nullptr, nullptr);
    connect(conn, &QAbstractSocket::errorOccurred, this, &MStudentServer::handleClientError);
    connect(conn, &QAbstractSocket::disconnected, this, &MStudentServer::removeConnection);
    connect(conn, &MTcpSocket::packetReceived, this, &MStudentServer::packetReceived);

    ReadyClient ready;
    ready.conn = conn;
    ready.udpAddress = it->udpAddress;
    ready.udpPort = it->udpPort;
    ready.clientIdName = it->clientIdName;

    // The handshake is over: its timers go with the record.
    delete it->retryTimer;
    delete it->deadlineTimer;
    nonReadyClients.erase(it);

    readyClients.insert(conn, ready);
    ++m_readyUdpEnds[UdpEnd(ready.udpAddress, ready.udpPort)].clients;
    readyEndsChanged();

    emit clientsChanged();
    emit clientJoined(conn, ready.clientIdName);
}

void MStudentServer::removeNonReadyClient()
{
    qDebug() << kTag << "removeNonReadyClient";
    if (auto* conn = qobject_cast<MTcpSocket*>(sender()))
        removeNonReadyClient(conn);
}

void MStudentServer::removeNonReadyClient(MTcpSocket* conn)
{
    qDebug() << kTag << "removeNonReadyClient(conn)" << conn << nonReadyClients.keys();
    if (nonReadyClients.contains(conn))
        removeNonReadyClientImpl_unsafe(conn);
}

void MStudentServer::removeNonReadyClientImpl_unsafe(MTcpSocket* conn)
{
    qDebug() << kTag << "removeNonReadyClientImpl_unsafe" << conn << nonReadyClients.contains(conn);
    disconnect(conn, nullptr, nullptr, nullptr);
    conn->close();
    conn->deleteLater();

    const NonReadyClient client = nonReadyClients.take(conn);
    m_tcpBudgets.remove(conn);
    if (m_full)
        QMetaObject::invokeMethod(
            this, &MStudentServer::resumeAcceptingIfRoom, Qt::QueuedConnection);
    // Timers may be the sender of the signal that led here: let them finish.
    for (QTimer* timer : { client.retryTimer, client.deadlineTimer }) {
        if (!timer)
            continue;
        // Cutting the timer's connections also cuts the mappers' watch on its
        // destruction: drop its mapping now, or every removed client would
        // leave an entry behind for the life of the server.
        udpRequestMapper->removeMappings(timer);
        udpCopyMapper->removeMappings(timer);
        timer->disconnect();
        timer->stop();
        timer->deleteLater();
    }
}

void MStudentServer::sendUDPRequestToClient(MTcpSocket* conn)
{
    qDebug() << kTag << "sendUDPRequestToClient1";
    auto it = nonReadyClients.find(conn);
    if (it == nonReadyClients.end())
        return;
    qDebug() << kTag << "sendUDPRequestToClient2";

    if (it->retryCount == 0) {
        qDebug() << kTag << "sendUDPRequestToClient3";
        delete it->retryTimer;
        it->retryTimer = new QTimer;
        connect(
            it->retryTimer, &QTimer::timeout, udpRequestMapper, qOverload<>(&QSignalMapper::map));
        udpRequestMapper->setMapping(it->retryTimer, conn);
    } else if (it->retryCount >= kMaxHandshakeMessages) {
        qDebug() << kTag << "sendUDPRequestToClient4";
        removeNonReadyClient(conn);
        return;
    }

    qDebug() << kTag << "sendUDPRequestToClient5";
    ++it->retryCount;
    conn->ourProtocolSendCommand(SessionCommand::kUdpRequest + QString::number(it->seqNumber));
    it->retryTimer->start(settings.handshakeIntervalMs);
}

void MStudentServer::udpRequestTimeOut(QObject* connection)
{
    qDebug() << kTag << "udpRequestTimeOut";
    if (auto* conn = qobject_cast<MTcpSocket*>(connection))
        sendUDPRequestToClient(conn);
}

void MStudentServer::uPacketReceived(
    MAbstractSocket* connection, MDataType dataType, const QByteArray& data)
{
    using namespace SessionCommand;
    switch (dataType) {
    case CommandData: {
        if (m_handshakeAnswers.admit(data.size(), m_clock.elapsed()) != FloodGuard::Pass) {
            logDroppedDatagram("handshake answers beyond the limit", connection);
            break;
        }
        const QString text = QString::fromUtf8(data);
        if (text.startsWith(kUdpResponse)) {
            udpRequestResponseReceived(connection, text.mid(kUdpResponse.size()).toInt());
        } else if (text.startsWith(kIDoCopy)) {
            const int number = text.mid(kIDoCopy.size()).toInt();
            if (copyAnswerFromRecordedEnd(connection, number))
                udpCopyResponseReceived(number);
        } else {
            qDebug() << kTag << plainItem(kUnknownCommand) << text;
        }
        break;
    }
    case VoiceData:
        // Voice is relayed only from the UDP end of an admitted client, so a
        // stranger cannot talk into the class or use the server as amplifier.
    {
        const auto end
            = m_readyUdpEnds.find(UdpEnd(connection->peerAddress(), connection->peerPort()));
        if (end == m_readyUdpEnds.end()) {
            logDroppedDatagram("voice from a sender that is no ready client", connection);
            break;
        }
        if (data.size() < kVoiceHeaderSize) {
            logDroppedDatagram("voice without a sequence number", connection);
            break;
        }
        if (end->voice.admit(data.size(), m_clock.elapsed()) != FloodGuard::Pass) {
            ++m_droppedVoice;
            logDroppedDatagram("voice beyond the voice limit", connection);
            break;
        }
        emit rawPacketReceived(connection, VoiceData, data);
        break;
    }
    case TextData:
        if (settings.udpTextProbe) {
            QString name;
            QString message;
            MAbstractSocket::decodeTextPacket(data, name, message);
            emit rawPacketReceived(connection, TextData,
                MAbstractSocket::encodeTextPacket(
                    name, QLatin1String("[Server Confirms Udp] ") + message));
        }
        break;
    default:
        break;
    }
}

bool MStudentServer::copyAnswerFromRecordedEnd(const MAbstractSocket* connection, int seqNumber)
{
    // The numbers are handed out in order and so easy to guess: only the UDP end
    // that answered the request step may confirm the path, or a stranger could
    // confirm a path for somebody else's connection.
    const NonReadyClient* match = nullptr;
    for (const NonReadyClient& client : qAsConst(nonReadyClients)) {
        if (client.seqNumber == seqNumber)
            match = &client;
    }
    // Outside the copy step udpCopyResponseReceived ignores the answer anyway.
    if (!match || match->udpState != 2)
        return true;
    if (match->udpAddress == connection->peerAddress() && match->udpPort == connection->peerPort())
        return true;
    qDebug() << kTag << "Copy answer ignored, it came from" << connection->PeerIpAndPort()
             << "and not from" << MAbstractSocket::addressText(match->udpAddress, match->udpPort);
    return false;
}

void MStudentServer::logDroppedDatagram(const char* reason, const MAbstractSocket* connection)
{
    if (mayLogDrop())
        qDebug() << kTag << "Dropped" << reason << connection->PeerIpAndPort();
}

bool MStudentServer::mayLogDrop()
{
    const qint64 now = m_clock.elapsed();
    if (m_lastDropLogMs >= 0 && now - m_lastDropLogMs < ClientLimits::kDropLogIntervalMs)
        return false;
    m_lastDropLogMs = now;
    return true;
}

int MStudentServer::newHandshakeNumber() const
{
    // Random, so that nobody can answer for a client by guessing its number;
    // positive, because clients read it back as a decimal int.
    for (;;) {
        const int number = int(QRandomGenerator::system()->bounded(
            1u, quint32(std::numeric_limits<int>::max())));
        bool taken = false;
        for (const NonReadyClient& client : nonReadyClients) {
            if (client.seqNumber == number) {
                taken = true;
                break;
            }
        }
        if (!taken)
            return number;
    }
}

bool MStudentServer::admitTcpPacket(MTcpSocket* conn, const QByteArray& data)
{
    auto budget = m_tcpBudgets.find(conn);
    if (budget == m_tcpBudgets.end())
        return true;
    // The frame's length and tag count as well: an empty frame is not free.
    const qint64 size = WireFormat::kTcpHeaderSize + data.size();
    switch (budget->guard.admit(size, m_clock.elapsed())) {
    case FloodGuard::Pass:
        return true;
    case FloodGuard::Drop:
        if (mayLogDrop())
            qDebug() << kTag << "Dropped traffic beyond the client limits from"
                     << conn->PeerIpAndPort() << budget->guard.droppedPackets()
                     << "packets so far";
        return false;
    case FloodGuard::Disconnect:
        break;
    }
    qDebug() << kTag << "Closing a flooding connection" << conn->PeerIpAndPort()
             << budget->guard.droppedPackets() << "packets dropped";
    if (readyClients.contains(conn))
        removeClient(conn);
    else
        removeNonReadyClient(conn);
    conn->abort();
    return false;
}

void MStudentServer::checkBacklog(MTcpSocket* conn)
{
    const qint64 unsent = conn->bytesToWrite();
    if (unsent <= ClientLimits::kMaxUnsentBytes || !readyClients.contains(conn))
        return;
    qDebug() << kTag << "Too slow, dropping" << conn->PeerIpAndPort() << "with" << unsent
             << "bytes unsent";
    removeClient(conn);
    // close() would keep the unsent bytes until they are written, which for
    // this client is never.
    conn->abort();
}

void MStudentServer::readyEndsChanged()
{
    m_fanOutStale = true;
}

void MStudentServer::acceptFailed(QAbstractSocket::SocketError err)
{
    // QTcpServer has paused accepting. The clients already here are served on;
    // waiting connections are closed so that they fail at once instead of
    // hanging, until a departure makes room again.
    if (!m_acceptFailing) {
        m_acceptFailing = true;
        qDebug() << kTag << "Cannot accept connections, turning new ones away:" << err;
    }
    m_full = true;
    releaseSpareDescriptors();
    if (!m_turnAwayNotifier) {
        m_turnAwayNotifier = new QSocketNotifier(socketDescriptor(), QSocketNotifier::Read, this);
        connect(m_turnAwayNotifier, &QSocketNotifier::activated, this,
            &MStudentServer::turnAwayWaitingConnections);
    }
    m_turnAwayNotifier->setEnabled(true);
    turnAwayWaitingConnections();
}

void MStudentServer::turnAwayWaitingConnections()
{
#ifdef Q_OS_UNIX
    const int listener = int(socketDescriptor());
    for (int i = 0; listener >= 0 && i < kMaxTurnedAwayAtOnce; ++i) {
        const int waiting = ::accept(listener, nullptr, nullptr);
        if (waiting >= 0) {
            ::close(waiting);
            continue;
        }
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // Not even a spare left: look again later rather than spin.
            m_turnAwayNotifier->setEnabled(false);
            m_acceptRetryTimer->start();
        }
        return;
    }
#endif
}

void MStudentServer::resumeAcceptingIfRoom()
{
    if (!m_full)
        return;
    reserveSpareDescriptors();
    if (m_spareDescriptors.size() < kSpareDescriptors) {
        // Still full: keep turning connections away.
        releaseSpareDescriptors();
        if (m_turnAwayNotifier)
            m_turnAwayNotifier->setEnabled(true);
        m_acceptRetryTimer->start();
        return;
    }
    m_full = false;
    if (m_turnAwayNotifier)
        m_turnAwayNotifier->setEnabled(false);
    resumeAccepting();
}

void MStudentServer::reserveSpareDescriptors()
{
#ifdef Q_OS_UNIX
    while (m_spareDescriptors.size() < kSpareDescriptors) {
        const int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (spare < 0)
            return;
        m_spareDescriptors.append(spare);
    }
#endif
}

void MStudentServer::releaseSpareDescriptors()
{
#ifdef Q_OS_UNIX
    for (int spare : qAsConst(m_spareDescriptors))
        ::close(spare);
#endif
    m_spareDescriptors.clear();
}

void MStudentServer::udpRequestResponseReceived(MAbstractSocket* u_connection, int seqNumber)
{
    qDebug() << kTag << "udpRequestResponseReceived1";
    MTcpSocket* found = nullptr;
    for (auto it = nonReadyClients.cbegin(); it != nonReadyClients.cend(); ++it) {
        if (it->seqNumber == seqNumber)
            found = it.key();
    }
    qDebug() << kTag << "udpRequestResponseReceived2" << found;
    if (!found)
        return;
    qDebug() << kTag << "udpRequestResponseReceived3";

    NonReadyClient& client = nonReadyClients[found];
    if (client.udpState != 1)
        return;
    client.udpState = 2;
    delete client.retryTimer;
    client.retryTimer = nullptr;
    client.retryCount = 0;
    client.udpAddress = u_connection->peerAddress();
    client.udpPort = u_connection->peerPort();

    qDebug() << kTag << "udpRequestResponseReceived4 -- His connection is: "
             << u_connection->PeerIpAndPort() << u_connection->LocalIpAndPort();
    found->ourProtocolSendCommand(SessionCommand::kYourUdpIpPort
        + MAbstractSocket::addressText(client.udpAddress, client.udpPort));
}

void MStudentServer::tryConnectToClientUdp(MTcpSocket* conn)
{
    qDebug() << kTag << "tryConnectToClientUdp";
    auto it = nonReadyClients.find(conn);
    if (it == nonReadyClients.end())
        return;
    // Only the copy step has a UDP end to probe. Earlier the end is unknown;
    // later a new step could only end in the client's removal.
    if (it->udpState != 2) {
        qDebug() << kTag << "UDPI:PBOUND ignored in udpState" << it->udpState;
        return;
    }

    if (it->retryCount == 0) {
        delete it->retryTimer;
        it->retryTimer = new QTimer;
        connect(it->retryTimer, &QTimer::timeout, udpCopyMapper, qOverload<>(&QSignalMapper::map));
        udpCopyMapper->setMapping(it->retryTimer, conn);
        it->seqNumber = newHandshakeNumber();
    } else if (it->retryCount >= kMaxHandshakeMessages) {
        removeNonReadyClient(conn);
        return;
    }

    ++it->retryCount;
    udpSocket->setPeerHostAndPort(it->udpAddress, it->udpPort);
    udpSocket->ourProtocolSendCommand(SessionCommand::kDoYouCopy + QString::number(it->seqNumber));
    it->retryTimer->start(settings.handshakeIntervalMs);
}

void MStudentServer::udpCopyTimeOut(QObject* connection)
{
    qDebug() << kTag << "udpCopyTimeOut";
    if (auto* conn = qobject_cast<MTcpSocket*>(connection))
        tryConnectToClientUdp(conn);
}

void MStudentServer::udpCopyResponseReceived(int seqNumber)
{
    qDebug() << kTag << "udpCopyResponseReceived";
    MTcpSocket* found = nullptr;
    for (auto it = nonReadyClients.cbegin(); it != nonReadyClients.cend(); ++it) {
        if (it->seqNumber == seqNumber)
            found = it.key();
    }
    if (!found)
        return;
    NonReadyClient& client = nonReadyClients[found];
    if (client.udpState != 2)
        return;
    client.udpState = 3;
    delete client.retryTimer;
    client.retryTimer = nullptr;
    client.retryCount = 0;
    if (client.identified && client.udpState == 3)
        moveToReadyClients(found);
}

void MStudentServer::packetReceived(
    MAbstractSocket* connection, MDataType dataType, const QByteArray& data)
{
    auto* conn = dynamic_cast<MTcpSocket*>(connection);
    if (conn && !admitTcpPacket(conn, data))
        return;
    qDebug() << kTag << "packetReceived: " << data.size() << loggedPayload(data);
    switch (dataType) {
    case CommandData:
        if (data
            == QByteArray(SessionCommand::kClientExit.data(), SessionCommand::kClientExit.size())) {
            qDebug() << kTag << "Client exited " << conn
                     << (conn ? conn->PeerIpAndPort() : QString());
            removeClient(conn);
        } else {
            emit rawPacketReceived(connection, CommandData, data);
        }
        break;
    case TextData: {
        const auto it = readyClients.constFind(conn);
        if (it == readyClients.cend())
            break;
        QString name;
        QString message;
        MAbstractSocket::decodeTextPacket(data, name, message);
        emit rawPacketReceived(
            connection, TextData, MAbstractSocket::encodeTextPacket(it->clientIdName, message));
        break;
    }
    case ExtraData:
        if (data.size() < kXDataHeaderSize) {
            qDebug() << kTag << "Dropped extra data shorter than its header from" << conn;
            break;
        }
        emit rawPacketReceived(connection, ExtraData, data);
        break;
    default:
        break;
    }
}

void MStudentServer::removeClient(MTcpSocket* conn)
{
    qDebug() << kTag << "removeClient" << conn;
    const auto it = readyClients.constFind(conn);
    if (it == readyClients.cend())
        return;
    const QString name = it->clientIdName;
    removeClientImpl_unsafe(conn);
    emit clientsChanged();
    emit clientLeft(conn, name);
}

void MStudentServer::removeConnection()
{
    if (auto* conn = qobject_cast<MTcpSocket*>(sender()))
        removeClient(conn);
}

void MStudentServer::removeClientImpl_unsafe(MTcpSocket* conn)
{
    qDebug() << kTag << "removeClientImpl_unsafe" << conn << readyClients.contains(conn);
    disconnect(conn, nullptr, nullptr, nullptr);
    conn->close();
    conn->deleteLater();
    const ReadyClient client = readyClients.take(conn);
    m_tcpBudgets.remove(conn);
    // The descriptor goes once the socket is deleted, later in this loop.
    if (m_full)
        QMetaObject::invokeMethod(
            this, &MStudentServer::resumeAcceptingIfRoom, Qt::QueuedConnection);
    const UdpEnd end(client.udpAddress, client.udpPort);
    auto endIt = m_readyUdpEnds.find(end);
    if (endIt != m_readyUdpEnds.end() && --endIt->clients <= 0)
        m_readyUdpEnds.erase(endIt);
    readyEndsChanged();
}

void MStudentServer::handleClientError(QAbstractSocket::SocketError err)
{
    QString name = QStringLiteral("unknown");
    QString text = QStringLiteral("Unknown");
    auto* conn = qobject_cast<MTcpSocket*>(sender());
    const auto it = readyClients.constFind(conn);
    if (conn && it != readyClients.cend()) {
        name = it->clientIdName;
        text = conn->errorString();
    }
    emit clientRaisedError(name, err, text);
}

void MStudentServer::removeAllClients()
{
    const QList<MTcpSocket*> ready = readyClients.keys();
    for (MTcpSocket* conn : ready)
        removeClientImpl_unsafe(conn);
    const QList<MTcpSocket*> nonReady = nonReadyClients.keys();
    for (MTcpSocket* conn : nonReady)
        removeNonReadyClientImpl_unsafe(conn);
    emit clientsChanged();
}

void MStudentServer::closeServer()
{
    removeAllClients();
    close();
}

void MStudentServer::broadcastCommand(const QString& command, MTcpSocket* except)
{
    const QHash<MTcpSocket*, ReadyClient> clients = readyClients;
    for (const ReadyClient& client : clients) {
        if (client.conn != except && client.conn->usable()) {
            client.conn->ourProtocolSendCommand(command);
            checkBacklog(client.conn);
        }
    }
}

void MStudentServer::broadcastText(const QString& name, const QString& message, MTcpSocket* except)
{
    const QHash<MTcpSocket*, ReadyClient> clients = readyClients;
    for (const ReadyClient& client : clients) {
        if (client.conn == except || !client.conn->usable())
            continue;
        qDebug() << kTag
                 << "********************************************************* broadcastText"
                 << client.conn->PeerIpAndPort();
        client.conn->ourProtocolSendText(name, message);
        checkBacklog(client.conn);
        if (settings.udpTextProbe) {
            udpSocket->setPeerHostAndPort(client.udpAddress, client.udpPort);
            udpSocket->ourProtocolSendText(name, QLatin1String("[SC-UDP] ") + message);
        }
    }
}

void MStudentServer::broadcastVoice(
    const QByteArray& voice, int sequenceNumber, const QHostAddress& address, quint16 port)
{
    if (m_fanOutStale) {
        QVector<DatagramFanOut::End> ends;
        ends.reserve(readyClients.size());
        for (const ReadyClient& client : qAsConst(readyClients))
            ends.append(DatagramFanOut::End(client.udpAddress, client.udpPort));
        m_fanOut->setEnds(ends);
        m_fanOutStale = false;
    }
    // The frame ourProtocolSendVoice would send, built once for every copy.
    QByteArray datagram;
    datagram.reserve(WireFormat::kTagSize + kVoiceHeaderSize + voice.size());
    datagram.append(WireFormat::kVoiceTag.data(), WireFormat::kTagSize);
    datagram.append(MAbstractSocket::intToByteArray(quint32(sequenceNumber)));
    datagram.append(voice);
    m_fanOut->send(datagram, DatagramFanOut::End(address, port));
}

void MStudentServer::broadcastXData(const QByteArray& data, MTcpSocket* except)
{
    if (data.size() < kXDataHeaderSize)
        return;
    const int first = int(MAbstractSocket::byteArrayToInt(data.left(WireFormat::kNumberSize)));
    const int second = int(MAbstractSocket::byteArrayToInt(
        data.mid(WireFormat::kNumberSize, WireFormat::kNumberSize)));
    const QByteArray rest = data.mid(kXDataHeaderSize);
    const QHash<MTcpSocket*, ReadyClient> clients = readyClients;
    for (const ReadyClient& client : clients) {
        if (client.conn != except && client.conn->usable()) {
            client.conn->ourProtocolSendXData(rest, first, second);
            checkBacklog(client.conn);
        }
    }
}
