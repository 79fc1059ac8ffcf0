#include "mstudentserver.h"

#include "clientlist.h"
#include "clientrelay.h"
#include "descriptorreserve.h"
#include "handshaketimers.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "securegate.h"
#include "serverlog.h"
#include "sessioncommands.h"
#include "udpbinding.h"
#include "wireformat.h"

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

#include <QDebug>

using namespace ServerLog;

MStudentServer::MStudentServer(const ServerSettings& settingsArg, QObject* parent)
    : QTcpServer(parent), settings(settingsArg)
{
    udpSocket = new MUdpSocket(this);
    connect(udpSocket, &MUdpSocket::packetReceived, this, &MStudentServer::uPacketReceived);
    udpSocket->bind(settings.udpAddress, settings.udpPort,
        QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint);
    m_relay = std::make_unique<ClientRelay>(
        udpSocket, readyClients, settings.udpTextProbe,
        [this](MTcpSocket* conn) { removeClient(conn); },
        // A flooder goes whether it is ready or still waiting.
        [this](MTcpSocket* conn) {
            readyClients.contains(conn) ? removeClient(conn) : removeNonReadyClient(conn);
        });
    m_reserve = new DescriptorReserve(this);
    m_timers = new HandshakeTimers(
        settings.handshakeIntervalMs, settings.admissionDeadline(kMaxHandshakeMessages), this);
    m_binding = std::make_unique<UdpBinding>(
        m_admission, m_timers, udpSocket, [this](MTcpSocket* conn) { removeNonReadyClient(conn); },
        [this](MTcpSocket* conn) { moveToReadyClients(conn); });
    connect(m_timers, &HandshakeTimers::stepTimedOut, this, &MStudentServer::stepTimedOut);
    connect(
        m_timers, &HandshakeTimers::deadlinePassed, this, &MStudentServer::handshakeDeadlinePassed);

    connect(this, QOverload<MAbstractSocket*>::of(&MStudentServer::newConnection), this,
        &MStudentServer::acceptConnection);

    if (settings.isSecure()) {
        m_gate = SecureGate::open(settings);
        if (!m_gate) {
            udpSocket->close();
            return;
        }
        udpSocket->setSealer(m_gate->sealer());
    }

    qCDebug(lcServer) << kTag << "MStudentServer: Listen: " << settings.listenAddress
                      << settings.listenPort;
    if (!listen(settings.listenAddress, settings.listenPort)) {
        qCDebug(lcServer) << "SERVER: MStudentServer: Listen Failed!";
        return;
    }
#ifdef Q_OS_UNIX
    // Qt listens with a queue of 50. A class that reconnects at once needs a
    // place for everybody, or the rest wait for their connection request to
    // be sent again (after 1 s, then 3 s, ...).
    ::listen(int(socketDescriptor()), SOMAXCONN);
#endif
    if (m_gate)
        qCInfo(lcServer).noquote() << kTag << invitation();
}

MStudentServer::~MStudentServer()
{
    qCDebug(lcServer) << "SERVER: MStudentServer: Closing";
    removeAllClients();
    close();
    udpSocket->setSealer(nullptr);
}

QString MStudentServer::certificateFingerprint() const
{
    return m_gate ? m_gate->fingerprint() : QString();
}

QString MStudentServer::invitation() const
{
    return m_gate && isListening() ? m_gate->invitation(serverAddress(), serverPort()) : QString();
}

quint64 MStudentServer::droppedSealedDatagrams() const
{
    return m_gate ? m_gate->droppedDatagrams() : 0;
}

quint16 MStudentServer::boundUdpPort() const
{
    return udpSocket->localPort();
}

qint64 MStudentServer::droppedVoiceDatagrams() const
{
    return m_relay->droppedVoiceDatagrams();
}

void MStudentServer::incomingConnection(qintptr socketDescriptor)
{
    if (!m_reserve->admit(socketDescriptor))
        return;
    auto* socket = new MTcpSocket(this);
    socket->setSocketDescriptor(
        socketDescriptor, QAbstractSocket::ConnectedState, QIODevice::ReadWrite);
    if (m_gate)
        m_gate->secure(socket);
    emit newConnection(static_cast<MAbstractSocket*>(socket));
}

void MStudentServer::acceptConnection(MAbstractSocket* connection)
{
    if (auto* conn = dynamic_cast<MTcpSocket*>(connection))
        addNonReadyClient(conn);
}

void MStudentServer::addNonReadyClient(MTcpSocket* conn)
{
    qCDebug(lcServer) << kTag << "addNonReadyClient " << conn;
    connect(conn, &QAbstractSocket::errorOccurred, this,
        qOverload<>(&MStudentServer::removeNonReadyClient));
    connect(conn, &QAbstractSocket::disconnected, this,
        qOverload<>(&MStudentServer::removeNonReadyClient));
    connect(conn, &MTcpSocket::packetReceived, this, &MStudentServer::nrPacketReceived);

    m_admission.add(conn);
    m_relay->addConnection(conn);
    m_timers->add(conn);
    // A secure class starts UDP once the client holds its key, or chose plain.
    if (!m_gate) {
        sendUDPRequestToClient(conn);
        return;
    }
    connect(conn, &MTcpSocket::plainChosen, this, [this, conn] {
        m_gate->admitPlain(conn);
        sendUDPRequestToClient(conn);
    });
}

void MStudentServer::handshakeDeadlinePassed(QObject* connection)
{
    auto* conn = static_cast<MTcpSocket*>(connection);
    if (!m_admission.contains(conn))
        return;
    qCDebug(lcServer) << kTag << "Not ready in time, removing" << conn;
    removeNonReadyClient(conn);
}

void MStudentServer::stepTimedOut(QObject* connection)
{
    const NonReadyClient* client = m_admission.find(connection);
    if (client && client->udpState == UdpState::AwaitingResponse)
        udpRequestTimeOut(connection);
    else if (client && client->udpState == UdpState::AwaitingCopy)
        udpCopyTimeOut(connection);
}

void MStudentServer::nrPacketReceived(
    MAbstractSocket* connection, MDataType dataType, const QByteArray& data)
{
    auto* conn = dynamic_cast<MTcpSocket*>(connection);
    if (!conn || !m_relay->admitFrame(conn, data.size()))
        return;
    qCDebug(lcServerFrames) << kTag << "nrPacketReceived " << loggedPayload(data);
    if (dataType != CommandData)
        return;
    const QString text = QString::fromUtf8(data);

    using namespace SessionCommand;
    if (text == kGetProtocol) {
        conn->ourProtocolSendCommand(kProtocolVer + kProtocolVersion);
    } else if (m_gate && m_gate->takeClassCode(conn, text)) {
    } else if (text.startsWith(kIdentify)) {
        identifyNonReadyClient(conn, text.mid(kIdentify.size()));
    } else if (text == kUdpIpPortBound) {
        tryConnectToClientUdp(conn);
    } else if (text == kClientExit) {
        removeNonReadyClient(conn);
    } else {
        qCDebug(lcServer) << kTag << plainItem(kUnknownCommand) << text;
    }
}

void MStudentServer::identifyNonReadyClient(MTcpSocket* conn, const QString& idname)
{
    qCDebug(lcServer) << kTag << "identifyNonReadyClient" << conn << idname;
    if (!m_admission.contains(conn))
        return;
    // The client list cannot escape separators: a name holding one is listed
    // with them replaced (chat carries names length-prefixed and keeps them,
    // so the teacher console's "|Teacher|" still shows as the teacher).
    const QString listed = ClientList::listedName(idname);
    if (listed != idname)
        qCDebug(lcServer) << kTag << "Name with list separators listed as" << listed;
    qCDebug(lcServer) << kTag << QByteArray("B" + QByteArray(75, 'A')).constData();

    bool accepted = true;
    if (settings.restrictNames) {
        qCDebug(lcServer) << kTag << QByteArray(75, 'A').constData();
        accepted = settings.allowedNames.contains(idname);
        for (const ReadyClient& ready : qAsConst(readyClients))
            accepted = accepted && ready.clientIdName != idname;
    }
    if (m_gate && accepted)
        accepted = m_gate->admit(conn, idname);

    const Admission::Reply reply = m_admission.identify(conn, idname, accepted);
    m_binding->carryOut(conn, reply);
    const SecureGate::Key key
        = m_gate && accepted ? m_gate->handOutKey(conn) : SecureGate::Key::NotNeeded;
    if (key == SecureGate::Key::Failed) {
        removeNonReadyClient(conn);
        return;
    }
    if (key == SecureGate::Key::Sent)
        sendUDPRequestToClient(conn);
    if (reply.ready)
        moveToReadyClients(conn);
}

void MStudentServer::moveToReadyClients(MTcpSocket* conn)
{
    qCDebug(lcServer) << kTag << "moveToReadyClients" << conn;
    if (!m_admission.contains(conn))
        return;

    conn->ourProtocolSendCommand(SessionCommand::kConnected);

    disconnect(conn, &QAbstractSocket::errorOccurred, nullptr, nullptr);
    disconnect(conn, &QAbstractSocket::disconnected, nullptr, nullptr);
    disconnect(conn, &MTcpSocket::packetReceived, nullptr, nullptr);
    connect(conn, &QAbstractSocket::errorOccurred, this, &MStudentServer::handleClientError);
    connect(conn, &QAbstractSocket::disconnected, this, &MStudentServer::removeConnection);
    connect(conn, &MTcpSocket::packetReceived, this, &MStudentServer::packetReceived);

    const NonReadyClient waiting = m_admission.take(conn);
    m_timers->end(conn);
    ReadyClient ready;
    ready.conn = conn;
    ready.udpAddress = waiting.udpAddress;
    ready.udpPort = waiting.udpPort;
    ready.clientIdName = waiting.clientIdName;
    readyClients.insert(conn, ready);
    m_relay->addReadyEnd(ready.udpAddress, ready.udpPort);
    if (m_gate)
        m_gate->becameReady(conn, ready.udpAddress, ready.udpPort);

    emit clientsChanged();
    emit clientJoined(conn, ready.clientIdName);
}

void MStudentServer::removeNonReadyClient()
{
    qCDebug(lcServer) << kTag << "removeNonReadyClient";
    if (auto* conn = qobject_cast<MTcpSocket*>(sender()))
        removeNonReadyClient(conn);
}

void MStudentServer::removeNonReadyClient(MTcpSocket* conn)
{
    qCDebug(lcServer) << kTag << "removeNonReadyClient(conn)" << conn
                      << m_admission.clients().keys();
    if (m_admission.contains(conn))
        removeNonReadyClientImpl_unsafe(conn);
}

void MStudentServer::removeNonReadyClientImpl_unsafe(MTcpSocket* conn)
{
    qCDebug(lcServer) << kTag << "removeNonReadyClientImpl_unsafe" << conn
                      << m_admission.contains(conn);
    disconnect(conn, nullptr, nullptr, nullptr);
    conn->close();
    conn->deleteLater();
    m_admission.take(conn);
    m_timers->end(conn);
    m_relay->removeConnection(conn);
    m_reserve->connectionLeft();
    if (m_gate)
        m_gate->forget(conn);
}

void MStudentServer::sendUDPRequestToClient(MTcpSocket* conn)
{
    m_binding->request(conn);
}

void MStudentServer::udpRequestTimeOut(QObject* connection)
{
    qCDebug(lcServer) << kTag << "udpRequestTimeOut";
    if (auto* conn = qobject_cast<MTcpSocket*>(connection))
        sendUDPRequestToClient(conn);
}

void MStudentServer::uPacketReceived(
    MAbstractSocket* connection, MDataType dataType, const QByteArray& data)
{
    switch (dataType) {
    case CommandData: {
        if (!m_relay->admitHandshakeAnswer(connection, data.size()))
            break;
        const QString text = QString::fromUtf8(data);
        int number = 0;
        const Admission::Answer answer = Admission::readAnswer(text, &number);
        if (answer == Admission::Answer::UdpResponse)
            udpRequestResponseReceived(connection, number);
        else if (answer == Admission::Answer::CopyAnswer)
            udpCopyResponseReceived(connection, number);
        else
            qCDebug(lcServer) << kTag << plainItem(SessionCommand::kUnknownCommand) << text;
        break;
    }
    case VoiceData:
        if (m_gate && m_gate->dropsVoice(connection))
            break;
        if (m_relay->admitVoice(connection, data))
            emit rawPacketReceived(connection, VoiceData, data);
        break;
    case TextData: {
        QByteArray confirmed = data;
        if (m_relay->confirmUdpText(confirmed))
            emit rawPacketReceived(connection, TextData, confirmed);
        break;
    }
    default:
        break;
    }
}

void MStudentServer::udpRequestResponseReceived(MAbstractSocket* u_connection, int seqNumber)
{
    m_binding->response(u_connection, seqNumber);
}

void MStudentServer::tryConnectToClientUdp(MTcpSocket* conn)
{
    m_binding->copyStep(conn);
}

void MStudentServer::udpCopyTimeOut(QObject* connection)
{
    qCDebug(lcServerFrames) << kTag << "udpCopyTimeOut";
    if (auto* conn = qobject_cast<MTcpSocket*>(connection))
        tryConnectToClientUdp(conn);
}

void MStudentServer::udpCopyResponseReceived(MAbstractSocket* u_connection, int seqNumber)
{
    m_binding->copyAnswer(u_connection, seqNumber);
}

void MStudentServer::packetReceived(
    MAbstractSocket* connection, MDataType dataType, const QByteArray& data)
{
    auto* conn = dynamic_cast<MTcpSocket*>(connection);
    if (conn && !m_relay->admitFrame(conn, data.size()))
        return;
    qCDebug(lcServerFrames) << kTag << "packetReceived: " << data.size() << loggedPayload(data);
    if (m_gate && conn && m_gate->dropsFrame(conn, dataType, data))
        return;
    const QLatin1String exit = SessionCommand::kClientExit;
    if (dataType == CommandData && data == QByteArray::fromRawData(exit.data(), exit.size())) {
        qCDebug(lcServer) << kTag << "Client exited " << conn
                          << (conn ? conn->PeerIpAndPort() : QString());
        removeClient(conn);
        return;
    }
    QByteArray relayed = data;
    if (m_relay->fromReadyClient(conn, dataType, relayed))
        emit rawPacketReceived(connection, dataType, relayed);
}

void MStudentServer::removeClient(MTcpSocket* conn)
{
    qCDebug(lcServer) << kTag << "removeClient" << conn;
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
    qCDebug(lcServer) << kTag << "removeClientImpl_unsafe" << conn << readyClients.contains(conn);
    disconnect(conn, nullptr, nullptr, nullptr);
    conn->close();
    conn->deleteLater();
    const ReadyClient client = readyClients.take(conn);
    m_relay->removeConnection(conn);
    m_relay->removeReadyEnd(client.udpAddress, client.udpPort);
    if (m_gate)
        m_gate->forget(conn);
    // The descriptor goes once the socket is deleted, later in this loop.
    m_reserve->connectionLeft();
}

void MStudentServer::handleClientError(QAbstractSocket::SocketError err)
{
    auto* conn = qobject_cast<MTcpSocket*>(sender());
    const auto it = readyClients.constFind(conn);
    const bool known = conn && it != readyClients.cend();
    emit clientRaisedError(known ? it->clientIdName : QStringLiteral("unknown"), err,
        known ? conn->errorString() : QStringLiteral("Unknown"));
}

void MStudentServer::removeAllClients()
{
    const QList<MTcpSocket*> ready = readyClients.keys();
    for (MTcpSocket* conn : ready)
        removeClientImpl_unsafe(conn);
    const QList<QObject*> nonReady = m_admission.clients().keys();
    for (QObject* conn : nonReady)
        removeNonReadyClientImpl_unsafe(static_cast<MTcpSocket*>(conn));
    emit clientsChanged();
}

void MStudentServer::closeServer()
{
    removeAllClients();
    close();
}

void MStudentServer::broadcastCommand(const QString& command, MTcpSocket* except)
{
    m_relay->sendCommand(command, except);
}

void MStudentServer::broadcastText(const QString& name, const QString& message, MTcpSocket* except)
{
    m_relay->sendText(name, message, except);
}

void MStudentServer::broadcastVoice(
    const QByteArray& voice, int sequenceNumber, const QHostAddress& address, quint16 port)
{
    m_relay->sendVoice(voice, sequenceNumber, address, port);
}

void MStudentServer::broadcastXData(const QByteArray& data, MTcpSocket* except)
{
    m_relay->sendXData(data, except);
}
