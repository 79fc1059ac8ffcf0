#pragma once

#include "mabstractsocket.h"

#include <QUdpSocket>

// Seals and opens the datagrams of a secure class at the one place a socket
// sends and receives them. Owned by whoever sets it; it must outlive the socket.
class WIRELIB_EXPORT DatagramSealer
{
public:
    virtual ~DatagramSealer();
    // The datagram to send to an end; empty: it is not sent.
    virtual QByteArray seal(const QByteArray& plain, const QHostAddress& address, quint16 port) = 0;
    // False: the datagram is dropped (the sealer counts and logs it).
    virtual bool open(
        const QByteArray& sealed, const QHostAddress& address, quint16 port, QByteArray& plain)
        = 0;
};

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
    // Every datagram in and out goes through sealer (null: plain, as always).
    void setSealer(DatagramSealer* sealer) { m_sealer = sealer; }
    DatagramSealer* sealer() const { return m_sealer; }

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

private:
    DatagramSealer* m_sealer = nullptr;
};
