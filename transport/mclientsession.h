#pragma once

#include "mabstractsocket.h"
#include "servertrust.h"

#include <memory>
#include <optional>

#include <QHostAddress>
#include <QObject>
#include <QString>

class ClientSealer;
class MTcpSocket;
class MUdpSocket;

// The client side of one classroom session, shared by every kind of client:
// it owns the TCP and UDP packet sockets while a session is open, answers the
// server's UDP binding handshake ("UDPREQUEST", "YOURUDPI:P", "DOYOUCOPY?")
// and ends the session ("CLIENTEXIT", flush, close, release both sockets).
// Socket signals are forwarded, so an owner connects to the session once and
// keeps its own named slots and log lines. A secure session (setSecure) runs
// the TCP frames inside TLS 1.3, sends the class code right before
// "IDENTIFY" and seals every datagram under the key of the server's "UDPKEY",
// which the session takes itself. Owner's thread.
class WIRELIB_EXPORT MClientSession : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MClientSession)

public:
    // Commands a client answers or acts on while it is being admitted, in the
    // order a dispatcher tests them.
    enum HandshakeStep {
        NotHandshake,
        ProtocolVersion, // "PROTOCOLVER" + version
        IdentifyResult, // "IDENTIFY:" + result
        UdpRequest, // "UDPREQUEST" + token, over TCP
        UdpAddress, // "YOURUDPI:P" + address:port, over TCP
        CopyProbe, // "DOYOUCOPY?" + token, over UDP
        Connected // "CONNECTED" (anything after it is ignored)
    };

    // Bounded waits on the owner's thread.
    static constexpr int kUdpReadyTimeoutMs = 30000;
    static constexpr int kFarewellWriteTimeoutMs = 30000;

    explicit MClientSession(QObject* parent = nullptr);
    ~MClientSession() override;

    // Which handshake command `command` is, by the first matching prefix, and
    // the text after that prefix in `argument` (when given).
    static HandshakeStep handshakeStep(const QString& command, QString* argument = nullptr);

    // Ends any open session, then creates both sockets and connects the TCP
    // one to the server's TCP end and the UDP one to its UDP end.
    void open(const QHostAddress& tcpAddress, quint16 tcpPort, const QHostAddress& udpAddress,
        quint16 udpPort);
    // Says goodbye when the TCP socket is usable ("CLIENTEXIT", written within
    // kFarewellWriteTimeoutMs), closes both sockets and releases them with
    // deleteLater, after their signals are cut. Returns whether the farewell
    // went out. Safe to call again from a slot that the closing triggers.
    bool end();

    // How long the owner's thread may wait for the UDP socket before
    // "UDPRESPONSE" and for "CLIENTEXIT" to be written (defaults above); set
    // before open().
    void setWaitLimits(int udpReadyMs, int farewellWriteMs);
    // false: open() binds the UDP socket to a port of its own and only aims it
    // at the server's UDP end, instead of connecting it. A connected UDP
    // socket hears nobody but that one address, so a server whose datagrams
    // leave from another address of the same host would go unheard. Set
    // before open(); default true.
    void setUdpConnected(bool connected) { m_udpConnected = connected; }

    // Every later open() is secure: TLS 1.3 towards a server whose certificate
    // trust accepts (never plain instead), "CLASSCODE" + classCode before
    // "IDENTIFY" (none when classCode is empty), and no datagram unsealed.
    void setSecure(const QString& classCode, const ServerTrust& trust);
    bool isSecure() const { return m_trust.has_value(); }
    // The sealer of the open secure session, or null.
    const ClientSealer* sealer() const { return m_sealer.get(); }

    bool isOpen() const { return m_tcp != nullptr; }
    bool tcpUsable() const;
    MTcpSocket* tcpSocket() const { return m_tcp; }
    MUdpSocket* udpSocket() const { return m_udp; }

    // The identity to announce: `identity`, or when empty the TCP socket's
    // local address:port text.
    QString identityOrLocalEnd(const QString& identity) const;

    // Session establishment, client side. Each returns what the send returned
    // (-1 when there is no session).
    qint64 queryServerProtocol(); // "GETPROTOCOL", TCP
    // "IDENTIFY" + identity, TCP; in a secure session after "CLASSCODE" + code.
    qint64 identifySelf(const QString& identity);
    // Waits up to kUdpReadyTimeoutMs for the UDP socket to be connected, then
    // "UDPRESPONSE" + token over UDP.
    qint64 answerUdpRequest(const QString& token);
    // "UDPI:PBOUND" over TCP.
    qint64 answerUdpAddress();
    // Aims the UDP socket at whoever sent the probe on `connection`, then
    // "IDOCOPY" + token over UDP.
    qint64 answerCopyProbe(MAbstractSocket* connection, const QString& token);

    // Answers `command` when it is one of the three server-driven UDP steps
    // and returns its step; any other command is left alone. For clients that
    // keep no named slots of their own.
    HandshakeStep answerHandshake(MAbstractSocket* connection, const QString& command);

signals:
    void tcpStateChanged(QAbstractSocket::SocketState state);
    void udpStateChanged(QAbstractSocket::SocketState state);
    void tcpError(QAbstractSocket::SocketError error);
    void udpError(QAbstractSocket::SocketError error);
    void packetReceived(MAbstractSocket* connection, MDataType dataType, const QByteArray& data);
    // A secure session's TLS failed before the first frame: the server speaks
    // no TLS, or its certificate is not the one pinned or remembered (the
    // message names both fingerprints). The connection is closed right after.
    void secureConnectionRefused(const QString& message);

private:
    void tcpPacketReceived(MAbstractSocket* connection, MDataType dataType, const QByteArray& data);
    void takeUdpKey(const QString& argument);

    MTcpSocket* m_tcp = nullptr;
    MUdpSocket* m_udp = nullptr;
    int m_udpReadyTimeoutMs = kUdpReadyTimeoutMs;
    int m_farewellWriteTimeoutMs = kFarewellWriteTimeoutMs;
    bool m_udpConnected = true;
    QHostAddress m_udpAddress;
    quint16 m_udpPort = 0;
    QString m_classCode;
    std::optional<ServerTrust> m_trust;
    std::unique_ptr<ClientSealer> m_sealer;
};
