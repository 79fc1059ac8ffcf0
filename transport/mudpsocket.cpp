#include "mudpsocket.h"

#include "wireformat.h"

#include <QNetworkDatagram>

MUdpSocket::MUdpSocket(QObject* parent) : QUdpSocket(parent)
{
    qRegisterMetaType<MDataType>("MDataType");
    qRegisterMetaType<MAbstractSocket*>("MAbstractSocket*");
    connect(
        this, &QUdpSocket::readyRead, this, &MUdpSocket::processReadyRead, Qt::DirectConnection);
}

MUdpSocket::~MUdpSocket()
{
    MUdpSocket::close();
}

int MUdpSocket::socketType()
{
    return 2;
}

QString MUdpSocket::LocalIpAndPort() const
{
    return addressText(localAddress(), localPort());
}

QString MUdpSocket::PeerIpAndPort() const
{
    return addressText(peerAddress(), peerPort());
}

bool MUdpSocket::usable() const
{
    return true;
}

QHostAddress MUdpSocket::peerAddress() const
{
    return QUdpSocket::peerAddress();
}

quint16 MUdpSocket::peerPort() const
{
    return QUdpSocket::peerPort();
}

QAbstractSocket::SocketState MUdpSocket::state() const
{
    return QUdpSocket::state();
}

void MUdpSocket::connectToHost(const QHostAddress& address, quint16 port, QIODevice::OpenMode mode)
{
    setPeerHostAndPort(address, port);
    QUdpSocket::connectToHost(address, port, mode);
}

DatagramSealer::~DatagramSealer() = default;

void MUdpSocket::close()
{
    QUdpSocket::close();
}

void MUdpSocket::setPeerHostAndPort(const QHostAddress& address, quint16 port)
{
    setPeerAddress(address);
    setPeerPort(port);
}

qint64 MUdpSocket::ourProtocolSend(const QByteArray& tag, const QByteArray& payload)
{
    QByteArray datagram;
    datagram.reserve(tag.size() + payload.size());
    datagram.append(tag);
    datagram.append(payload);
    if (m_sealer) {
        const QByteArray sealed = m_sealer->seal(datagram, peerAddress(), peerPort());
        if (sealed.isEmpty())
            return -1;
        return writeDatagram(sealed, peerAddress(), peerPort());
    }
    return writeDatagram(datagram, peerAddress(), peerPort());
}

void MUdpSocket::processReadyRead()
{
    while (hasPendingDatagrams()) {
        if (pendingDatagramSize() < WireFormat::kTagSize) {
            readDatagram(nullptr, 0);
            continue;
        }
        const QNetworkDatagram datagram = receiveDatagram();
        QByteArray bytes = datagram.data();
        if (m_sealer) {
            QByteArray plain;
            if (!m_sealer->open(
                    bytes, datagram.senderAddress(), quint16(datagram.senderPort()), plain))
                continue;
            bytes = plain;
        }
        // A datagram may have vanished between the size check and the read
        // (for example an ICMP error surfacing as an empty read).
        if (bytes.size() < WireFormat::kTagSize)
            continue;
        setPeerHostAndPort(datagram.senderAddress(), quint16(datagram.senderPort()));
        emit packetReceived(this, dataTypeFromTag(bytes.left(WireFormat::kTagSize)),
            bytes.mid(WireFormat::kTagSize));
    }
}
