#pragma once

#include "mabstractsocket.h"

#include <QTcpSocket>

// Carries packet frames over one TCP connection: a 4-byte big-endian length
// that counts itself, the 4-byte tag, the payload. Partial frames stay in the
// Qt socket's read buffer until complete; a frame whose length field is
// impossible aborts the connection. Owned by its QObject parent.
class WIRELIB_EXPORT MTcpSocket : public QTcpSocket, public MAbstractSocket
{
    Q_OBJECT
    Q_INTERFACES(MAbstractSocket)
    Q_DISABLE_COPY(MTcpSocket)

public:
    explicit MTcpSocket(QObject* parent = nullptr);
    ~MTcpSocket() override;

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
