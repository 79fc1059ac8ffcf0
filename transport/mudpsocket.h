#pragma once

#include "mabstractsocket.h"

#include <QUdpSocket>

// Carries one packet frame per UDP datagram: the 4-byte tag and the payload.
// Its peer follows the traffic: after a datagram arrives the peer is that
// datagram's sender, so a plain send answers it. Owned by its QObject parent.
class WIRELIB_EXPORT MUdpSocket : public QUdpSocket, public MAbstractSocket
{
    Q_OBJECT
    Q_INTERFACES(MAbstractSocket)
    Q_DISABLE_COPY(MUdpSocket)

public:
    explicit MUdpSocket(QObject* parent = nullptr);
    ~MUdpSocket() override;

    int socketType() override;
    QString LocalIpAndPort() const override;
    QString PeerIpAndPort() const override;
    bool usable() const override;
    QHostAddress peerAddress() const override;
    quint16 peerPort() const override;
    QAbstractSocket::SocketState state() const override;
    void connectToHost(const QHostAddress& address, quint16 port,
        QIODevice::OpenMode mode = QIODevice::ReadWrite) override;
    void close() override;

    // Aims later sends at an endpoint without connecting or changing state.
    void setPeerHostAndPort(const QHostAddress& address, quint16 port);

    using MAbstractSocket::ourProtocolSendCommand;
    using MAbstractSocket::ourProtocolSendPData;
    using MAbstractSocket::ourProtocolSendText;
    using MAbstractSocket::ourProtocolSendVoice;
    using MAbstractSocket::ourProtocolSendXData;

signals:
    void packetReceived(
        MAbstractSocket* connection, MDataType dataType, const QByteArray& data) override;

protected:
    qint64 ourProtocolSend(const QByteArray& tag, const QByteArray& payload) override;

protected slots:
    void processReadyRead() override;
};
