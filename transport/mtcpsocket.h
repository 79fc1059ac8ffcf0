#pragma once

#include "mabstractsocket.h"

#include <memory>

#include <QSslSocket>

class ServerCertificate;
class ServerTrust;

// Carries packet frames over one TCP connection: a 4-byte big-endian length
// that counts itself, the 4-byte tag, the payload. Partial frames stay in the
// Qt socket's read buffer until complete; a frame whose length field is
// impossible aborts the connection. Owned by its QObject parent.
// It is a plain TCP socket unless TLS is asked for: a secure class runs the
// same frames inside TLS 1.3, and frames written before the handshake ends
// wait in the TLS layer, so none ever leaves unencrypted.
class WIRELIB_EXPORT MTcpSocket : public QSslSocket, public MAbstractSocket
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
    // Both overloads honour setClientTls.
    void connectToHost(const QString& hostName, quint16 port, OpenMode mode = ReadWrite,
        NetworkLayerProtocol protocol = AnyIPProtocol) override;
    void close() override;

    using MAbstractSocket::ourProtocolSendCommand;
    using MAbstractSocket::ourProtocolSendPData;
    using MAbstractSocket::ourProtocolSendText;
    using MAbstractSocket::ourProtocolSendVoice;
    using MAbstractSocket::ourProtocolSendXData;

    // Server side, right after adopting an accepted descriptor: TLS 1.3 with
    // this identity. A peer that does not speak TLS is dropped.
    void startServerTls(const ServerCertificate& identity);
    // Server side, for a peer whose plain connections are admitted: TLS as above when
    // its first byte opens a TLS handshake record, plain frames when it opens with
    // anything else or says nothing for graceMs (a TLS client always speaks first).
    // plainChosen() tells the owner that frames will come in plain.
    void startServerTlsOrPlain(const ServerCertificate& identity, int graceMs);
    // Client side, before connectToHost: TLS 1.3 towards a server whose
    // certificate trust accepts; a first meeting is remembered once the
    // handshake has proved the certificate. Never falls back to plain.
    void setClientTls(const ServerTrust& trust);
    bool isTls() const { return m_tls; }

signals:
    void packetReceived(
        MAbstractSocket* connection, MDataType dataType, const QByteArray& data) override;
    // A secure connection failed before its first frame: the peer speaks no
    // TLS, or its certificate was refused (the message then names both
    // fingerprints). The socket aborts right after; release it with deleteLater.
    void tlsRefused(const QString& message);
    // A peer of startServerTlsOrPlain did not open with TLS; its frames follow in plain.
    void plainChosen();

protected:
    qint64 ourProtocolSend(const QByteArray& tag, const QByteArray& payload) override;

protected slots:
    void processReadyRead() override;

private:
    void takeEndpoints(QAbstractSocket::SocketState state);
    void configureTls(const QSslConfiguration& configuration);
    void checkServerCertificate();
    void tlsEncrypted();
    void tlsFailed(QAbstractSocket::SocketError error);
    void refuse(const QString& message);
    // While the first byte decides: false until frames may be read.
    bool chooseByFirstByte();
    void choosePlain();

    bool m_tls = false;
    // The identity TLS will use if the undecided peer opens with TLS.
    std::unique_ptr<ServerCertificate> m_offeredIdentity;
    bool m_refused = false;
    std::unique_ptr<ServerTrust> m_trust;
    QString m_acceptedFingerprint;
    bool m_firstMeeting = false;
    bool m_arming = false;
    QString m_refusal;
    // The peer as the connection began: Qt forgets it once the socket closes.
    QString m_peerText;
};
