#include "server.h"

#include "clientlimits.h"
#include "clientlist.h"
#include "mstudentserver.h"
#include "mtcpsocket.h"
#include "serverlog.h"
#include "sessioncommands.h"
#include "wireformat.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTimer>

using namespace ServerLog;

namespace {

QByteArray keyword(QLatin1String word)
{
    return QByteArray::fromRawData(word.data(), word.size());
}

} // namespace

Server::Server(const ServerSettings& settingsArg, QObject* parent)
    : QObject(parent), settings(settingsArg)
{
    // Every change of the class reaches every client as a list, but one
    // admission must not cost a list sent to everybody: 500 clients arriving
    // at once would otherwise move some 2 GB of lists.
    m_clientListTimer = new QTimer(this);
    m_clientListTimer->setSingleShot(true);
    m_clientListTimer->setInterval(ClientLimits::kClientListWindowMs);
    connect(m_clientListTimer, &QTimer::timeout, this, &Server::broadcastClientList);
}

Server::~Server()
{
    if (running)
        stopStudentServer();
    running = false;
    emit serversClosed();
}

void Server::stopStudentServer()
{
    if (!studentServer)
        return;
    studentServer->disconnect(this);
    disconnect(studentServer, nullptr, this, nullptr);
    studentServer->closeServer();
    studentServer->deleteLater();
    studentServer = nullptr;
    m_clientListTimer->stop();
    // The speakers were sockets of that server; they are gone with it.
    speakers.clear();
}

void Server::start()
{
    if (running) {
        stopStudentServer();
        running = false;
        emit serversClosed();
    }

    studentServer = new MStudentServer(settings, this);
    connect(studentServer, &MStudentServer::rawPacketReceived, this, &Server::clientPacketReceived);
    connect(studentServer, &MStudentServer::clientRaisedError, this, &Server::clientRaisedError);
    // studentClientsChanged is emitted with the gathered list (its log line
    // names every client, so it is gathered too).
    connect(
        studentServer, &MStudentServer::clientsChanged, this, &Server::sendClientsListToEachOther);
    // A departing speaker would otherwise stay counted for the rest of the class.
    connect(studentServer, &MStudentServer::clientLeft, this,
        [this](MTcpSocket* conn, const QString&) { forgetSpeaker(conn); });

    running = true;
    emit serversConnected();
}

void Server::endClass()
{
    if (running)
        stopStudentServer();
    running = false;
    emit serversClosed();
    emit quitServer();
}

bool Server::isListening() const
{
    return studentServer && studentServer->isListening();
}

QHash<QString, QString> Server::studentClientsInfo() const
{
    QHash<QString, QString> info;
    if (!studentServer)
        return info;
    const auto& clients = studentServer->readyClientList();
    for (const ReadyClient& client : clients) {
        info.insert(client.clientIdName,
            client.conn->PeerIpAndPort() + QLatin1Char('#')
                + MAbstractSocket::addressText(client.udpAddress, client.udpPort));
    }
    return info;
}

void Server::clientPacketReceived(
    MAbstractSocket* connection, MDataType dataType, const QByteArray& data)
{
    if (!studentServer)
        return;
    auto* conn = dynamic_cast<MTcpSocket*>(connection);
    switch (dataType) {
    case CommandData:
        if (conn)
            handleCommand(conn, data);
        break;
    case TextData: {
        QString name;
        QString message;
        MAbstractSocket::decodeTextPacket(data, name, message);
        studentServer->broadcastText(name, message, nullptr);
        if (settings.udpTextProbe)
            studentServer->broadcastText(name, QLatin1String("[ST-UDP] ") + message, nullptr);
        break;
    }
    case VoiceData: {
        // The student server drops voice without a sequence number on arrival.
        const int sequenceNumber = int(MAbstractSocket::byteArrayToInt(data));
        studentServer->broadcastVoice(data.mid(WireFormat::kVoiceHeaderSize), sequenceNumber,
            connection->peerAddress(), connection->peerPort());
        break;
    }
    case ExtraData:
        studentServer->broadcastXData(data, conn);
        break;
    default:
        break;
    }
}

void Server::handleCommand(MTcpSocket* conn, const QByteArray& data)
{
    using namespace SessionCommand;
    const QByteArray closeAll = keyword(kCloseAllClients);
    if (data.startsWith(closeAll)) {
        qCDebug(lcServer) << "SERVER recieve: " << data;
        const QString rest = QString::fromUtf8(data.mid(closeAll.size()));
        const QStringList names = rest.split(kListSeparator, Qt::KeepEmptyParts);
        qCDebug(lcServer) << rest;
        const auto clients = studentServer->readyClientList();
        for (const ReadyClient& client : clients) {
            qCDebug(lcServer) << client.clientIdName;
            // A name is matched as given or as the list shows it.
            if (client.conn != conn
                && (names.contains(client.clientIdName)
                    || names.contains(ClientList::listedName(client.clientIdName))))
                studentServer->removeClient(client.conn);
        }
    } else if (data == keyword(kGetUniqueXDataId)) {
        conn->ourProtocolSendCommand(kXDataId + QString::number(xdataIdCounter));
        qCDebug(lcServer) << kTag << "Assigning UNIQUE XDATA ID " << xdataIdCounter
                          << "...................................";
        ++xdataIdCounter;
    } else if (data == keyword(kGetNClients)) {
        conn->ourProtocolSendCommand(
            kNClients + QString::number(studentServer->readyClientList().size()));
        conn->ourProtocolSendCommand(kNSpeakingClients + QString::number(speakers.size()));
    } else if (data.startsWith(keyword(kForSpyStartVoice))) {
        MAbstractSocket* speaker = conn;
        if (!speakers.contains(speaker))
            speakers.append(speaker);
        broadcastSpeakerCount();
    } else if (data.startsWith(keyword(kForSpyStopVoice))) {
        speakers.removeOne(conn);
        broadcastSpeakerCount();
    } else {
        studentServer->broadcastCommand(QString::fromUtf8(data), conn);
    }
}

void Server::forgetSpeaker(MTcpSocket* conn)
{
    if (speakers.removeAll(conn) > 0)
        broadcastSpeakerCount();
}

void Server::broadcastSpeakerCount()
{
    studentServer->broadcastCommand(
        SessionCommand::kNSpeakingClients + QString::number(speakers.size()), nullptr);
}

void Server::sendClientsListToEachOther()
{
    if (studentServer && !m_clientListTimer->isActive())
        m_clientListTimer->start();
}

void Server::broadcastClientList()
{
    if (!studentServer)
        return;
    emit studentClientsChanged();
    using namespace SessionCommand;
    const auto& clients = studentServer->readyClientList();
    studentServer->broadcastCommand(kNClients + QString::number(clients.size()), nullptr);

    QVector<ClientList::Entry> entries;
    entries.reserve(clients.size());
    for (const ReadyClient& client : clients) {
        entries.append({ client.conn->PeerIpAndPort(),
            MAbstractSocket::addressText(client.udpAddress, client.udpPort), client.clientIdName });
    }
    const QString text = kClientList + ClientList::format(entries);

    qCDebug(lcServer) << kTag << text;
    studentServer->broadcastCommand(text, nullptr);
    qCDebug(lcServer) << kTag << "CLLS... Was sent";
}
