#include "mtcpsocket.h"

#include "tcpframereader.h"
#include "wireformat.h"
#include "transportlog.h"

MTcpSocket::MTcpSocket(QObject* parent) : QTcpSocket(parent)
{
    qRegisterMetaType<MDataType>("MDataType");
    qRegisterMetaType<MAbstractSocket*>("MAbstractSocket*");
    connect(
        this, &QTcpSocket::readyRead, this, &MTcpSocket::processReadyRead, Qt::DirectConnection);
}

MTcpSocket::~MTcpSocket()
{
    MTcpSocket::close();
}

int MTcpSocket::socketType()
{
    return 1;
}

QString MTcpSocket::LocalIpAndPort() const
{
    return addressText(localAddress(), localPort());
}

QString MTcpSocket::PeerIpAndPort() const
{
    return addressText(peerAddress(), peerPort());
}

bool MTcpSocket::usable() const
{
    const SocketState current = state();
    return current == ConnectedState || current == BoundState;
}

QHostAddress MTcpSocket::peerAddress() const
{
    return QTcpSocket::peerAddress();
}

quint16 MTcpSocket::peerPort() const
{
    return QTcpSocket::peerPort();
}

QAbstractSocket::SocketState MTcpSocket::state() const
{
    return QTcpSocket::state();
}

void MTcpSocket::connectToHost(const QHostAddress& address, quint16 port, QIODevice::OpenMode mode)
{
    QTcpSocket::connectToHost(address, port, mode);
}

void MTcpSocket::close()
{
    QTcpSocket::close();
}

qint64 MTcpSocket::ourProtocolSend(const QByteArray& tag, const QByteArray& payload)
{
    const int length = WireFormat::kNumberSize + tag.size() + payload.size();
    QByteArray frame = intToByteArray(quint32(length));
    frame.reserve(length);
    frame.append(tag);
    frame.append(payload);
    return write(frame);
}

void MTcpSocket::processReadyRead()
{
    QByteArray tag;
    QByteArray payload;
    quint32 length = 0;
    // A receiver may close the socket inside the signal; closing empties the
    // read buffer, so the next round finds an incomplete frame and stops.
    for (;;) {
        switch (TcpFrameReader::readFrame(*this, tag, payload, length)) {
        case TcpFrameReader::Incomplete:
            return;
        case TcpFrameReader::BadLength:
            qCWarning(lcTransport, "Bad frame length %u from %s: connection aborted.", length,
                qPrintable(PeerIpAndPort()));
            abort();
            return;
        case TcpFrameReader::FrameRead:
            emit packetReceived(this, dataTypeFromTag(tag), payload);
            break;
        }
    }
}
