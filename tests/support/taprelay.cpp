#include "taprelay.h"

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

TapRelay::TapRelay(QObject* parent)
    : QObject(parent), m_listener(new QTcpServer(this)), m_clientSide(new QUdpSocket(this)),
      m_serverSide(new QUdpSocket(this))
{
    connect(m_listener, &QTcpServer::newConnection, this, &TapRelay::clientConnected);
    connect(m_clientSide, &QUdpSocket::readyRead, this, &TapRelay::clientDatagrams);
    connect(m_serverSide, &QUdpSocket::readyRead, this, &TapRelay::serverDatagrams);
}

TapRelay::~TapRelay() = default;

bool TapRelay::start(const QHostAddress& server, quint16 serverTcpPort, quint16 serverUdpPort)
{
    m_server = server;
    m_serverTcpPort = serverTcpPort;
    m_serverUdpPort = serverUdpPort;
    const QHostAddress local(QHostAddress::LocalHost);
    return m_listener->listen(local, 0) && m_clientSide->bind(local, 0)
        && m_serverSide->bind(local, 0);
}

quint16 TapRelay::tcpPort() const
{
    return m_listener->serverPort();
}

quint16 TapRelay::udpPort() const
{
    return m_clientSide->localPort();
}

void TapRelay::clientConnected()
{
    while (QTcpSocket* client = m_listener->nextPendingConnection()) {
        auto* upstream = new QTcpSocket(client);
        const auto pass = [this](QTcpSocket* from, QTcpSocket* to) {
            const QByteArray bytes = from->readAll();
            m_tcpBytes += bytes;
            to->write(bytes);
        };
        connect(client, &QTcpSocket::readyRead, upstream, [=] {
            if (upstream->state() == QAbstractSocket::ConnectedState)
                pass(client, upstream);
        });
        connect(upstream, &QTcpSocket::connected, client, [=] { pass(client, upstream); });
        connect(upstream, &QTcpSocket::readyRead, client, [=] { pass(upstream, client); });
        // Either end closing closes the other; the pair goes with the client socket.
        connect(client, &QTcpSocket::disconnected, upstream, &QTcpSocket::disconnectFromHost);
        connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        upstream->connectToHost(m_server, m_serverTcpPort);
    }
}

void TapRelay::clientDatagrams()
{
    while (m_clientSide->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_clientSide->receiveDatagram();
        m_clientAddress = datagram.senderAddress();
        m_clientPort = quint16(datagram.senderPort());
        m_datagrams.append(datagram.data());
        m_serverSide->writeDatagram(datagram.data(), m_server, m_serverUdpPort);
    }
}

void TapRelay::serverDatagrams()
{
    while (m_serverSide->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_serverSide->receiveDatagram();
        m_datagrams.append(datagram.data());
        if (m_clientPort == 0)
            continue;
        ++m_toClient;
        m_clientSide->writeDatagram(datagram.data(), m_clientAddress, m_clientPort);
    }
}
